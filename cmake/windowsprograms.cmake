# The Windows build's programs as they ship: each with its own icon, a
# version resource and an application manifest, and without debug sections.
#
# The four drop targets Decrypt.exe, Encrypt.exe, Open.exe and Status.exe are
# the program itself built four times, each with its own icon, so that they
# can be told apart in Explorer (a copy of velkin.exe under each name would
# show one icon four times). velkin-keydrive make copies them from beside
# velkin.exe; the program chooses its command by the first letter of its
# name as before.

# velkin_windows_resources(TARGET NAME name DESCRIPTION text ICON file [DIALOG])
# gives TARGET the icon packaging/windows/icons/<file>, a version resource
# naming it <name>.exe with the description, and a manifest; DIALOG adds the
# progress dialog that the program shows.
function(velkin_windows_resources target)
  cmake_parse_arguments(RES "DIALOG" "NAME;DESCRIPTION;ICON" "" ${ARGN})
  set(VELKIN_RC_NAME ${RES_NAME})
  set(VELKIN_RC_DESCRIPTION ${RES_DESCRIPTION})
  set(VELKIN_RC_ICON ${CMAKE_SOURCE_DIR}/packaging/windows/icons/${RES_ICON})
  set(VELKIN_RC_DIALOG "")
  if(RES_DIALOG)
    set(VELKIN_RC_DIALOG "#include \"${CMAKE_SOURCE_DIR}/ui/progress.rc\"")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/resources)
  set(VELKIN_RC_MANIFEST ${folder}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.manifest.in ${VELKIN_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/program.rc.in ${folder}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${folder}/${target}.rc)
  # The resource compiler does not see through to the icon and the dialog.
  set_property(SOURCE ${folder}/${target}.rc TARGET_DIRECTORY ${target} APPEND PROPERTY OBJECT_DEPENDS
               ${VELKIN_RC_ICON} ${VELKIN_RC_MANIFEST} ${CMAKE_SOURCE_DIR}/ui/progress.rc)
endfunction()

# A program that ships: its resources, and stripped of symbols and debug
# sections (nothing in a user's hands needs them).
function(velkin_shipped_program target)
  velkin_windows_resources(${target} ${ARGN})
  target_link_options(${target} PRIVATE -s)
endfunction()

velkin_shipped_program(velkin NAME velkin DESCRIPTION "Velkin file protection" ICON velkin.ico DIALOG)

foreach(command Decrypt Encrypt Open Status)
  string(TOLOWER ${command} lower)
  add_executable(velkin_${lower} WIN32 startup/winmain.cpp)
  set_target_properties(velkin_${lower} PROPERTIES OUTPUT_NAME ${command})
  target_link_options(velkin_${lower} PRIVATE -municode ${VELKIN_STATIC_LINK})
  target_link_libraries(velkin_${lower} PRIVATE velkincore)
  velkin_shipped_program(velkin_${lower} NAME ${command} DESCRIPTION "Velkin: ${command}" ICON ${lower}.ico
                         DIALOG)
endforeach()

velkin_shipped_program(velkin-keydrive NAME velkin-keydrive DESCRIPTION "Velkin key drive tool"
                       ICON keydrive.ico)
if(TARGET bkgui)
  velkin_shipped_program(bkgui NAME bkgui DESCRIPTION "Velkin Secure Workspace archive tool" ICON bkgui.ico)
endif()
if(TARGET bkfm)
  velkin_shipped_program(bkfm NAME bkfm DESCRIPTION "Velkin Secure Workspace file manager" ICON bkfm.ico)
endif()
