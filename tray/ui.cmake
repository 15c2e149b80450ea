# varn_tray_ui: the control centre's dialogs and main window, on top of varn_tray_core.
if(NOT TARGET varn_tray_core)
  return()
endif()
add_library(varn_tray_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/settings_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_list_dialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main_window.cpp)
target_include_directories(varn_tray_ui PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(varn_tray_ui PUBLIC varn_tray_core varn_cipher varn_common
  comctl32 shell32 ole32 user32 advapi32)

# The resources (dialogs, icon, manifest) as one object library, so that the
# program and the dialog tests carry the same templates.
set(VARN_TRAY_ICON ${CMAKE_CURRENT_BINARY_DIR}/VarnBackupTray.ico)
add_custom_command(OUTPUT ${VARN_TRAY_ICON}
  COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/make_icon.py ${VARN_TRAY_ICON}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_icon.py
  COMMENT "Drawing the notification-area icon")
add_custom_target(varn_tray_icon DEPENDS ${VARN_TRAY_ICON})
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/VarnBackupTray.rc PROPERTIES
  OBJECT_DEPENDS "${VARN_TRAY_ICON};${CMAKE_CURRENT_LIST_DIR}/VarnBackupTray.manifest;${CMAKE_CURRENT_LIST_DIR}/resource.h")
add_library(varn_tray_resources OBJECT ${CMAKE_CURRENT_LIST_DIR}/VarnBackupTray.rc)
target_include_directories(varn_tray_resources PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_CURRENT_BINARY_DIR})
add_dependencies(varn_tray_resources varn_tray_icon)

varn_bench_program(file_list_fill_bench LIBS varn_tray_ui SOURCES $<TARGET_OBJECTS:varn_tray_resources>
  LINK_OPTIONS -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
