vx_test(NAME test_vxsysutils SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vxsysutils.cpp LIBS vxsysutils)
target_include_directories(test_vxsysutils PRIVATE ${PROJECT_SOURCE_DIR}/tests/port)
