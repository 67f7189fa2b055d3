# Installs the build tree into a fresh prefix, then configures, builds and runs
# a small project that finds the library with find_package(reelknit).
# Variables: BUILD_DIR, WORK_DIR, CONSUMER_DIR, SAMPLE, CXX, CXX_FLAGS, LINKER_FLAGS, BUILD_TYPE.

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

run_step("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

include(GNUInstallDirs)
foreach(installed
    bin/reelknit
    include/reelknit/join.h include/reelknit/error.h include/reelknit/log.h include/reelknit/chapters.h
    share/man/man1/reelknit.1)
  if(NOT EXISTS "${prefix}/${installed}")
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
file(GLOB_RECURSE config_files "${prefix}/*/reelknitConfig.cmake")
if(NOT config_files)
  message(FATAL_ERROR "no reelknitConfig.cmake under ${prefix}")
endif()

# The public headers stand on their own: they include only each other and the standard library.
file(GLOB headers "${prefix}/include/reelknit/*.h")
foreach(header ${headers})
  file(STRINGS "${header}" quoted_includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line ${quoted_includes})
    if(NOT line MATCHES "\"reelknit/[a-z_]+\\.h\"")
      message(FATAL_ERROR "${header} includes a private header: ${line}")
    endif()
  endforeach()
endforeach()

run_step("configure consumer" ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/build"
  "-DCMAKE_PREFIX_PATH=${prefix}"
  "-DCMAKE_CXX_COMPILER=${CXX}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}"
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}")
run_step("build consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run_step("run consumer" "${WORK_DIR}/build/consumer" "${SAMPLE}" "${WORK_DIR}/joined.mp4")

# Two copies of the sample's media data went in: the output must be larger than one.
file(SIZE "${SAMPLE}" sample_size)
file(SIZE "${WORK_DIR}/joined.mp4" joined_size)
if(NOT joined_size GREATER sample_size)
  message(FATAL_ERROR "joined file has ${joined_size} bytes for two inputs of ${sample_size}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
