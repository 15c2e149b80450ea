# The control centre's state, stored-file queries, pipe client and folder-list
# requests. Times and dates are shown in a zone one hour ahead of UTC all year
# and in the English (United Kingdom) locale, so the texts are known.
varn_unit_test(tray_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_core_test.cpp
  LIBS varn_tray_core LOCKS varn_control_pipe)
set_tests_properties(tray_core_test PROPERTIES ENVIRONMENT "TZ=Etc/GMT-1;LC_ALL=en_GB.UTF-8")

# The shown time in the user's own locale, one run per locale (the program
# checks that LC_ALL made it the user's): en-US here, then en-GB and ko-KR.
varn_unit_test(tray_times_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_times_test.cpp
  LIBS varn_tray_core)
set_tests_properties(tray_times_test PROPERTIES ENVIRONMENT "TZ=Etc/GMT-1;LC_ALL=en_US.UTF-8")
foreach(locale en_GB ko_KR)
  add_test(NAME tray_times_test_${locale} COMMAND tray_times_test)
  set_tests_properties(tray_times_test_${locale} PROPERTIES FIXTURES_REQUIRED wineserver TIMEOUT 600 LABELS unit
    RESOURCE_LOCK varn_unit_prefix
    ENVIRONMENT "TZ=Etc/GMT-1;LC_ALL=${locale}.UTF-8")
endforeach()
