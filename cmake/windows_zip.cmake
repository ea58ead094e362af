# Makes the release zip (cmake -P, from the windows-zip target):
#   OUT.zip holding the folder OUT with the stripped PROGRAMS, the DLL,
#   resources/web/, README-windows.txt, LICENSE.txt and third-party/ (the
#   NOTICES folder of scripts/windows-libraries.sh). Text files get CRLF line
#   ends, for Notepad.
get_filename_component(_name ${OUT} NAME)
get_filename_component(_parent ${OUT} DIRECTORY)
file(REMOVE_RECURSE ${OUT} ${OUT}.zip)
file(MAKE_DIRECTORY ${OUT})

foreach(_file ${PROGRAMS} ${DLL})
  get_filename_component(_base ${_file} NAME)
  execute_process(COMMAND ${STRIP} -o ${OUT}/${_base} ${_file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(COPY ${SOURCE_DIR}/resources/web DESTINATION ${OUT}/resources)
if(NOT IS_DIRECTORY ${NOTICES})
  message(FATAL_ERROR "${NOTICES} is missing: run scripts/windows-libraries.sh first")
endif()
file(COPY ${NOTICES}/ DESTINATION ${OUT}/third-party)

function(_crlf_copy from to)
  file(READ ${from} _text)
  string(REPLACE "\r\n" "\n" _text "${_text}")
  string(REPLACE "\n" "\r\n" _text "${_text}")
  file(WRITE ${to} "${_text}")
endfunction()
_crlf_copy(${SOURCE_DIR}/docs/README-windows.txt ${OUT}/README-windows.txt)
_crlf_copy(${SOURCE_DIR}/LICENSE ${OUT}/LICENSE.txt)
file(GLOB _notices ${OUT}/third-party/*.txt)
foreach(_text ${_notices})
  _crlf_copy(${_text} ${_text})
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUT}.zip --format=zip ${_name}
                WORKING_DIRECTORY ${_parent} COMMAND_ERROR_IS_FATAL ANY)
file(GLOB_RECURSE _files RELATIVE ${_parent} ${OUT}/*)
list(LENGTH _files _count)
file(SIZE ${OUT}.zip _size)
message(STATUS "Made ${OUT}.zip: ${_count} files, ${_size} bytes")
