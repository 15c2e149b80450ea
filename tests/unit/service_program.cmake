# The service's framework, control thread and command line. The control thread
# refers to the watcher and the pipe server, so the tests need every area.
if(TARGET varn_service_pipe AND TARGET varn_service_backup)
  set(varn_service_program_libs varn_service_program varn_service_pipe varn_service_backup varn_service_core varn_cipher)
  varn_unit_test(service_program_framework_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_program_framework_test.cpp
    LIBS ${varn_service_program_libs} TIMEOUT 120)
  varn_unit_test(service_program_install_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_program_install_test.cpp
    LIBS ${varn_service_program_libs} TIMEOUT 120)
  varn_unit_test(service_program_control_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_program_control_test.cpp
    LIBS ${varn_service_program_libs} TIMEOUT 120)
endif()
