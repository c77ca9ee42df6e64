# Chunk compression for recordings: zstd and lz4 (Debian's libzstd-dev and
# liblz4-dev). Required on Linux; the Windows cross build has neither, so there
# recordings are written uncompressed and a compressed chunk is refused with a
# clear error (VARNEL_WITH_COMPRESSION=OFF does the same on Linux).
option(VARNEL_WITH_COMPRESSION "Read and write zstd and lz4 compressed MCAP chunks" ON)

function(varnel_record_compression target)
  if(CMAKE_CROSSCOMPILING OR WIN32 OR NOT VARNEL_WITH_COMPRESSION)
    set(VARNEL_RECORDING_COMPRESSION OFF CACHE INTERNAL "Recordings read zstd and lz4 chunks")
    return()
  endif()
  find_path(VARNEL_ZSTD_INCLUDE_DIR zstd.h)
  find_library(VARNEL_ZSTD_LIBRARY zstd)
  find_path(VARNEL_LZ4_INCLUDE_DIR lz4frame.h)
  find_library(VARNEL_LZ4_LIBRARY lz4)
  if(NOT VARNEL_ZSTD_INCLUDE_DIR OR NOT VARNEL_ZSTD_LIBRARY OR NOT VARNEL_LZ4_INCLUDE_DIR OR NOT VARNEL_LZ4_LIBRARY)
    message(FATAL_ERROR "recordings need zstd and lz4: install libzstd-dev and liblz4-dev "
                        "(scripts/deps.sh does), or configure with -DVARNEL_WITH_COMPRESSION=OFF")
  endif()
  target_include_directories(${target} PRIVATE ${VARNEL_ZSTD_INCLUDE_DIR} ${VARNEL_LZ4_INCLUDE_DIR})
  target_compile_definitions(${target} PRIVATE VARNEL_HAVE_ZSTD VARNEL_HAVE_LZ4)
  # Installed, the library names varnel::compression, which the package config
  # makes from the zstd and lz4 it finds on the consumer's machine.
  target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:${VARNEL_ZSTD_LIBRARY}>
                        $<BUILD_INTERFACE:${VARNEL_LZ4_LIBRARY}> $<INSTALL_INTERFACE:varnel::compression>)
  set(VARNEL_RECORDING_COMPRESSION ON CACHE INTERNAL "Recordings read zstd and lz4 chunks")
endfunction()
