# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=<install_consumer> -DCC=... -DGENERATOR=...
#       -P check_install.cmake
# Installs the varnel_interface component into a scratch prefix, then builds and
# runs a host against it twice: through find_package and through pkg-config.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component varnel_interface)

# find_package(varnel_interface)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)

# pkg-config
file(GLOB_RECURSE pc_files ${prefix}/*/varnel_interface.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir}
    pkg-config --cflags --libs varnel_interface)
separate_arguments(flags UNIX_COMMAND "${run_output}")
string(REGEX MATCH "-L([^ \n]+)" unused "${run_output}")
set(libdir ${CMAKE_MATCH_1})
run(${CC} -std=c99 -Wall -Werror ${SOURCE_DIR}/consumer.c ${flags} -o ${WORK_DIR}/pc_consumer)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/pc_consumer)
message(STATUS "installed library builds and runs through find_package and pkg-config")
