vx_test(NAME test_vxprocessor QT_APP LABELS serial threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_processor.cpp
  LIBS vxcomm)
