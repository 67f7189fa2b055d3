# Runs tests/skip_report.cmake on made-up skips, with and without CI=true: it
# must name each missing tool and package once, count tests rather than
# records, name every limit of the machine, and fail only under CI and only
# for a missing tool. Variables: REPORT_SCRIPT, WORK_DIR.

cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(skips "${WORK_DIR}/skips.tsv")
set(report "${WORK_DIR}/report.txt")

# Runs the report on `records` (lines of kind, what, package and test) with
# CI set to `ci` (empty: unset); sets status, out (stdout and stderr) and written (REPORT's text).
function(report_on records ci)
  file(REMOVE "${skips}")
  if(NOT records STREQUAL "")
    file(WRITE "${skips}" "${records}")
  endif()
  if(ci STREQUAL "")
    set(environment --unset=CI)
  else()
    set(environment "CI=${ci}")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${environment} ${CMAKE_COMMAND} -DSKIPS=${skips} -DREPORT=${report} -P ${REPORT_SCRIPT}
    RESULT_VARIABLE result OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  set(written "")
  if(EXISTS "${report}")
    file(READ "${report}" written)
  endif()
  set(status "${result}" PARENT_SCOPE)
  set(out "${stdout}${stderr}" PARENT_SCOPE)
  set(written "${written}" PARENT_SCOPE)
endfunction()

# Fails with `what` unless the condition in the remaining arguments holds.
function(expect what)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "${what}\nstatus ${status}, output:\n${out}")
  endif()
endfunction()

set(tab "\t")
set(mixed
  "tool${tab}ffmpeg${tab}ffmpeg${tab}Ffmpeg.First\n"
  "tool${tab}ffprobe${tab}ffmpeg${tab}Ffmpeg.First\n"
  "tool${tab}ffmpeg${tab}ffmpeg${tab}Ffmpeg.Second\n"
  "tool${tab}mkfs.xfs${tab}xfsprogs${tab}FileSystems.Xfs\n"
  "limit${tab}no btrfs file system to test on: mount refused${tab}${tab}FileSystems.Btrfs\n"
  "limit${tab}no /dev/full${tab}${tab}CommandLine.Full\n"
  "limit${tab}no /dev/full${tab}${tab}Faults.Full\n")
string(JOIN "" mixed ${mixed})

report_on("${mixed}" "")
expect("outside CI a missing tool must not fail the run" status EQUAL 0)
string(FIND "${out}" "Skipped for missing tools (3 tests): ffmpeg, ffprobe, mkfs.xfs; as root: apt-get install ffmpeg xfsprogs" at)
expect("the missing tools' line must name each tool and package once and count the tests" at GREATER -1)
string(FIND "${out}" "Skipped where this machine cannot run them (3 tests): no btrfs file system to test on: mount refused (1 test); no /dev/full (2 tests)" at)
expect("the limits' line must name each reason once, with its tests" at GREATER -1)
string(FIND "${out}" "Outside CI, skipped tests do not fail the run." at)
expect("the marker that makes ctest show the report as skipped is gone" at GREATER -1)
string(FIND "${written}" "apt-get install ffmpeg xfsprogs" at)
expect("the report file must hold the lines shown" at GREATER -1)

foreach(ci true TRUE 1)
  report_on("${mixed}" "${ci}")
  expect("under CI=${ci} a missing tool must fail the run" NOT status EQUAL 0)
  string(FIND "${out}" "ffmpeg, ffprobe, mkfs.xfs" at)
  expect("the failure under CI must name the missing tools" at GREATER -1)
  string(FIND "${out}" "Outside CI" at)
  expect("a failure under CI must not carry the marker that turns it into a skip" at EQUAL -1)
endforeach()

report_on("${mixed}" "false")
expect("CI=false is not CI" status EQUAL 0)

# Limits alone stay skips under CI.
report_on("limit${tab}no /dev/full${tab}${tab}Faults.Full\n" "true")
expect("a limit of the machine must not fail the run under CI" status EQUAL 0)
string(FIND "${out}" "no /dev/full (1 test)" at)
expect("a limit of the machine must be named" at GREATER -1)

# Nothing recorded, or no file at all: a clean run, and no stale report.
file(WRITE "${report}" "stale")
report_on("" "true")
expect("a run without skips must pass" status EQUAL 0)
string(LENGTH "${written}" written_length)
expect("a run without skips must leave no report file" written_length EQUAL 0)
string(FIND "${out}" "No test was skipped." at)
expect("a run without skips must say so" at GREATER -1)

report_on("something else\n" "")
expect("a line the report cannot read must fail it, not vanish" NOT status EQUAL 0)

file(REMOVE_RECURSE "${WORK_DIR}")
