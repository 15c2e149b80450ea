# The control centre driven through its real windows under Xvfb, against the
# real service: gui_driver.exe sends a user's messages from a process of its own.
if(TARGET VarnBackupTray)
  add_executable(gui_driver ${CMAKE_CURRENT_LIST_DIR}/gui_driver.cpp)
  target_link_libraries(gui_driver PRIVATE shell32 comctl32 user32 sqlite3)
  set_target_properties(gui_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  varn_register_executable(gui_driver)
endif()

if(TARGET VarnBackupTray AND TARGET VarnBackupService)
  foreach(name gui_main_window gui_files)
    varn_system_test(${name} SCRIPT ${CMAKE_CURRENT_LIST_DIR}/${name}.sh TIMEOUT 300
      PROGRAMS VarnBackupTray VarnBackupService gui_driver)
  endforeach()
endif()

if(TARGET VarnBackupTray)
  varn_system_test(gui_settings SCRIPT ${CMAKE_CURRENT_LIST_DIR}/gui_settings.sh TIMEOUT 300
    PROGRAMS VarnBackupTray gui_driver)
endif()

# The file list while another connection holds the state database's write lock.
if(TARGET VarnBackupTray)
  varn_system_test(gui_files_busy SCRIPT ${CMAKE_CURRENT_LIST_DIR}/gui_files_busy.sh TIMEOUT 300
    PROGRAMS VarnBackupTray gui_driver)
endif()

# The file list over fabricated rows: one file index on two volumes, and long
# listings pinned row by row. Shares nothing: its own prefix (so its own pipe
# namespace) and its own Xvfb display.
if(TARGET VarnBackupTray)
  varn_system_test(gui_files_rows SCRIPT ${CMAKE_CURRENT_LIST_DIR}/gui_files_rows.sh TIMEOUT 300
    PROGRAMS VarnBackupTray gui_driver)
endif()
