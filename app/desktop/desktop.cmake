# What a desktop needs to show the tool: its icon (SVG, and PNGs rendered at
# build time for the icon theme and the window), its desktop entry and its
# AppStream description, all named by the application id.
set(icon_svg ${CMAKE_CURRENT_LIST_DIR}/irprogrammer.svg)
set(icon_dir ${CMAKE_CURRENT_BINARY_DIR}/icons)
set(icon_pngs)
foreach(size 48 128 256)
  set(png ${icon_dir}/${size}/${VX_APP_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_dir}/${size}
    COMMAND ${RSVG_CONVERT} --format=png -w ${size} -h ${size} -o ${png} ${icon_svg}
    DEPENDS ${icon_svg}
    VERBATIM)
  list(APPEND icon_pngs ${png})
  if(VX_INSTALL)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
      COMPONENT irprogrammer)
  endif()
endforeach()
qt_add_resources(irprogrammer iricons PREFIX /icons BASE ${icon_dir} FILES ${icon_pngs})
target_compile_definitions(irprogrammer PRIVATE
  IRP_APP_ID="${VX_APP_ID}" IRP_VERSION="${PROJECT_VERSION}")

if(VX_INSTALL)
  set(desktop_dir ${CMAKE_CURRENT_BINARY_DIR}/desktop)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/irprogrammer.desktop.in ${desktop_dir}/${VX_APP_ID}.desktop @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/irprogrammer.metainfo.xml.in ${desktop_dir}/${VX_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${desktop_dir}/${VX_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT irprogrammer)
  install(FILES ${desktop_dir}/${VX_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo COMPONENT irprogrammer)
  install(FILES ${icon_svg} RENAME ${VX_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT irprogrammer)
endif()
