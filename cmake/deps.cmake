# Third-party pieces, all from Debian's packages.
#
# On the host they come from /usr/include and the system libraries. For the
# mipsel cross build, the header-only JSON library is reached through a
# directory that holds nothing but a link to it (adding /usr/include itself
# would mix the host's C library headers into the cross build), and GoogleTest
# is built from the sources Debian ships in /usr/src/googletest.

set(BOX_SHIM_INCLUDE ${CMAKE_BINARY_DIR}/shim-include)
file(MAKE_DIRECTORY ${BOX_SHIM_INCLUDE})
if(NOT EXISTS /usr/include/nlohmann/json.hpp)
  message(FATAL_ERROR "nlohmann/json.hpp missing: run scripts/setup.sh (package nlohmann-json3-dev)")
endif()
file(CREATE_LINK /usr/include/nlohmann ${BOX_SHIM_INCLUDE}/nlohmann SYMBOLIC)
add_library(box_json INTERFACE)
target_include_directories(box_json SYSTEM INTERFACE ${BOX_SHIM_INCLUDE})

if(CMAKE_CROSSCOMPILING)
  set(BOX_HAVE_PNG OFF)
  set(BOX_WITH_TOOL OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own build defines the GTest:: names.
else()
  find_package(GTest REQUIRED)
  find_package(PNG REQUIRED)
  set(BOX_HAVE_PNG ON)
  if(BOX_WITH_TOOL)
    if(NOT EXISTS /usr/include/httplib.h)
      message(FATAL_ERROR "httplib.h missing: run scripts/setup.sh (package libcpp-httplib-dev)")
    endif()
    # Debian builds cpp-httplib as a library; its header must be read with
    # the same features the library was built with, or the classes differ.
    find_library(BOX_HTTPLIB_LIBRARY cpp-httplib REQUIRED)
    add_library(box_httplib INTERFACE)
    target_compile_definitions(box_httplib INTERFACE CPPHTTPLIB_THREAD_POOL_COUNT=8
      CPPHTTPLIB_OPENSSL_SUPPORT CPPHTTPLIB_ZLIB_SUPPORT CPPHTTPLIB_BROTLI_SUPPORT)
    target_link_libraries(box_httplib INTERFACE ${BOX_HTTPLIB_LIBRARY})
  endif()
endif()
