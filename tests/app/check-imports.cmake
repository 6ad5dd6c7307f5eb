cmake_minimum_required(VERSION 3.20)
# cmake -DOBJDUMP=... -DPROGRAM=... -DSUBSYSTEM=2|3 -P check-imports.cmake
# The program must be a 32-bit Windows executable for the window system (2:
# Moravel.exe) or the console (3: Moravel.com) that imports nothing but the
# system's own DLLs: no runtime DLLs of the compiler.
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read ${PROGRAM}")
endif()
if(NOT dump MATCHES "file format pei-i386")
    message(FATAL_ERROR "not a 32-bit Windows executable")
endif()
if(NOT SUBSYSTEM)
    set(SUBSYSTEM 2)
endif()
if(NOT dump MATCHES "Subsystem[ \t]+0000000${SUBSYSTEM}")
    message(FATAL_ERROR "not a program for subsystem ${SUBSYSTEM}")
endif()
set(system kernel32 user32 gdi32 comctl32 uxtheme version msvcrt advapi32)
# Loaded at their first use (the file-open dialog, the notification area):
# a start does not pay for them.
set(at_first_use comdlg32 shell32)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: ([^.\n]+)\\.[dD][lL][lL].*" "\\1" dll "${line}")
    string(TOLOWER "${dll}" dll)
    if(dll IN_LIST at_first_use)
        message(FATAL_ERROR "imports ${dll}.dll, which it loads at the first use")
    endif()
    if(NOT dll IN_LIST system)
        message(FATAL_ERROR "imports ${dll}.dll, which is not a system DLL")
    endif()
    message(STATUS "imports ${dll}.dll")
endforeach()
