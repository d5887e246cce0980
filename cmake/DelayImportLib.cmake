# Script (cmake -P) that turns MinGW's import library of one system DLL into
# a delay-import library of the same functions: the exported names are read
# with nm from the import library (each function has a code stub, "T"; data
# exports have none and cannot be delay-loaded), written to a .def file, and
# dlltool makes the library from it.
# Variables: NM, DLLTOOL, IMPORT_LIB, DLL (e.g. user32.dll), DEF, OUTPUT.
foreach(var NM DLLTOOL IMPORT_LIB DLL DEF OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "DelayImportLib.cmake needs ${var}")
    endif()
endforeach()

execute_process(COMMAND "${NM}" --defined-only --extern-only "${IMPORT_LIB}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} could not read ${IMPORT_LIB}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ T [^\n]+" stubs "${symbols}")
list(TRANSFORM stubs REPLACE "^[0-9a-fA-F]+ T " "")
list(REMOVE_DUPLICATES stubs)
list(LENGTH stubs count)
if(count EQUAL 0)
    message(FATAL_ERROR "${IMPORT_LIB} names no function of ${DLL}")
endif()
list(JOIN stubs "\n" exports)
file(WRITE "${DEF}" "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")

# Run in the output's folder: dlltool names the library's members after the
# path it is given, and the build folder has no place in them.
get_filename_component(folder "${OUTPUT}" DIRECTORY)
get_filename_component(library "${OUTPUT}" NAME)
execute_process(COMMAND "${DLLTOOL}" --input-def "${DEF}" --dllname "${DLL}" --output-delaylib "${library}"
    WORKING_DIRECTORY "${folder}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUTPUT}")
endif()
