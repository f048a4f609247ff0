# The rooms of app/ include each other downwards only, and only run/ includes
# the host stand-in. Run as `cmake -DAPP=<app folder> -P rooms_check.cmake`.
#
# Lowest first: a room may include itself and the rooms listed before it.
cmake_minimum_required(VERSION 3.18)

set(rooms cli files picture page run decompose batch remix demo)
set(host_headers maxhost.hpp recorder.hpp ext.h ext_obex.h ext_buffer.h z_dsp.h host_internal.hpp)

set(faults "")
foreach(room ${rooms})
  list(FIND rooms ${room} level)
  file(GLOB sources ${APP}/${room}/*.cpp ${APP}/${room}/*.hpp ${APP}/${room}/*.h)
  foreach(source ${sources})
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
    file(RELATIVE_PATH shown ${APP} ${source})
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*" "\\1" header "${line}")
      get_filename_component(name ${header} NAME)
      if(NOT room STREQUAL "run" AND name IN_LIST host_headers)
        list(APPEND faults "${shown}: includes the host stand-in (${header}), which only run/ may")
      endif()
      if(header MATCHES "^([a-z_]+)/")
        set(other ${CMAKE_MATCH_1})
        list(FIND rooms ${other} other_level)
        if(other_level GREATER level)
          list(APPEND faults "${shown}: includes ${header}, but ${other}/ stands above ${room}/")
        elseif(other_level EQUAL -1 AND EXISTS ${APP}/${other})
          list(APPEND faults "${shown}: includes ${header}, of a room not in the list")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

# every folder of app/ is a room in the list
file(GLOB entries LIST_DIRECTORIES true ${APP}/*)
foreach(entry ${entries})
  get_filename_component(name ${entry} NAME)
  if(IS_DIRECTORY ${entry} AND NOT name IN_LIST rooms)
    list(APPEND faults "${name}/: a folder of app/ that is not in the rooms' list")
  endif()
endforeach()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "rooms of app/:\n  ${text}")
endif()
message(STATUS "rooms of app/: every include points downwards")
