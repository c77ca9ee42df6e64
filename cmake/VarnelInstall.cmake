# Installation: the C library varnel_interface with its header, and the C++
# read side (graph, region, recordings, intervals, logging) as static libraries
# with their headers, for
#   find_package(varnel)   targets varnel::interface, varnel::graph, varnel::session,
#                          varnel::recording, varnel::shared_memory, varnel::intervals,
#                          varnel::logging
#   pkg-config varnel_interface
# The same names work inside this build (add_subdirectory, FetchContent).
include(CMakePackageConfigHelpers)

set(varnel_installed_targets
  varnel_interface:interface
  varnel_knowledge_graph:graph
  varnel_shared_memory:shared_memory
  varnel_graph_session:session
  varnel_recording:recording
  varnel_interval_algebra:intervals
  varnel_logging:logging)
set(varnel_targets)
foreach(pair IN LISTS varnel_installed_targets)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 target)
  list(GET pair 1 export_name)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  add_library(varnel::${export_name} ALIAS ${target})
  list(APPEND varnel_targets ${target})
endforeach()

install(TARGETS ${varnel_targets} EXPORT varnelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The headers a consumer uses; the writer's own steps (the lookup index's
# upkeep, the recorder link, the write gate) stay in the source tree, for the
# session and the tools built with it.
foreach(dir logging interval-algebra shared-memory-interface knowledge-graph graph-session recording)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          PATTERN lookup_index.hpp EXCLUDE PATTERN recorder_link.hpp EXCLUDE PATTERN write_gate.hpp EXCLUDE)
endforeach()

set(varnel_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/varnel)
install(EXPORT varnelTargets NAMESPACE varnel:: DESTINATION ${varnel_cmake_dir})
# Whether the installed recording library reads zstd and lz4 chunks: the package
# config then finds both libraries on the consumer's machine.
if(VARNEL_RECORDING_COMPRESSION)
  set(VARNEL_CONFIG_COMPRESSION ON)
else()
  set(VARNEL_CONFIG_COMPRESSION OFF)
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varnelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/varnelConfig.cmake INSTALL_DESTINATION ${varnel_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varnelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/varnelConfig.cmake ${PROJECT_BINARY_DIR}/varnelConfigVersion.cmake
  DESTINATION ${varnel_cmake_dir})

# The .pc file finds its prefix from its own place, so the install is relocatable.
file(RELATIVE_PATH VARNEL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VARNEL_PC_TO_PREFIX "${VARNEL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnel_interface.pc.in
  ${PROJECT_BINARY_DIR}/varnel_interface.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnel_interface.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
