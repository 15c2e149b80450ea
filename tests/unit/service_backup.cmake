# Tests of the backup pass: destination, change processing, pruning, watcher.
set(varn_backup_fixture ${CMAKE_CURRENT_LIST_DIR}/service_backup_fixture.cpp)

# \\backupsrv\bk for the share tests: the host name is a link to a folder
# outside the prefix that holds the share folder, so nothing real is made
# inside the prefix's unc folder.
set(varn_backup_share_host "${CMAKE_BINARY_DIR}/test-output/backup-share-host")
set(varn_backup_unc "${VARN_WINEPREFIX}/dosdevices/unc")
add_test(NAME service_backup_share_setup COMMAND sh -c
  "rm -rf '${varn_backup_share_host}' && mkdir -p '${varn_backup_share_host}/bk' '${varn_backup_unc}' && ln -sfn '${varn_backup_share_host}' '${varn_backup_unc}/backupsrv'")
set_tests_properties(service_backup_share_setup PROPERTIES FIXTURES_SETUP backup_share RESOURCE_LOCK varn_unit_prefix)
add_test(NAME service_backup_share_cleanup COMMAND sh -c
  "rm -f '${varn_backup_unc}/backupsrv'; rmdir '${varn_backup_unc}' 2>/dev/null; rm -rf '${varn_backup_share_host}'; true")
set_tests_properties(service_backup_share_cleanup PROPERTIES FIXTURES_CLEANUP backup_share RESOURCE_LOCK varn_unit_prefix)

varn_unit_test(service_backup_destination_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_destination_test.cpp ${varn_backup_fixture}
  LIBS varn_service_backup TIMEOUT 300)
set_tests_properties(service_backup_destination_test PROPERTIES FIXTURES_REQUIRED "wineserver;backup_share")

varn_unit_test(service_backup_pruning_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_pruning_test.cpp ${varn_backup_fixture}
          ${CMAKE_CURRENT_LIST_DIR}/service_core_support.cpp
  LIBS varn_service_backup TIMEOUT 300)

varn_unit_test(service_backup_changes_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_changes_test.cpp ${varn_backup_fixture}
  LIBS varn_service_backup TIMEOUT 300)
set_tests_properties(service_backup_changes_test PROPERTIES FIXTURES_REQUIRED "wineserver;backup_share")

varn_unit_test(service_backup_pass_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_pass_test.cpp ${varn_backup_fixture}
  LIBS varn_service_backup TIMEOUT 600)
set_tests_properties(service_backup_pass_test PROPERTIES FIXTURES_REQUIRED "wineserver;backup_share")

varn_unit_test(service_backup_folder_loop_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_folder_loop_test.cpp ${varn_backup_fixture}
  LIBS varn_service_backup TIMEOUT 300)

varn_unit_test(service_backup_database_copy_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_backup_database_copy_test.cpp ${varn_backup_fixture}
  LIBS varn_service_backup TIMEOUT 300)

# The restore's link cases need links made from Linux in the prefix; the
# wrapper makes them around the run.
add_executable(service_backup_restore_links_test ${CMAKE_CURRENT_LIST_DIR}/service_backup_restore_links_test.cpp
  ${varn_backup_fixture} $<TARGET_OBJECTS:varn_test_main>)
target_link_libraries(service_backup_restore_links_test PRIVATE varn_test_support varn_service_backup)
set_target_properties(service_backup_restore_links_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(service_backup_restore_links_test)
add_test(NAME service_backup_restore_links_test
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/service_backup_restore_links.sh ${CMAKE_BINARY_DIR}/wine-run ${VARN_WINEPREFIX}
          $<TARGET_FILE:service_backup_restore_links_test>)
set_tests_properties(service_backup_restore_links_test PROPERTIES FIXTURES_REQUIRED wineserver TIMEOUT 120
  LABELS unit RESOURCE_LOCK varn_unit_prefix)
