# cmake -DNM=… -DDLLTOOL=… -DIMPORT_LIB=… -DDLL=… -DOUTPUT=… -P delay-import.cmake
# Makes a delay-load import library for DLL from the ordinary import library: the program then loads
# the DLL at its first call, after start-up has limited the DLL search to the system folder.
execute_process(COMMAND "${NM}" "${IMPORT_LIB}" OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot list ${IMPORT_LIB}")
endif()
string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?$]+" imports "${symbols}")
set(def "LIBRARY ${DLL}\nEXPORTS\n")
foreach(entry IN LISTS imports)
  string(REPLACE " I __imp_" "" name "${entry}")
  string(APPEND def "${name}\n")
endforeach()
get_filename_component(dir "${OUTPUT}" DIRECTORY)
get_filename_component(base "${OUTPUT}" NAME_WE)
file(WRITE "${dir}/${base}.def" "${def}")
execute_process(COMMAND "${DLLTOOL}" --input-def "${dir}/${base}.def" --dllname "${DLL}"
                        --output-delaylib "${OUTPUT}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "dlltool could not make ${OUTPUT}")
endif()
