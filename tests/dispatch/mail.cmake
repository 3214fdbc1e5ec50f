# Mail component tests: real SMTP and POP3 peers on loopback, started per test.
add_library(corvane_mailharness STATIC ${CMAKE_CURRENT_LIST_DIR}/MailHarness.cpp)
target_include_directories(corvane_mailharness PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(corvane_mailharness PUBLIC corvane_dispatch corvane_testsupport Qt6::Test
  PRIVATE corvane_warnings)

corvane_add_test(tst_mail_delivery SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mail_delivery.cpp
  LIBS corvane_mailharness LABELS mail TIMEOUT 90)
corvane_add_test(tst_mail_security SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mail_security.cpp
  LIBS corvane_mailharness LABELS mail TIMEOUT 120)
corvane_add_test(tst_mail_faults SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mail_faults.cpp
  LIBS corvane_mailharness LABELS mail TIMEOUT 120)
corvane_add_test(tst_mail_pop SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mail_pop.cpp
  LIBS corvane_mailharness LABELS mail TIMEOUT 90)
corvane_add_test(tst_mail_units SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_mail_units.cpp
  LIBS corvane_dispatch LABELS mail TIMEOUT 60)
