# Fails unless each file imports only DLLs that every Windows has: update.exe
# is copied around alone, and the test DLLs must load next to it.
# usage: cmake -DOBJDUMP=<objdump> -DFILES=<file;file...> -P imports.cmake
# KnownDLLs only: Windows never looks for them beside the program, where a
# planted copy would otherwise be loaded (WINMM is none; update.exe loads it
# from System32 at run time).
set(windows_dlls KERNEL32.DLL MSVCRT.DLL)
foreach(file ${FILES})
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot read the imports of ${file}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" entries "${dump}")
  if(NOT entries)
    message(FATAL_ERROR "${file} lists no DLL at all")
  endif()
  foreach(entry ${entries})
    string(REPLACE "DLL Name: " "" dll "${entry}")
    string(TOUPPER "${dll}" dll)
    list(FIND windows_dlls "${dll}" known)
    if(known EQUAL -1)
      message(FATAL_ERROR "${file} needs ${dll}, which Windows does not have")
    endif()
  endforeach()
  message(STATUS "${file}: ${entries}")
endforeach()
