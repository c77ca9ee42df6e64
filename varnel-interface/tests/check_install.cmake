# cmake -DBUILD_DIR=<build> | -DPREFIX=<installed tree>  -DWORK_DIR=... -DSOURCE_DIR=<install_consumer>
#       -DCC=... -DCXX=... [-DGENERATOR=...] -P check_install.cmake
# Installs the build into a scratch prefix (or takes an installed tree), then
# builds hosts against it and runs them: through find_package(varnel) a C host
# and a C++ reader, through pkg-config the C host.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
if(DEFINED BUILD_DIR)
  set(PREFIX ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
endif()
set(generator)
if(GENERATOR)
  set(generator -G ${GENERATOR})
endif()

# find_package(varnel)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer ${generator}
    -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${PREFIX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)
run(${WORK_DIR}/consumer/reader)

# pkg-config
file(GLOB_RECURSE pc_files ${PREFIX}/*/varnel_interface.pc)
if(NOT pc_files)
  message(FATAL_ERROR "no varnel_interface.pc under ${PREFIX}")
endif()
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
    pkg-config --cflags --libs varnel_interface)
separate_arguments(flags UNIX_COMMAND "${run_output}")
string(REGEX MATCH "-L([^ \n]+)" unused "${run_output}")
set(libdir ${CMAKE_MATCH_1})
run(${CC} -std=c99 -Wall -Werror ${SOURCE_DIR}/consumer.c ${flags} -o ${WORK_DIR}/pc_consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/pc_consumer)
message(STATUS "the installed tree builds and runs hosts through find_package and pkg-config")
