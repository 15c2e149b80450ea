# The common library's unit tests.
varn_unit_test(common_text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/common_text_test.cpp
  LIBS varn_common varn_logcfg_service TIMEOUT 120)
varn_unit_test(common_folders_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/common_folders_test.cpp
  LIBS varn_common varn_logcfg_service TIMEOUT 120)
varn_unit_test(common_log_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/common_log_test.cpp
  LIBS varn_common varn_logcfg_service TIMEOUT 300)
varn_unit_test(common_log_tray_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/common_log_tray_test.cpp
  LIBS varn_common varn_logcfg_tray TIMEOUT 300)
# Five hours behind UTC, so an entry written in local time would show.
set_tests_properties(common_log_test common_log_tray_test PROPERTIES ENVIRONMENT "TZ=XXX+5")

if(VARN_WINEARCH STREQUAL win32)
# The check of every program (tests/check_pe.sh) against fixtures built only
# for it: an XP program, one importing GetTickCount64, one of subsystem 6.0.
set(common_pe_fixture_source ${CMAKE_CURRENT_LIST_DIR}/common_pe_fixture.cpp)
add_executable(common_pe_fixture_xp ${common_pe_fixture_source})
add_executable(common_pe_fixture_newer_import ${common_pe_fixture_source})
target_compile_definitions(common_pe_fixture_newer_import PRIVATE VARN_FIXTURE_NEWER_IMPORT)
add_executable(common_pe_fixture_newer_subsystem ${common_pe_fixture_source})
target_link_options(common_pe_fixture_newer_subsystem PRIVATE
  -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)
set_target_properties(common_pe_fixture_xp common_pe_fixture_newer_import common_pe_fixture_newer_subsystem
  PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/fixtures)
add_test(NAME common_check_pe
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/common_check_pe_test.sh ${CMAKE_SOURCE_DIR}/tests/check_pe.sh ${VARN_OBJDUMP}
    $<TARGET_FILE:common_pe_fixture_xp> $<TARGET_FILE:common_pe_fixture_newer_import>
    $<TARGET_FILE:common_pe_fixture_newer_subsystem>)
set_tests_properties(common_check_pe PROPERTIES LABELS build TIMEOUT 120)
endif()
