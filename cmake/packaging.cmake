# Installation and packages.
#
# Linux: `cmake --install` puts the programs into bin, a manual page for
# each into share/man/man1 (man/<program>.1, compressed) and the README, the
# copyright and the changelog into share/doc/velkin; `cpack` makes a Debian
# package of the same, built with the distribution's hardening flags.
# Windows: `cmake --install` and `cpack` (a zip) give one folder: the key
# drive tool velkin-keydrive.exe beside the programs that its make copies
# onto a key drive, a README and the licence.
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
  # Installed programs without symbols and without the compiler's notes, as
  # Debian's policy asks (and as its dh_strip does).
  if(CMAKE_STRIP)
    foreach(program ${VELKIN_INSTALLED_PROGRAMS})
      install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)")
    endforeach()
  endif()

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

  # The package's maintainer, for its control file and changelog: set it
  # to whoever builds and answers for the package.
  set(VELKIN_DEB_MAINTAINER "Velkin developers <developers@velkin.example>"
      CACHE STRING "Maintainer of the Debian package: Name <address>")

  # The copyright file in Debian's machine-readable form, its licence text
  # taken from LICENSE (everything after the copyright line).
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "^.*Copyright[^\n]*\n\n" "" license "${license}")
  string(REGEX REPLACE "\n+$" "" license "${license}")
  string(REGEX REPLACE "\n\n" "\n.\n" license "${license}")
  string(REPLACE "\n" "\n " license "${license}")
  set(VELKIN_LICENSE_TEXT " ${license}")
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/copyright.in ${CMAKE_BINARY_DIR}/package/copyright @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The changelog, compressed as Debian's policy asks; a package without a
  # Debian revision is a native one, whose changelog is changelog.gz.
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
  if(VELKIN_GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
      COMMAND ${VELKIN_GZIP} -9 -n -f -k ${CMAKE_BINARY_DIR}/package/changelog
      DEPENDS ${CMAKE_BINARY_DIR}/package/changelog VERBATIM)
    add_custom_target(debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
    install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELKIN_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Below the summary line (CPACK_PACKAGE_DESCRIPTION_SUMMARY).
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Files dropped on Encrypt get an encrypted copy and are erased for good;\n"
      "Decrypt restores them and checks them against a keyed digest. Open\n"
      "edits an encrypted file through a working copy and encrypts it again.\n"
      "The pad, its index and its usage record live on the key drive with the\n"
      "program; velkin-keydrive makes, checks and splits key drives.")
  # Started from a file manager the program shows its boxes and progress
  # with the desktop's dialog tool, opens files for editing with xdg-open,
  # and the workspace file manager shows its window with GTK 3 (loaded when
  # it starts), else runs in a terminal window.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "zenity | kdialog, xdg-utils, libgtk-3-0, xterm | x-terminal-emulator")
  find_program(VELKIN_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(VELKIN_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
else()
  # One folder: the key drive tool beside everything that its make copies
  # onto a key drive (the program, its four drop targets with their own
  # icons, the Secure Workspace programs), where make looks for them; a
  # short README and the licence, with Windows line ends.
  install(TARGETS ${VELKIN_INSTALLED_PROGRAMS} velkin_decrypt velkin_encrypt velkin_open velkin_status
          RUNTIME DESTINATION .)
  foreach(text packaging/windows/README.txt LICENSE)
    get_filename_component(name ${text} NAME_WE)
    file(READ ${CMAKE_SOURCE_DIR}/${text} content)
    string(CONFIGURE "${content}" content @ONLY)
    string(REPLACE "\n" "\r\n" content "${content}")
    file(WRITE ${CMAKE_BINARY_DIR}/package/${name}.txt "${content}")
    install(FILES ${CMAKE_BINARY_DIR}/package/${name}.txt DESTINATION .)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt ${CMAKE_SOURCE_DIR}/LICENSE)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()

include(CPack)
