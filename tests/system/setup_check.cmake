# The set-up's refusal on a kernel without 32-bit programs (tools/check-ia32.sh).
add_test(NAME setup_check COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/setup_check.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(setup_check PROPERTIES LABELS setup TIMEOUT 300)
