# The control centre's dialog helpers that need no display: byte sizes, the
# restore request on the pipe, registry writing.
if(TARGET varn_tray_ui)
  varn_unit_test(tray_ui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_ui_test.cpp
    LIBS varn_tray_ui TIMEOUT 120)
  target_link_options(tray_ui_test PRIVATE -Wl,--undefined=_logWriterConfig)
endif()
