# vxclasses: the device I/O framework (base I/O component, log, worker thread,
# timer, device list, data processor).
add_library(vxclasses STATIC
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_types.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_baseio.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_baseio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_terminal_p.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_devices.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_device.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_stringlist.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_stringlist.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_log.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_notify.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_notify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_processor.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_processor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_thread.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_thread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_timer.h
  ${CMAKE_CURRENT_LIST_DIR}/vxclasses_timer.cpp
)
target_include_directories(vxclasses PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_LIST_DIR}>)
target_link_libraries(vxclasses PUBLIC vxrtl vxport Qt6::Widgets)
