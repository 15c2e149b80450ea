# System tests of the service program under Wine's service control manager.
if(TARGET VarnBackupService)
  add_executable(varn_service_driver ${CMAKE_CURRENT_LIST_DIR}/service_driver.cpp)
  target_link_libraries(varn_service_driver PRIVATE advapi32 shell32)
  set_target_properties(varn_service_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  varn_register_executable(varn_service_driver)

  add_executable(varn_service_planted ${CMAKE_CURRENT_LIST_DIR}/service_planted.cpp)
  set_target_properties(varn_service_planted PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  varn_register_executable(varn_service_planted)

  foreach(name service_command_line service_backup service_stop service_install_folders)
    varn_system_test(${name} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/${name}.sh TIMEOUT 300
      PROGRAMS VarnBackupService varn_service_driver varn_service_planted)
  endforeach()
endif()
