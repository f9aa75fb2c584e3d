find_package(Qt6 REQUIRED COMPONENTS Test)
vx_test(NAME test_vxclasses LABELS threads
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/vxclasses_medium.h
    ${CMAKE_CURRENT_LIST_DIR}/test_baseio.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_terminal.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_devices.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_log.cpp
  LIBS vxclasses Qt6::Test
  QT_APP)
