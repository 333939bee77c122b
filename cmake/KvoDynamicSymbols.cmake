# Shared by the export checks run with cmake -P.
# kvo_dynamic_symbols(<lib> <out>): the names of the symbols lib defines in its
# dynamic symbol table, version suffixes removed and version nodes left out.
function(kvo_dynamic_symbols lib out)
  execute_process(COMMAND nm -D --defined-only ${lib}
    OUTPUT_VARIABLE _out RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${lib}")
  endif()
  string(REPLACE "\n" ";" _lines "${_out}")
  set(_syms "")
  foreach(_l ${_lines})
    if(_l MATCHES "^[0-9a-fA-F]* +([A-Za-z]) +([^ ]+)$")
      if(CMAKE_MATCH_1 STREQUAL "A")
        continue() # version node
      endif()
      string(REGEX REPLACE "@.*" "" _sym "${CMAKE_MATCH_2}")
      list(APPEND _syms ${_sym})
    endif()
  endforeach()
  set(${out} ${_syms} PARENT_SCOPE)
endfunction()
