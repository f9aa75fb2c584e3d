vx_test(NAME test_vxwin32di
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fake_device_tree.h
    ${CMAKE_CURRENT_LIST_DIR}/test_vxwin32di.cpp
  LIBS vxwin32di)
vx_test(NAME test_devicelist
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fake_device_tree.h
    ${CMAKE_CURRENT_LIST_DIR}/devicelist_medium.h
    ${CMAKE_CURRENT_LIST_DIR}/test_devicelist.cpp
  LIBS vxcomm
  QT_APP)
vx_test(NAME test_vxcommbox
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/devicelist_medium.h
    ${CMAKE_CURRENT_LIST_DIR}/fake_device_tree.h
    ${CMAKE_CURRENT_LIST_DIR}/test_vxcommbox.cpp
  LIBS vxcommbox vxcomm Qt6::Test
  QT_APP)
target_include_directories(test_vxcommbox PRIVATE ${PROJECT_SOURCE_DIR}/tests/port)
vx_test(NAME test_window_devicebox
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/fake_device_tree.h
    ${CMAKE_CURRENT_LIST_DIR}/test_window_devicebox.cpp
  LIBS irwindow
  QT_APP)
