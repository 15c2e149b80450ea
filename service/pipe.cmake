# The control pipe: framing, commands and the server thread.
add_library(varn_service_pipe STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pipe_framing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_server.cpp)
target_include_directories(varn_service_pipe PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_service_pipe PUBLIC varn_service_backup varn_service_core varn_cipher)

# The benchmark program of bench/: built on request only, never run by CTest.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/restore_bench.cpp)
  add_executable(restore_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/restore_bench.cpp)
  target_link_libraries(restore_bench PRIVATE varn_service_pipe)
  target_link_options(restore_bench PRIVATE -municode)
  set_target_properties(restore_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
