varn_unit_test(common_text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/common_text_test.cpp LIBS varn_common varn_logcfg_service)
