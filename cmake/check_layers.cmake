cmake_minimum_required(VERSION 3.20)
# The layers and who may include whom. Run as a build step (the target
# check_layers): fails when a file includes a header of a folder its own
# folder may not reach. Also usable by hand:
#   cmake -DSOURCE_DIR=. -P cmake/check_layers.cmake              # check
#   cmake -DSOURCE_DIR=. -DPRINT_GRAPH=ON -P cmake/check_layers.cmake   # include graph by folder
#
# Bottom to top:
#   platform   operating-system services; includes nothing of ours
#   runtime    console, settings store, run state, worker table, owner type
#   flow       flow record, open-flow map and tables      (peers: neither
#   process    port tables, process identity               includes the other)
#   capture, discovery, export, web   the workers and the web interface
#   store      the collector's flow store            (beside the workers)
#   app, tools program entries: nothing includes them; the collector serves
#              its web view with web/ (the monitor wires
#              its history, which lives in store/)
set(_allowed_platform "")
set(_allowed_runtime platform)
set(_allowed_flow runtime platform)
set(_allowed_process runtime platform)
set(_allowed_capture flow process runtime platform)
set(_allowed_discovery flow runtime platform)
set(_allowed_export flow runtime platform)
set(_allowed_web export flow process runtime platform)
set(_allowed_app capture discovery export web store flow process runtime platform)
set(_allowed_store flow runtime platform)
set(_allowed_tools web store export flow runtime platform)
set(_folders platform runtime flow process capture discovery export web store app tools)

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "check_layers.cmake: give -DSOURCE_DIR=<repository root>")
endif()
get_filename_component(SOURCE_DIR ${SOURCE_DIR} ABSOLUTE)

set(_violations "")
set(_edges "")
foreach(_folder IN LISTS _folders)
  file(GLOB_RECURSE _files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${_folder}/*.h ${SOURCE_DIR}/${_folder}/*.cc
       ${SOURCE_DIR}/${_folder}/*.c)
  foreach(_file IN LISTS _files)
    file(STRINGS ${SOURCE_DIR}/${_file} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(_line IN LISTS _lines)
      if(NOT _line MATCHES "\"([^/\"]+)/[^\"]+\"")
        continue()
      endif()
      set(_target ${CMAKE_MATCH_1})
      if(_target STREQUAL _folder OR NOT _target IN_LIST _folders)
        continue()
      endif()
      list(APPEND _edges "${_folder} -> ${_target}")
      if(NOT _target IN_LIST _allowed_${_folder})
        string(STRIP "${_line}" _line)
        string(APPEND _violations "  ${_file}: ${_line} (${_folder}/ may include only: ${_allowed_${_folder}})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(PRINT_GRAPH)
  list(REMOVE_DUPLICATES _edges)
  list(SORT _edges)
  string(REPLACE ";" "\n" _text "${_edges}")
  message("${_text}")
endif()
if(_violations)
  message(FATAL_ERROR "A lower layer includes a higher one:\n${_violations}")
endif()
