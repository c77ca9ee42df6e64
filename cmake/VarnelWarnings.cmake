# Warnings for every target of ours; third-party code is built without them.
# Our presets and CI make them errors; a plain build (packagers, other
# compilers) only reports them, so a new compiler's new warning never breaks it.
option(VARNEL_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
add_library(varnel_warnings INTERFACE)
target_compile_options(varnel_warnings INTERFACE -Wall -Wextra -Wpedantic
                       $<$<BOOL:${VARNEL_WARNINGS_AS_ERRORS}>:-Werror>)

if(WIN32)
  # Windows programs carry their runtimes inside, so Wine and hosts need no extra DLL.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
