varn_unit_test(cipher_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/cipher_test.cpp
  LIBS varn_cipher varn_common varn_logcfg_service TIMEOUT 300)
