# The control centre's dialog helpers that need no display: byte sizes, the
# restore request on the pipe, registry writing; and the program's own dialog
# templates and icon, read from the resources it is built with.
if(TARGET varn_tray_ui)
  varn_unit_test(tray_ui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_ui_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tray_ui_templates_test.cpp $<TARGET_OBJECTS:varn_tray_resources>
    LIBS varn_tray_ui TIMEOUT 120 LOCKS varn_control_pipe)
  target_link_options(tray_ui_test PRIVATE -Wl,--undefined=${VARN_SYMBOL_PREFIX}logWriterConfig)
endif()
