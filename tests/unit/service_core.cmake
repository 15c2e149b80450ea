set(service_core_support ${CMAKE_CURRENT_LIST_DIR}/service_core_support.cpp)
varn_unit_test(service_core_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_core_state_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/service_core_rows_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/service_core_walk_test.cpp
          ${service_core_support}
  LIBS varn_service_core
  TIMEOUT 300)
target_include_directories(service_core_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})

# The link and drive-root cases need folder links and a drive letter made from
# Linux in the prefix; the wrapper makes them around the run.
add_executable(service_core_links_test ${CMAKE_CURRENT_LIST_DIR}/service_core_links_test.cpp
  ${service_core_support} $<TARGET_OBJECTS:varn_test_main>)
target_link_libraries(service_core_links_test PRIVATE varn_service_core varn_test_support)
target_include_directories(service_core_links_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
set_target_properties(service_core_links_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
varn_register_executable(service_core_links_test)
add_test(NAME service_core_links_test
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/service_core_links.sh ${CMAKE_BINARY_DIR}/wine-run ${VARN_WINEPREFIX}
          $<TARGET_FILE:service_core_links_test>)
set_tests_properties(service_core_links_test PROPERTIES FIXTURES_REQUIRED wineserver TIMEOUT 120 LABELS unit
  RESOURCE_LOCK varn_unit_prefix)
