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
