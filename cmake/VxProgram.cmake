# vx_install_program(<target> <manual page>)
# Installs a program into bin together with its manual page. The page is kept
# as roff source beside the program's sources; its file-name extension is its
# section. It is installed compressed with gzip -9n, as Debian ships pages.
find_program(VX_GZIP gzip REQUIRED)

function(vx_install_program target page)
  if(NOT VX_INSTALL)
    return()
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT irprogrammer)

  get_filename_component(name ${page} NAME)
  if(NOT name MATCHES "\\.([1-9])$")
    message(FATAL_ERROR "vx_install_program: ${page} has no section number as its extension")
  endif()
  set(section ${CMAKE_MATCH_1})
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/${page})
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${VX_GZIP} ${source} ${compressed}
    DEPENDS ${source}
    VERBATIM)
  add_custom_target(${target}_manpage ALL DEPENDS ${compressed})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT irprogrammer)
endfunction()
