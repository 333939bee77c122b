# What `cmake --install` puts under the prefix: libkvoapi.so (versioned, with
# the major version as its soname), the two public headers, a pkg-config file
# and a CMake package giving kvoapi::kvoapi. Nothing else is installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(kvoapi PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(kvoapi INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS kvoapi EXPORT kvoapiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kvoapi.h ${PROJECT_SOURCE_DIR}/include/kvo_records.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# CMake package: find_package(kvoapi) gives the imported target kvoapi::kvoapi.
set(_kvo_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kvoapi)
install(EXPORT kvoapiTargets NAMESPACE kvoapi:: DESTINATION ${_kvo_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kvoapiConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kvoapiConfig.cmake INSTALL_DESTINATION ${_kvo_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kvoapiConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kvoapiConfig.cmake ${PROJECT_BINARY_DIR}/kvoapiConfigVersion.cmake
  DESTINATION ${_kvo_cmake_dir})

# pkg-config file. Its prefix is the one given to `cmake --install --prefix`,
# known only when installing: the file is prepared here with that one name
# left open, and finished by the install step.
set(KVO_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(KVO_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(KVO_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kvoapi.pc.in ${PROJECT_BINARY_DIR}/kvoapi.pc.prepared @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/kvoapi.pc.prepared\" \"${PROJECT_BINARY_DIR}/kvoapi.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/kvoapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
