# What `cmake --install` and CPack ship. The "runtime" component: the host and larkhostctl with
# their symbol files, the README and docs/. "kit": the parent kit as static libraries with its
# headers and a CMake package, so that find_package(LarkRemoteHost) gives LarkRemoteHost::parent. "test":
# the stand-in engine, installed only when asked for (--component test) and zipped apart.
include(CMakePackageConfigHelpers)
set(LARK_CMAKE_DIR lib/cmake/LarkRemoteHost)

foreach(program LarkRemoteHost larkhostctl)
  install(TARGETS ${program} RUNTIME DESTINATION bin COMPONENT runtime)
  install(FILES $<TARGET_FILE:${program}>.debug DESTINATION bin COMPONENT runtime)
endforeach()
install(FILES README.md DESTINATION . COMPONENT runtime)
install(DIRECTORY docs DESTINATION . COMPONENT runtime)

install(TARGETS LarkRemoteStreamer RUNTIME DESTINATION bin COMPONENT test EXCLUDE_FROM_ALL)
install(FILES $<TARGET_FILE:LarkRemoteStreamer>.debug DESTINATION bin COMPONENT test
        EXCLUDE_FROM_ALL)

# The kit's libraries keep their build names; in the package they are LarkRemoteHost::parent and
# the four it links, LarkRemoteHost::rpc, ::logging, ::sync and ::win.
set_target_properties(lark_parent PROPERTIES EXPORT_NAME parent)
set_target_properties(lark_rpc PROPERTIES EXPORT_NAME rpc)
set_target_properties(lark_logging PROPERTIES EXPORT_NAME logging)
set_target_properties(lark_sync PROPERTIES EXPORT_NAME sync)
set_target_properties(lark_win PROPERTIES EXPORT_NAME win)
install(TARGETS lark_parent lark_rpc lark_logging lark_sync lark_win EXPORT LarkRemoteHostTargets
        ARCHIVE DESTINATION lib COMPONENT kit
        INCLUDES DESTINATION include)
install(FILES parent/host_connection.h parent/host_exit.h parent/host_process.h
              parent/host_protocol.h parent/module_folder.h parent/running_hosts.h
        DESTINATION include/parent COMPONENT kit)
install(FILES rpc/pipe_handles.h rpc/pipe_io.h rpc/pipe_thread.h rpc/request_writer.h
              rpc/unique_pipe.h rpc/wire.h
        DESTINATION include/rpc COMPONENT kit)
install(FILES protocol/lark_protocol.h DESTINATION include/protocol COMPONENT kit)
install(FILES sync/mutex.h sync/thread_annotations.h DESTINATION include/sync COMPONENT kit)
install(FILES win/unique_handle.h DESTINATION include/win COMPONENT kit)
install(EXPORT LarkRemoteHostTargets NAMESPACE LarkRemoteHost:: DESTINATION ${LARK_CMAKE_DIR}
        COMPONENT kit)
configure_package_config_file(cmake/LarkRemoteHostConfig.cmake.in
  ${CMAKE_BINARY_DIR}/LarkRemoteHostConfig.cmake INSTALL_DESTINATION ${LARK_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/LarkRemoteHostConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/LarkRemoteHostConfig.cmake
              ${CMAKE_BINARY_DIR}/LarkRemoteHostConfigVersion.cmake
        DESTINATION ${LARK_CMAKE_DIR} COMPONENT kit)

# Two ZIPs: LarkRemoteHost-<version>-win64-main.zip with the runtime and the kit, and -test.zip
# with the stand-in engine.
set(CPACK_PACKAGE_NAME LarkRemoteHost)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime kit test)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
include(CPack)
cpack_add_component(runtime GROUP main)
cpack_add_component(kit GROUP main)
cpack_add_component(test GROUP test)
