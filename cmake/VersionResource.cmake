# Each Windows binary we ship carries a version resource made from one template, with the
# version of project() and a description of its own.
enable_language(RC)

# lark_version_resource(TARGET DESCRIPTION [MANIFEST FILE]): MANIFEST also embeds FILE as the
# application manifest (RT_MANIFEST 1, which the loader reads for an executable).
function(lark_version_resource target description)
  cmake_parse_arguments(PARSE_ARGV 2 R "" "MANIFEST" "")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(LARK_RC_FILETYPE VFT_APP)
    set(LARK_RC_FILE_NAME ${target}${CMAKE_EXECUTABLE_SUFFIX})
  else()
    set(LARK_RC_FILETYPE VFT_DLL)
    set(LARK_RC_FILE_NAME ${target}${CMAKE_SHARED_LIBRARY_SUFFIX})
  endif()
  set(LARK_RC_NAME ${target})
  set(LARK_RC_DESCRIPTION "${description}")
  set(LARK_RC_MANIFEST "")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  if(R_MANIFEST)
    get_filename_component(manifest ${R_MANIFEST} ABSOLUTE)
    set(LARK_RC_MANIFEST "1 24 \"${manifest}\"")
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  # An object library of its own, so that the C++ options of the target never reach the
  # resource compiler.
  add_library(${target}_version OBJECT ${rc})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
endfunction()
