add_library(varn_service_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/service_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_rows.cpp)
target_include_directories(varn_service_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_service_core PUBLIC varn_common varn_logcfg_service sqlite3 advapi32 kernel32)
