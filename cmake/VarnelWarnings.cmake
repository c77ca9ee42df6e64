# Warnings as errors for every target of ours; third-party code is built without them.
add_library(varnel_warnings INTERFACE)
target_compile_options(varnel_warnings INTERFACE -Wall -Wextra -Wpedantic -Werror)

if(WIN32)
  # Windows programs carry their runtimes inside, so Wine and hosts need no extra DLL.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
