# Windows build, native or cross-compiled (cmake/mingw-w64-x86_64.cmake).
#
# With JsonCpp and libmicrohttpd built for Windows it builds the monitor, its
# tools and the platform test program, and the release zip (target
# windows-zip). The cross build finds them in the folder that
# scripts/windows-libraries.sh fills (VANTREL_WINDOWS_LIBRARIES, by default
# third-party/ in the build folder); a native build finds vcpkg's or MSYS2's
# (see the README).
#
# Without them (a cross build before that script has run):
#   - every source of the program (library, entry point, tools) is compiled
#     against the Windows headers and those two libraries' own headers;
#   - every source whose code does not reach either library is also linked,
#     into vantrel_portable and the platform test program, so a missing Win32
#     import shows up as a link error here rather than on a user's machine.

set(VANTREL_WINDOWS_LIBRARIES ${CMAKE_BINARY_DIR}/third-party CACHE PATH
    "Install folder of the Windows builds of JsonCpp and libmicrohttpd (scripts/windows-libraries.sh)")
if(EXISTS ${VANTREL_WINDOWS_LIBRARIES}/.complete)
  list(APPEND CMAKE_FIND_ROOT_PATH ${VANTREL_WINDOWS_LIBRARIES})
endif()

set(VANTREL_WIN32_LIBS iphlpapi ws2_32 advapi32 bcrypt)
# Windows 8 / Server 2012 and later (GetSystemTimePreciseAsFileTime).
set(VANTREL_WIN32_DEFINES WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0602 WINVER=0x0602)
if(MSVC)
  set(VANTREL_WARNINGS /W4)
endif()

find_path(VANTREL_JSONCPP_HEADERS json/json.h PATH_SUFFIXES jsoncpp)
find_library(VANTREL_JSONCPP_LIBRARY NAMES jsoncpp jsoncpp_static)
find_path(VANTREL_MHD_HEADERS microhttpd.h)
find_library(VANTREL_MHD_LIBRARY NAMES microhttpd libmicrohttpd libmicrohttpd-dll)
if(VANTREL_JSONCPP_HEADERS AND VANTREL_JSONCPP_LIBRARY AND VANTREL_MHD_HEADERS AND VANTREL_MHD_LIBRARY)
  set(VANTREL_WINDOWS_FULL ON)
  set(_library_includes ${VANTREL_JSONCPP_HEADERS} ${VANTREL_MHD_HEADERS})
else()
  set(VANTREL_WINDOWS_FULL OFF)
  set(VANTREL_HOST_JSONCPP_DIR /usr/include/jsoncpp CACHE PATH
      "Build machine folder holding JsonCpp's json/ header folder (libjsoncpp-dev)")
  set(VANTREL_HOST_MHD_HEADER /usr/include/microhttpd.h CACHE FILEPATH
      "Build machine's microhttpd.h (libmicrohttpd-dev)")
  # Only those headers, never the build machine's /usr/include as a whole:
  # a folder in the build tree with links to just json/ and microhttpd.h.
  set(_library_includes ${CMAKE_BINARY_DIR}/third-party-include)
  file(MAKE_DIRECTORY ${_library_includes})
  foreach(_pair "${VANTREL_HOST_JSONCPP_DIR}/json|json" "${VANTREL_HOST_MHD_HEADER}|microhttpd.h")
    string(REPLACE "|" ";" _pair "${_pair}")
    list(GET _pair 0 _from)
    list(GET _pair 1 _to)
    if(NOT EXISTS ${_from})
      message(FATAL_ERROR "${_from} is missing: install libjsoncpp-dev and libmicrohttpd-dev")
    endif()
    file(REMOVE ${_library_includes}/${_to})
    file(CREATE_LINK ${_from} ${_library_includes}/${_to} SYMBOLIC)
  endforeach()
endif()

# Which sources reach JsonCpp or libmicrohttpd: a file does if it includes
# one of their headers (JsonCpp's declarations-only json/forwards.h aside),
# or one of our headers that does, or a header whose implementation (same
# name, .cc; for platform headers the one in platform/windows/) does. Worked
# out again at every configure.
function(_vantrel_quoted_includes file out)
  file(STRINGS ${file} _lines REGEX "^[ \t]*#[ \t]*include")
  set(_deps)
  set(_lib FALSE)
  foreach(_l IN LISTS _lines)
    if(_l MATCHES "#[ \t]*include[ \t]*<(json/|microhttpd\\.h)" AND
       NOT _l MATCHES "<json/forwards\\.h>")
      set(_lib TRUE)
    elseif(_l MATCHES "#[ \t]*include[ \t]*\"([^\"]+)\"")
      if(EXISTS ${CMAKE_SOURCE_DIR}/${CMAKE_MATCH_1})
        list(APPEND _deps ${CMAKE_SOURCE_DIR}/${CMAKE_MATCH_1})
        string(REGEX REPLACE "\\.h$" ".cc" _impl ${CMAKE_MATCH_1})
        if(_impl MATCHES "^platform/([^/]+)$")
          set(_impl platform/${VANTREL_PLATFORM}/${CMAKE_MATCH_1})
        endif()
        if(EXISTS ${CMAKE_SOURCE_DIR}/${_impl})
          list(APPEND _deps ${CMAKE_SOURCE_DIR}/${_impl})
        endif()
      endif()
    endif()
  endforeach()
  set(${out} "${_deps}" PARENT_SCOPE)
  set(${out}_lib ${_lib} PARENT_SCOPE)
endfunction()

function(_vantrel_reaches_libraries file out)
  set(_seen)
  set(_todo ${file})
  while(_todo)
    list(POP_FRONT _todo _f)
    if(_f IN_LIST _seen)
      continue()
    endif()
    list(APPEND _seen ${_f})
    _vantrel_quoted_includes(${_f} _deps)
    if(_deps_lib)
      file(RELATIVE_PATH _rel ${CMAKE_SOURCE_DIR} ${_f})
      set(${out} ${_rel} PARENT_SCOPE)
      return()
    endif()
    list(APPEND _todo ${_deps})
  endwhile()
  set(${out} "" PARENT_SCOPE)
endfunction()

set(VANTREL_PORTABLE_SOURCES)
set(VANTREL_LIBRARY_SOURCES)
foreach(_src IN LISTS VANTREL_SOURCES)
  _vantrel_reaches_libraries(${_src} _via)
  if(_via)
    list(APPEND VANTREL_LIBRARY_SOURCES ${_src})
  else()
    list(APPEND VANTREL_PORTABLE_SOURCES ${_src})
  endif()
endforeach()
file(GLOB VANTREL_TOOLS CONFIGURE_DEPENDS tools/*.cc)

set(_unlinked)
foreach(_src IN LISTS VANTREL_LIBRARY_SOURCES)
  file(RELATIVE_PATH _rel ${CMAKE_SOURCE_DIR} ${_src})
  list(APPEND _unlinked ${_rel})
endforeach()
if(VANTREL_WINDOWS_FULL)
  message(STATUS "Windows: full build with ${VANTREL_JSONCPP_LIBRARY} and ${VANTREL_MHD_LIBRARY}")
else()
  message(STATUS "Windows: no JsonCpp/libmicrohttpd libraries; compiled only: ${_unlinked} app/main.cc tools/*.cc")
endif()

function(_vantrel_windows_object_library name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_include_directories(${name} SYSTEM PUBLIC ${_library_includes})
  target_compile_definitions(${name} PUBLIC ${VANTREL_WIN32_DEFINES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
endfunction()

_vantrel_windows_object_library(vantrel_portable_objects ${VANTREL_PORTABLE_SOURCES})
_vantrel_windows_object_library(vantrel_library_objects ${VANTREL_LIBRARY_SOURCES})

add_library(vantrel_portable STATIC $<TARGET_OBJECTS:vantrel_portable_objects>)
target_include_directories(vantrel_portable PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(vantrel_portable PUBLIC ${VANTREL_WIN32_DEFINES})
target_link_libraries(vantrel_portable PUBLIC ${VANTREL_WIN32_LIBS})

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_static_runtime -static -static-libgcc -static-libstdc++)
endif()

if(VANTREL_WINDOWS_FULL)
  add_library(vantrel_core STATIC
    $<TARGET_OBJECTS:vantrel_portable_objects> $<TARGET_OBJECTS:vantrel_library_objects>)
  target_include_directories(vantrel_core PUBLIC ${CMAKE_SOURCE_DIR})
  target_include_directories(vantrel_core SYSTEM PUBLIC ${_library_includes})
  target_compile_definitions(vantrel_core PUBLIC ${VANTREL_WIN32_DEFINES})
  target_link_libraries(vantrel_core PUBLIC ${VANTREL_JSONCPP_LIBRARY} ${VANTREL_MHD_LIBRARY} ${VANTREL_WIN32_LIBS})
  set(_programs vantrel:app/main.cc)
  foreach(_tool_src ${VANTREL_TOOLS})
    get_filename_component(_tool ${_tool_src} NAME_WE)
    string(REPLACE "_" "-" _tool ${_tool})
    list(APPEND _programs ${_tool}:${_tool_src})
  endforeach()
  foreach(_program ${_programs})
    string(REPLACE ":" ";" _program ${_program})
    list(GET _program 0 _name)
    list(GET _program 1 _src)
    add_executable(${_name} ${_src})
    target_compile_options(${_name} PRIVATE ${VANTREL_WARNINGS})
    # The MinGW runtime (libgcc, libstdc++, winpthreads) linked in, so no
    # MinGW DLL has to travel with the program.
    target_link_options(${_name} PRIVATE ${_static_runtime})
    target_link_libraries(${_name} PRIVATE vantrel_core)
    list(APPEND _program_files $<TARGET_FILE:${_name}>)
  endforeach()

  # libmicrohttpd as a DLL (LGPL) beside the programs, when it is one.
  get_filename_component(_mhd_dir ${VANTREL_MHD_LIBRARY} DIRECTORY)
  file(GLOB VANTREL_MHD_DLL ${_mhd_dir}/../bin/libmicrohttpd*.dll)
  if(VANTREL_MHD_DLL)
    add_custom_command(TARGET vantrel POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VANTREL_MHD_DLL} $<TARGET_FILE_DIR:vantrel>)
  endif()

  # The release zip: build-windows/vantrel-windows-x64.zip.
  add_custom_target(windows-zip
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -DOUT=${CMAKE_BINARY_DIR}/vantrel-windows-x64
            "-DPROGRAMS=${_program_files}" "-DDLL=${VANTREL_MHD_DLL}" -DSTRIP=${CMAKE_STRIP}
            -DNOTICES=${VANTREL_WINDOWS_LIBRARIES}/notices -P ${CMAKE_SOURCE_DIR}/cmake/windows_zip.cmake
    VERBATIM)
  foreach(_program ${_programs})
    string(REGEX REPLACE ":.*" "" _name ${_program})
    add_dependencies(windows-zip ${_name})
  endforeach()
else()
  _vantrel_windows_object_library(vantrel_entry_objects app/main.cc ${VANTREL_TOOLS})
endif()

# The Windows test program: runs the platform layer against the real Win32
# calls. Links the whole of vantrel_portable so that every linked source's
# imports are resolved, and the capture routine, whose settings reads the
# program answers itself.
if(VANTREL_TESTS)
  add_executable(vantrel-platform-test tests/windows/platform_test.cc capture/capture.cc)
  target_include_directories(vantrel-platform-test SYSTEM PRIVATE ${_library_includes})
  target_compile_options(vantrel-platform-test PRIVATE ${VANTREL_WARNINGS})
  target_link_options(vantrel-platform-test PRIVATE ${_static_runtime})
  target_link_libraries(vantrel-platform-test PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,vantrel_portable>" ${VANTREL_WIN32_LIBS})
  # Building the test program builds every object too.
  add_dependencies(vantrel-platform-test vantrel_library_objects)
  if(TARGET vantrel_entry_objects)
    add_dependencies(vantrel-platform-test vantrel_entry_objects)
  endif()

  enable_testing()
  if(CMAKE_HOST_WIN32)
    add_test(NAME windows_platform COMMAND vantrel-platform-test)
  else()
    # Debian's wine64 package has the loader in /usr/lib/wine; the wine
    # package adds /usr/bin/wine.
    find_program(VANTREL_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
    find_program(VANTREL_WINE NAMES wine64 wine)
    if(VANTREL_WINE)
      add_test(NAME windows_platform
        COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/run-under-wine.sh
                ${VANTREL_WINE} ${CMAKE_BINARY_DIR}/wineprefix $<TARGET_FILE:vantrel-platform-test>)
      set_tests_properties(windows_platform PROPERTIES TIMEOUT 600)
      # The monitor as a service, from the zip's folder (target windows-zip).
      if(VANTREL_WINDOWS_FULL)
        add_test(NAME windows_service
          COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/service-under-wine.sh ${VANTREL_WINE}
                  ${CMAKE_BINARY_DIR}/wineprefix-service ${CMAKE_BINARY_DIR}/vantrel-windows-x64/vantrel.exe)
        set_tests_properties(windows_service PROPERTIES TIMEOUT 600)
      endif()
    else()
      message(WARNING "wine64 not found: the Windows test program is built but not run")
    endif()
  endif()
endif()
