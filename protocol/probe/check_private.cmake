# Fails when the probe library exports anything but its probe function: in
# particular any protobuf symbol or any of the generated message classes.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KvoDynamicSymbols.cmake)
kvo_dynamic_symbols(${LIB} _syms)
set(_bad ${_syms})
list(REMOVE_ITEM _bad KvoProtocolProbe)
if(_bad)
  message(FATAL_ERROR "symbols leak out of the library: ${_bad}")
endif()
list(FIND _syms KvoProtocolProbe _probe)
if(_probe LESS 0)
  message(FATAL_ERROR "the probe function is not exported")
endif()
# The library must really hold the message code, or the check proves nothing.
execute_process(COMMAND nm -C ${LIB} OUTPUT_VARIABLE _all)
if(NOT _all MATCHES "datapacket::PushData")
  message(FATAL_ERROR "the probe holds no message code")
endif()
message(STATUS "only KvoProtocolProbe is exported")
