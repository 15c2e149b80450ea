# The control pipe: framing on a private pipe pair; commands, server thread and
# malformed traffic through the real pipe name, driven by a client program.
add_executable(service_pipe_client ${CMAKE_CURRENT_LIST_DIR}/service_pipe_client.cpp)
set_target_properties(service_pipe_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(service_pipe_client)

set(varn_service_pipe_fixture ${CMAKE_CURRENT_LIST_DIR}/service_pipe_fixture.cpp)

varn_unit_test(service_pipe_framing_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_pipe_framing_test.cpp ${varn_service_pipe_fixture}
  LIBS varn_service_pipe TIMEOUT 300)
varn_unit_test(service_pipe_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_pipe_commands_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/service_pipe_server_test.cpp ${varn_service_pipe_fixture}
  LIBS varn_service_pipe TIMEOUT 300)
varn_unit_test(service_pipe_fuzz_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_pipe_fuzz_test.cpp ${varn_service_pipe_fixture}
  LIBS varn_service_pipe TIMEOUT 300)
# Both serve the real pipe name in the shared prefix: never at the same time as
# each other or any other test that takes the same lock.
foreach(test service_pipe_test service_pipe_fuzz_test)
  add_dependencies(${test} service_pipe_client)
  set_property(TEST ${test} APPEND PROPERTY RESOURCE_LOCK varn_control_pipe)
endforeach()
