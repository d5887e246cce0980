# Which system DLLs the Windows build delay-loads, and the delay-import
# libraries that do it (the rule itself: app/win32/dll_search.cpp).
#
# At load time Windows looks for a DLL in the program's folder before
# System32, unless it is a Known DLL; the program runs elevated from the
# user's Downloads folder. So the executable's import table names only
# kernel32, advapi32, msvcrt and ws2_32, and every other DLL is delay-loaded:
# the first call into it loads it from System32, after the process's search
# order has been restricted. That includes Known DLLs such as user32: Wine's
# user32 imports version.dll, so there a user32 in the import table pulls a
# planted version.dll in before the program's first instruction.
#
# Each name becomes an interface target of that name, so every
# target_link_libraries(... user32) of the tree links the delay-import
# library instead of MinGW's import library. Only what the program calls
# belongs here: scripts/test compares this list with the executable's
# delay-import descriptors. dlltool's x86-64 thunk keeps rcx, rdx, r8 and r9
# across the load but not xmm0-xmm3, so a function taking float or double
# arguments must not be delay-loaded; none of these does.
set(VORLANE_DELAY_LOADED_DLLS bcrypt comctl32 crypt32 ole32 shell32 shlwapi user32 winhttp wintrust)

set(_dir "${CMAKE_BINARY_DIR}/delay-import")
file(MAKE_DIRECTORY "${_dir}")
set(_libs "")
foreach(_name IN LISTS VORLANE_DELAY_LOADED_DLLS)
    find_library(_import_lib NAMES ${_name} REQUIRED NO_CACHE)
    set(_lib "${_dir}/lib${_name}_delay.a")
    add_custom_command(OUTPUT "${_lib}"
        COMMAND "${CMAKE_COMMAND}" -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DIMPORT_LIB=${_import_lib}
            -DDLL=${_name}.dll -DDEF=${_dir}/${_name}.def -DOUTPUT=${_lib}
            -P "${CMAKE_CURRENT_LIST_DIR}/DelayImportLib.cmake"
        DEPENDS "${_import_lib}" "${CMAKE_CURRENT_LIST_DIR}/DelayImportLib.cmake"
        COMMENT "Delay-import library for ${_name}.dll"
        VERBATIM)
    add_library(${_name} INTERFACE)
    target_link_libraries(${_name} INTERFACE "${_lib}")
    add_dependencies(${_name} vorlane_delay_import_libs)
    list(APPEND _libs "${_lib}")
    unset(_import_lib)
endforeach()
add_custom_target(vorlane_delay_import_libs DEPENDS ${_libs})
# For the import-table check of scripts/test.
list(JOIN VORLANE_DELAY_LOADED_DLLS "\n" _names)
file(WRITE "${CMAKE_BINARY_DIR}/delay-loaded-dlls.txt" "${_names}\n")
