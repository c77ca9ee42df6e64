# cmake -DBINDINGS=Varnel.cs -DEXPORTS=exports.txt -P check_bindings.cmake
# Every exported name has its declaration in the C# bindings.
file(STRINGS ${EXPORTS} exports REGEX "^[a-z_0-9]+$")
file(READ ${BINDINGS} bindings)
set(missing)
foreach(name IN LISTS exports)
  if(NOT bindings MATCHES "static extern [^(]+ ${name}\\(")
    list(APPEND missing ${name})
  endif()
endforeach()
if(missing)
  list(JOIN missing "\n  " missing)
  message(FATAL_ERROR "Varnel.cs declares no function for these exports:\n  ${missing}\n"
                      "add one [DllImport] declaration for each, named as the export")
endif()
list(LENGTH exports count)
message(STATUS "Varnel.cs declares all ${count} exports")
