# VarnBackupTray.exe: the control centre program (GUI subsystem).
if(NOT TARGET varn_tray_ui)
  return()
endif()
add_executable(VarnBackupTray WIN32 ${CMAKE_CURRENT_LIST_DIR}/main.cpp $<TARGET_OBJECTS:varn_tray_resources>)
set_target_properties(VarnBackupTray PROPERTIES OUTPUT_NAME VarnBackupTray)
target_link_libraries(VarnBackupTray PRIVATE varn_tray_ui varn_tray_core varn_logcfg_tray)
# Only the common library refers to the log writer's values, and it comes
# after their library on the link line: ask for them up front.
target_link_options(VarnBackupTray PRIVATE -mwindows -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
varn_register_executable(VarnBackupTray)
