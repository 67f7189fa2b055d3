# Folders are layers, and a layer uses only the layers below it. Two checks
# keep it so: at configure time, no file of a layer may include a header of a
# layer at its own floor or above; at build time, every layer's objects with
# those of the layers below must link on their own, so a call that goes up
# fails to link.

# Floors, from the ground up; folders on one floor do not use each other.
set(REELKNIT_LAYER_FLOORS
  base 1
  io 2
  chapters 2
  mp4 3
  insta360 3
  join 4
  bin 5)

function(reelknit_floor_of folder out)
  list(FIND REELKNIT_LAYER_FLOORS ${folder} at)
  if(at EQUAL -1)
    set(${out} "" PARENT_SCOPE)
  else()
    math(EXPR at "${at} + 1")
    list(GET REELKNIT_LAYER_FLOORS ${at} floor)
    set(${out} ${floor} PARENT_SCOPE)
  endif()
endfunction()

function(reelknit_check_layer_includes)
  set(broken "")
  set(index 0)
  list(LENGTH REELKNIT_LAYER_FLOORS length)
  while(index LESS length)
    list(GET REELKNIT_LAYER_FLOORS ${index} folder)
    math(EXPR index "${index} + 2")
    reelknit_floor_of(${folder} floor)
    file(GLOB sources ${PROJECT_SOURCE_DIR}/src/${folder}/*.h ${PROJECT_SOURCE_DIR}/src/${folder}/*.cpp)
    foreach(source ${sources})
      file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z0-9_]+/")
      foreach(line ${includes})
        string(REGEX REPLACE "^[^\"]*\"([a-z0-9_]+)/.*$" "\\1" used "${line}")
        if(used STREQUAL folder OR used STREQUAL "reelknit")
          continue()
        endif()
        reelknit_floor_of(${used} used_floor)
        if(used_floor STREQUAL "" OR NOT used_floor LESS floor)
          file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${source})
          list(APPEND broken "${name}: ${line} (src/${folder} may use only the layers below it)")
        endif()
      endforeach()
    endforeach()
  endwhile()
  if(broken)
    list(JOIN broken "\n  " text)
    message(FATAL_ERROR "A layer includes a header of a layer above it or beside it:\n  ${text}")
  endif()
endfunction()

# One executable per layer from its objects and those below it, every object
# linked in whole: a reference to a layer above stays undefined and fails.
function(reelknit_add_layer_link_check layer)
  set(objects "")
  foreach(target ${layer} ${ARGN})
    list(APPEND objects $<TARGET_OBJECTS:${target}>)
  endforeach()
  add_executable(${layer}_links_alone ${PROJECT_SOURCE_DIR}/cmake/layer_link_check.cpp ${objects})
  target_link_libraries(${layer}_links_alone PRIVATE ${CMAKE_DL_LIBS})
endfunction()
