# Installation and packages.
#
# Linux: `cmake --install` puts the programs into bin and a manual page for
# each into share/man/man1 (man/<program>.1, compressed); `cpack` makes a
# Debian package of the same.
# Windows: `cmake --install` and `cpack` (a zip) give velkin-keydrive.exe
# and velkin.exe beside a ready key drive folder, KeyDrive, holding the
# program's copies, the siblings in SETTINGS and the folders LOG and TEMP;
# the key files are made on the drive with velkin-keydrive make.
#
# A program beside velkin is installed when its target exists; its manual
# page is man/<target>.1 and is installed when that file exists.

set(VELKIN_INSTALLED_PROGRAMS velkin velkin-keydrive)
foreach(sibling bkgui bkfm)
  if(TARGET ${sibling})
    list(APPEND VELKIN_INSTALLED_PROGRAMS ${sibling})
  endif()
endforeach()

set(CPACK_PACKAGE_NAME velkin)
set(CPACK_PACKAGE_VENDOR "Velkin")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "protects files with a one-time pad kept on a removable key drive")

if(NOT WIN32)
  include(GNUInstallDirs)
  install(TARGETS ${VELKIN_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  find_program(VELKIN_GZIP gzip)
  set(manual_pages)
  foreach(program ${VELKIN_INSTALLED_PROGRAMS})
    set(page ${CMAKE_SOURCE_DIR}/man/${program}.1)
    if(NOT EXISTS ${page})
      continue()
    endif()
    if(VELKIN_GZIP)
      # -n: no name or time in the header, so that builds are reproducible.
      set(copy ${CMAKE_BINARY_DIR}/man/${program}.1)
      set(compressed ${copy}.gz)
      add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E copy ${page} ${copy}
        COMMAND ${VELKIN_GZIP} -9 -n -f ${copy}
        DEPENDS ${page} VERBATIM)
      list(APPEND manual_pages ${compressed})
    else()
      list(APPEND manual_pages ${page})
    endif()
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
  install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Velkin maintainers <velkin@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Files dropped on Encrypt get an encrypted copy and are erased for good;\nDecrypt restores them and checks them against a keyed digest.\nvelkin-keydrive makes key drives.")
  # The desktop's dialogs, when the program is started from a file manager.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog")
  find_program(VELKIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VELKIN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
else()
  install(TARGETS velkin velkin-keydrive RUNTIME DESTINATION .)
  foreach(command Decrypt Encrypt Open Status)
    install(PROGRAMS $<TARGET_FILE:velkin> DESTINATION KeyDrive RENAME ${command}.exe)
  endforeach()
  foreach(sibling bkgui bkfm)
    if(TARGET ${sibling})
      install(PROGRAMS $<TARGET_FILE:${sibling}> DESTINATION KeyDrive/SETTINGS)
    endif()
  endforeach()
  install(DIRECTORY DESTINATION KeyDrive/SETTINGS)
  install(DIRECTORY DESTINATION KeyDrive/LOG)
  install(DIRECTORY DESTINATION KeyDrive/TEMP)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

include(CPack)
