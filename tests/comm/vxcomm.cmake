vx_test(NAME test_vxcomm QT_APP LABELS serial threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_settings.cpp ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_io.cpp
  LIBS vxcomm)
vx_test(NAME test_vxcomm_stress QT_APP LABELS serial threads TIMEOUT 600
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_stress.cpp
  LIBS vxcomm)
vx_test(NAME test_vxcomm_lifecycle QT_APP LABELS serial threads TIMEOUT 120
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_lifecycle.cpp
  LIBS vxcomm)
vx_test(NAME test_vxcomm_noapp LABELS serial threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_noapp.cpp
  LIBS vxcomm)
# The receive path once more under Qt's own event loop instead of glib's: the
# main thread then watches the input through an epoll set.
# A target of the test's name builds what it runs, as for every other test.
add_custom_target(test_vxcomm_unix_loop DEPENDS test_vxcomm)
add_test(NAME test_vxcomm_unix_loop COMMAND test_vxcomm --gtest_filter=CommReceive.*)
get_test_property(test_vxcomm ENVIRONMENT vx_environment)
set_tests_properties(test_vxcomm_unix_loop PROPERTIES TIMEOUT 300 LABELS "serial;threads"
  ENVIRONMENT "${vx_environment};QT_NO_GLIB=1")
