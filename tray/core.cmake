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

varn_bench_program(listing_query_bench LIBS varn_tray_core
  LINK_OPTIONS -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
