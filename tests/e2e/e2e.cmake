# End-to-end tests of the real program, driven by Python's unittest.
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_FOUND)
  message(WARNING "python3 not found: end-to-end tests are not registered")
  return()
endif()

set(VELKIN_E2E_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB VELKIN_E2E_SCRIPTS CONFIGURE_DEPENDS ${VELKIN_E2E_DIR}/test_*.py)

if(WIN32)
  # The Windows build under Wine; drives are laid out by the native build's tool.
  set(VELKIN_NATIVE_BUILD_DIR "" CACHE PATH "Native build folder, for the key drive tool")
  set(E2E_SUFFIX wine)
  set(E2E_ENV "VELKIN_WIN_BUILD=${CMAKE_BINARY_DIR};VELKIN_NATIVE_BUILD=${VELKIN_NATIVE_BUILD_DIR};VELKIN_E2E_ONLY=wine")
else()
  set(E2E_SUFFIX native)
  set(E2E_ENV "VELKIN_NATIVE_BUILD=${CMAKE_BINARY_DIR};VELKIN_E2E_ONLY=native")
endif()

foreach(script ${VELKIN_E2E_SCRIPTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME e2e_${E2E_SUFFIX}_${name}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${name}
           WORKING_DIRECTORY ${VELKIN_E2E_DIR})
  set_tests_properties(e2e_${E2E_SUFFIX}_${name} PROPERTIES ENVIRONMENT "${E2E_ENV}" TIMEOUT 1200)
  if(WIN32)
    # Boxes are found by caption on one shared display: one program at a time.
    set_tests_properties(e2e_${E2E_SUFFIX}_${name} PROPERTIES RUN_SERIAL TRUE)
  elseif(name STREQUAL "test_desktop" OR name STREQUAL "test_open")
    # These watch the program's own delays (a dialog shown after 100 ms,
    # hidden 200 ms after a phase, the editor wait's polls): alone, no other
    # test's load stretches a short phase past them.
    set_tests_properties(e2e_${E2E_SUFFIX}_${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
endforeach()
