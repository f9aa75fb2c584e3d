# vxwin32di: device information for the serial ports from the kernel's device
# tree; the serial component's full enumeration modes use it.
add_library(vxwin32di STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vxwin32di.h
  ${CMAKE_CURRENT_LIST_DIR}/vxwin32di.cpp
)
target_include_directories(vxwin32di PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(vxwin32di PUBLIC vxport)
target_link_libraries(vxcomm PUBLIC vxwin32di)

# vxcommbox: the device selector box, its device-tree tooltips and the source
# of device events.
add_library(vxcommbox STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vxcommbox.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcommbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxcommbox_hints.h
  ${CMAKE_CURRENT_LIST_DIR}/vxcommbox_hints.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxdevicemonitor.h
  ${CMAKE_CURRENT_LIST_DIR}/vxdevicemonitor.cpp
)
target_include_directories(vxcommbox PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(vxcommbox PUBLIC vxclasses vxwin32di vxrtl Qt6::Widgets)
