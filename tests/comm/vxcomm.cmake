vx_test(NAME test_vxcomm QT_APP
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_settings.cpp ${CMAKE_CURRENT_LIST_DIR}/test_vxcomm_io.cpp
  LIBS vxcomm)
