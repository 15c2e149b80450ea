# The control centre's state, stored-file queries, pipe client and folder-list
# requests. Times and dates are shown in a zone one hour ahead of UTC all year
# and in the English (United Kingdom) locale, so the texts are known.
varn_unit_test(tray_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_core_test.cpp
  LIBS varn_tray_core)
set_tests_properties(tray_core_test PROPERTIES ENVIRONMENT "TZ=Etc/GMT-1;LC_ALL=en_GB.UTF-8")
