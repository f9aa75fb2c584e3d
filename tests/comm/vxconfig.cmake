vx_test(NAME test_vxconfig QT_APP LABELS serial
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_registry.cpp ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_config.cpp
  LIBS vxcomm)
