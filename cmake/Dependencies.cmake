# Third-party code comes from Debian packages, never from the tree.

# GoogleTest: Debian ships its sources; build them for whichever target this is.
set(LARK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${LARK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# Header-only libraries live in the native include directory. The MinGW build must not see that
# directory (its glibc headers would shadow MinGW's), so it gets a folder holding only links.
set(LARK_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/_deps/include)
file(MAKE_DIRECTORY ${LARK_THIRD_PARTY_INCLUDE})
foreach(lib nlohmann CLI)
  if(NOT EXISTS /usr/include/${lib})
    message(FATAL_ERROR "/usr/include/${lib} missing: install nlohmann-json3-dev and libcli11-dev")
  endif()
  file(CREATE_LINK /usr/include/${lib} ${LARK_THIRD_PARTY_INCLUDE}/${lib} SYMBOLIC)
endforeach()
add_library(lark_third_party INTERFACE)
target_include_directories(lark_third_party SYSTEM INTERFACE ${LARK_THIRD_PARTY_INCLUDE})
