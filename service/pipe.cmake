# The control pipe: framing, commands and the server thread.
add_library(varn_service_pipe STATIC
  ${CMAKE_CURRENT_LIST_DIR}/pipe_framing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_server.cpp)
target_include_directories(varn_service_pipe PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_service_pipe PUBLIC varn_service_backup varn_service_core varn_cipher)

varn_bench_program(restore_bench LIBS varn_service_pipe LINK_OPTIONS -municode)
