# vxcomm: the serial port component and the serial-port list.
add_library(vxcomm STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_types.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_custom.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_custom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_send.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_receive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_connection.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_serial.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_config.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcomm_config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxregistry.h
  ${CMAKE_CURRENT_LIST_DIR}/vxregistry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxwin32.h
  ${CMAKE_CURRENT_LIST_DIR}/vxwin32.cpp
)
target_include_directories(vxcomm PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(vxcomm PUBLIC vxclasses vxsysutils vxport vxrtl Qt6::Widgets)
