# The Linux build with the distribution's hardening flags, as Debian builds
# its packages: dpkg-buildflags with every hardening feature (stack
# protector, fortified functions, format checks, read-only relocations bound
# at start). Its optimisation and debug flags are left out: the build type
# chooses those, and the package ships stripped programs.
option(VELKIN_HARDENING "Build with the hardening flags of dpkg-buildflags, where it is installed" ON)
find_program(VELKIN_DPKG_BUILDFLAGS dpkg-buildflags)
if(VELKIN_HARDENING AND VELKIN_DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${VELKIN_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-g|^-O|^-ffile-prefix-map=")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
    list(JOIN flags " " shown)
    message(STATUS "Hardening ${kind}: ${shown}")
  endforeach()
endif()
