# Windows build (cross-compiled with cmake/mingw-w64-x86_64.cmake, or native
# with MinGW). JsonCpp and libmicrohttpd for Windows are not available on the
# build machines, so:
#   - every source of the program (library, entry point, tools) is compiled
#     against the Windows headers and those two libraries' own headers;
#   - every source whose code does not reach either library is also linked,
#     into vantrel_portable and the Windows test program, so missing Win32
#     imports show up as link errors here rather than on a user's machine.
# A Windows user with both libraries installed (e.g. through vcpkg) builds the
# full monitor with the main CMakeLists.txt path instead; see the README.

set(VANTREL_JSONCPP_INCLUDE_DIR /usr/include/jsoncpp CACHE PATH
    "Folder holding JsonCpp's json/ header folder")
set(VANTREL_MHD_HEADER /usr/include/microhttpd.h CACHE FILEPATH
    "libmicrohttpd's microhttpd.h")

# Only those headers, never the build machine's /usr/include as a whole:
# a folder in the build tree with links to just json/ and microhttpd.h.
set(_third_party ${CMAKE_BINARY_DIR}/third-party-include)
file(MAKE_DIRECTORY ${_third_party})
foreach(_pair "${VANTREL_JSONCPP_INCLUDE_DIR}/json|json"
              "${VANTREL_MHD_HEADER}|microhttpd.h")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _from)
  list(GET _pair 1 _to)
  if(NOT EXISTS ${_from})
    message(FATAL_ERROR "${_from} is missing: install libjsoncpp-dev and libmicrohttpd-dev")
  endif()
  file(REMOVE ${_third_party}/${_to})
  file(CREATE_LINK ${_from} ${_third_party}/${_to} SYMBOLIC)
endforeach()

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
message(STATUS "Windows: compiled only (need JsonCpp or libmicrohttpd): ${_unlinked} app/main.cc tools/*.cc")

set(VANTREL_WIN32_LIBS iphlpapi ws2_32 psapi advapi32)
set(VANTREL_WIN32_DEFINES WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0602 WINVER=0x0602)

function(_vantrel_windows_object_library name)
  add_library(${name} OBJECT ${ARGN})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_include_directories(${name} SYSTEM PUBLIC ${_third_party})
  target_compile_definitions(${name} PUBLIC ${VANTREL_WIN32_DEFINES})
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS})
endfunction()

_vantrel_windows_object_library(vantrel_portable_objects ${VANTREL_PORTABLE_SOURCES})
_vantrel_windows_object_library(vantrel_library_objects
  ${VANTREL_LIBRARY_SOURCES} app/main.cc ${VANTREL_TOOLS})

add_library(vantrel_portable STATIC $<TARGET_OBJECTS:vantrel_portable_objects>)
target_include_directories(vantrel_portable PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(vantrel_portable PUBLIC ${VANTREL_WIN32_DEFINES})
target_link_libraries(vantrel_portable PUBLIC ${VANTREL_WIN32_LIBS})

# The Windows test program: runs the platform layer against the real Win32
# calls. Links the whole of vantrel_portable so that every linked source's
# imports are resolved, and the capture routine, whose one settings read the
# program answers itself.
if(VANTREL_TESTS)
  add_executable(vantrel-platform-test tests/windows/platform_test.cc capture/capture.cc)
  target_include_directories(vantrel-platform-test SYSTEM PRIVATE ${_third_party})
  target_compile_options(vantrel-platform-test PRIVATE ${VANTREL_WARNINGS})
  target_link_options(vantrel-platform-test PRIVATE -static -static-libgcc -static-libstdc++)
  target_link_libraries(vantrel-platform-test PRIVATE
    -Wl,--whole-archive vantrel_portable -Wl,--no-whole-archive ${VANTREL_WIN32_LIBS})
  # Building the test program builds every object too.
  add_dependencies(vantrel-platform-test vantrel_library_objects)

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
    else()
      message(WARNING "wine64 not found: the Windows test program is built but not run")
    endif()
  endif()
endif()
