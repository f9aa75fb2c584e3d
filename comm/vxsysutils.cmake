# Port-name and file functions over the port layer.
add_library(vxsysutils STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vxsysutils.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxsysutils.h
)
target_include_directories(vxsysutils PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(vxsysutils PUBLIC vxport)
