add_library(varn_tray_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/app_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stored_files.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/folder_browser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_control.cpp)
target_include_directories(varn_tray_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_tray_core PUBLIC varn_common varn_logcfg_tray varn_cipher sqlite3
  advapi32 shell32 ole32 user32 comctl32)

# The benchmark program of bench/: built on request only, never run by CTest.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/listing_query_bench.cpp)
  add_executable(listing_query_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/listing_query_bench.cpp)
  target_link_libraries(listing_query_bench PRIVATE varn_tray_core)
  target_link_options(listing_query_bench PRIVATE -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
  set_target_properties(listing_query_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endif()
