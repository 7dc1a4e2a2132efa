# velkin-keydrive from the command line: make a drive with program copies,
# check it, refuse to make it twice, show its status, and (on the native
# build) let the Status copy write its three log lines.
#
# Variables: TOOL, PROGRAM, EMULATOR (may be empty), WORK, WINDOWS.

# The report goes to standard output (in ${out}), errors and the usage after
# a wrong command line to standard error (in ${out}_errors).
function(run expected out)
  execute_process(COMMAND ${EMULATOR} ${TOOL} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL expected)
    message(FATAL_ERROR "velkin-keydrive ${ARGN}: exit ${result}, expected ${expected}\n${output}\n${errors}")
  endif()
  set(${out} "${output}" PARENT_SCOPE)
  set(${out}_errors "${errors}" PARENT_SCOPE)
endfunction()

function(expect_none text haystack what)
  string(FIND "${haystack}" "${text}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "${what}: '${text}' should not be in:\n${haystack}")
  endif()
endfunction()

function(expect text haystack what)
  string(FIND "${haystack}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${what}: '${text}' missing in:\n${haystack}")
  endif()
endfunction()

function(expect_key_size bytes what)
  file(SIZE ${drive}/SETTINGS/KEY.DAT size)
  if(NOT size EQUAL bytes)
    message(FATAL_ERROR "${what}: KEY.DAT has ${size} bytes, not ${bytes}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(drive ${WORK}/drive)

run(0 made make ${drive} --size 2M --program ${PROGRAM})
expect("Key number: " "${made}" "make")
if(WINDOWS)
  set(ext ".exe")
endif()
foreach(name Decrypt Encrypt Open Status)
  if(NOT EXISTS ${drive}/${name}${ext})
    message(FATAL_ERROR "make did not copy the program as ${name}${ext}")
  endif()
endforeach()
foreach(folder LOG TEMP SETTINGS)
  if(NOT IS_DIRECTORY ${drive}/${folder})
    message(FATAL_ERROR "make did not create the folder ${folder}")
  endif()
endforeach()
expect_key_size(2097152 "make")

run(0 checked check ${drive})
expect("The key drive is sound." "${checked}" "check")
expect("Every one of the 2047 pad blocks can be found through the index." "${checked}" "check")

run(1 again make ${drive} --size 1M --program ${PROGRAM})
expect("velkin-keydrive: " "${again_errors}" "second make")
expect("exists already" "${again_errors}" "second make")
expect_none("exists already" "${again}" "the report of a second make")
expect_key_size(2097152 "a second make")

run(0 status status ${drive})
expect("Key usage: 0.0%" "${status}" "status")
string(REGEX MATCH "Key number: ([0-9A-F-]+)" number "${status}")
set(number ${CMAKE_MATCH_1})

run(2 usage make ${drive})
expect("usage:" "${usage_errors}" "make without a size")
expect_none("usage:" "${usage}" "make without a size")
run(2 usage make ${WORK}/other --size lots)
expect("'lots' is not a size" "${usage_errors}" "make with a wrong size")
# Progress is for a terminal: none of its redrawn lines in a pipe.
expect_none("\r" "${made_errors}" "make's standard error in a pipe")

# A damaged usage record is found.
file(WRITE ${drive}/SETTINGS/STATUS.DAT "")
run(1 damaged check ${drive})
expect("PROBLEM: the usage record holds 0 bytes" "${damaged}" "check of a damaged drive")

if(NOT WINDOWS)
  # The program itself, started as its Status copy, reads the same key.
  file(REMOVE_RECURSE ${WORK})
  file(MAKE_DIRECTORY ${WORK})
  run(0 made make ${drive} --size 1M --program ${PROGRAM})
  string(REGEX MATCH "Key number: ([0-9A-F-]+)" number "${made}")
  set(number ${CMAKE_MATCH_1})
  execute_process(COMMAND ${drive}/Status RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Status exited with ${result}")
  endif()
  file(READ ${drive}/LOG/log.txt log)
  expect("Key number:          ${number}" "${log}" "log of the status command")
  expect("Key usage:           0.0% " "${log}" "log of the status command")
  expect("Program version:     V1.3.8" "${log}" "log of the status command")
endif()
file(REMOVE_RECURSE ${WORK})
