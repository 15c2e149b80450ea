# The control centre's core functions with real message boxes under Xvfb: the
# folder list, the pipe client and the service control, against no service, the
# real service, a stand-in service that is slow or unwilling to stop, and a
# database filled by real backup passes.
add_executable(tray_core_system_test ${CMAKE_CURRENT_LIST_DIR}/tray_core_system_test.cpp
  $<TARGET_OBJECTS:varn_test_main>)
target_link_libraries(tray_core_system_test PRIVATE varn_tray_ui varn_test_support)
set_target_properties(tray_core_system_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(tray_core_system_test)

add_executable(tray_core_stub_service ${CMAKE_CURRENT_LIST_DIR}/tray_core_stub_service.cpp)
target_link_libraries(tray_core_stub_service PRIVATE advapi32)
set_target_properties(tray_core_stub_service PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(tray_core_stub_service)

varn_system_test(tray_core_no_service SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tray_core_no_service.sh TIMEOUT 300
  PROGRAMS tray_core_system_test)
varn_system_test(tray_core_stub_service SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tray_core_stub_service.sh TIMEOUT 300
  PROGRAMS tray_core_system_test tray_core_stub_service)
if(TARGET VarnBackupService)
  foreach(name tray_core_real_service tray_core_stored_passes tray_core_restore)
    varn_system_test(${name} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/${name}.sh TIMEOUT 300
      PROGRAMS tray_core_system_test VarnBackupService)
  endforeach()
endif()
