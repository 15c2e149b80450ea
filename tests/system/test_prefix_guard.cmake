# The test prefixes' mark keeps every test out of other prefixes: each test
# program of the build, the GUI driver and the system test library refuse to
# run in a prefix without it, and leave what they find there alone.
varn_system_test(test_prefix_guard SCRIPT ${CMAKE_CURRENT_LIST_DIR}/test_prefix_guard.sh TIMEOUT 600)
