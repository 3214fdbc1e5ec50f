# The dispatcher against the capture SMTP server from tests/support (started
# with /usr/bin/python3). The send events are tested through the main window in
# tests/app.
corvane_add_test(test_dispatcher
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_dispatcher.cpp
  LIBS corvane_dispatch
  LABELS dispatch
  TIMEOUT 120)
