# The serial component library as other programs use it. A project that adds
# this one with add_subdirectory links the vxcomm:: names below directly; an
# installed copy has its headers under include/vxcomm/, its static libraries,
# the CMake package vxcomm (find_package(vxcomm CONFIG) gives the same names)
# and the pkg-config file vxcomm.pc.
set(vx_library_targets vxrtl vxport vxsysutils vxclasses vxwin32di vxcomm vxcommbox)
foreach(target ${vx_library_targets})
  add_library(vxcomm::${target} ALIAS ${target})
  # A program of its own may be a shared library or a position-independent
  # executable; Qt asks for position-independent code either way.
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  # The headers are C++20; a program that names no level of its own would
  # get Qt's C++17 and fail inside them.
  target_compile_features(${target} INTERFACE cxx_std_20)
  target_include_directories(${target} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

if(NOT VX_INSTALL)
  return()
endif()
include(CMakePackageConfigHelpers)

# The headers keep their quoted includes of one another, so they lie in one
# folder; private headers (_p.h) and the port layer's insides stay out, but
# for the port headers that public ones include (the port map, the device
# tree it reads, the device watch of the device monitor).
file(GLOB vx_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/comm/*.h ${PROJECT_SOURCE_DIR}/rtl/*.h)
list(FILTER vx_headers EXCLUDE REGEX "_p\\.h$")
foreach(header vxport.h portmap.h devtree.h devwatch.h)
  list(APPEND vx_headers ${PROJECT_SOURCE_DIR}/port/${header})
endforeach()
install(FILES ${vx_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vxcomm COMPONENT dev)

set(vx_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vxcomm)
install(TARGETS ${vx_library_targets} EXPORT vxcommTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# Installed stripped (cpack, cmake --install --strip), the archives keep their
# symbols but lose their debug sections, as Debian ships static libraries;
# CMake itself strips only programs and shared libraries.
foreach(target ${vx_library_targets})
  install(CODE "if(CMAKE_INSTALL_DO_STRIP AND NOT \"${CMAKE_STRIP}\" STREQUAL \"\")
  execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --remove-section=.comment --remove-section=.note
    --enable-deterministic-archives
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:${target}>\"
    COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT dev)
endforeach()
install(EXPORT vxcommTargets NAMESPACE vxcomm:: DESTINATION ${vx_cmake_dir} COMPONENT dev)

set(VX_QT_MIN_VERSION 6.4)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vxcommConfig.cmake.in
  ${PROJECT_BINARY_DIR}/vxcommConfig.cmake INSTALL_DESTINATION ${vx_cmake_dir})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vxcommConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vxcommConfig.cmake ${PROJECT_BINARY_DIR}/vxcommConfigVersion.cmake
  DESTINATION ${vx_cmake_dir} COMPONENT dev)

# vxcomm.pc finds its prefix from its own place, so that one file serves
# /usr and any other prefix.
file(RELATIVE_PATH VX_PC_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vxcomm.pc.in ${PROJECT_BINARY_DIR}/vxcomm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vxcomm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
