# The main window in a test process of its own under Xvfb (the icon's record,
# the close box, the start/stop caption against stand-in services), and the
# program built without its resources, whose main window cannot be made.
if(NOT (TARGET VarnBackupTray AND TARGET gui_driver AND TARGET tray_core_stub_service))
  return()
endif()

add_executable(tray_window_system_test ${CMAKE_CURRENT_LIST_DIR}/tray_window_system_test.cpp
  $<TARGET_OBJECTS:varn_tray_resources> $<TARGET_OBJECTS:varn_test_main>)
target_link_libraries(tray_window_system_test PRIVATE varn_test_support varn_tray_ui varn_tray_core)
target_link_options(tray_window_system_test PRIVATE -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
set_target_properties(tray_window_system_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(tray_window_system_test)

# The control centre's own entry point with no dialog template to make its window from.
add_executable(tray_no_window WIN32 ${CMAKE_SOURCE_DIR}/tray/main.cpp)
target_link_libraries(tray_no_window PRIVATE varn_tray_ui varn_tray_core varn_logcfg_tray)
target_link_options(tray_no_window PRIVATE -mwindows -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
set_target_properties(tray_no_window PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fixtures)
varn_register_executable(tray_no_window)

varn_system_test(tray_window SCRIPT ${CMAKE_CURRENT_LIST_DIR}/tray_window.sh TIMEOUT 300
  PROGRAMS tray_window_system_test tray_core_stub_service tray_no_window gui_driver)
