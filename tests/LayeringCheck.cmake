# Fails when an include arrow runs from a lower layer up, or between the
# managers and the simulated machine. Run as: cmake -DSRC=<src dir> -P <this>.
# Ranks, lowest first; the HAL model shared by the backends sits on the
# platform interfaces; core folders and the backends (sim, pipewire, mac) share a
# rank but never see each other (only the process entry chooses the backend),
# and core never sees the model either.
set(rank_runtime 0)
set(rank_protocol 1)
set(rank_audiohal 2)
set(rank_platform 3)
set(rank_hal 4)
set(rank_sim 5)
set(rank_pipewire 5)
set(rank_mac 5)
foreach(core commands taps aggregate recording microphone permissions cli)
  set(rank_${core} 5)
  set(core_${core} TRUE)
endforeach()

file(GLOB_RECURSE files RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp ${SRC}/*.mm)
set(violations "")
foreach(file IN LISTS files)
  string(REGEX MATCH "^[^/]+" from "${file}")
  if(NOT DEFINED rank_${from})
    list(APPEND violations "${file}: folder ${from} has no layer")
    continue()
  endif()
  file(STRINGS ${SRC}/${file} lines REGEX "^#include \"[^/\"]+/")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" to "${line}")
    if(NOT DEFINED rank_${to})
      continue()
    endif()
    set(bad FALSE)
    if(rank_${to} GREATER rank_${from})
      set(bad TRUE)
    elseif((to STREQUAL "sim" OR to STREQUAL "hal" OR to STREQUAL "pipewire" OR to STREQUAL "mac")
           AND core_${from}
           AND NOT file STREQUAL "cli/main.cpp")
      set(bad TRUE)
    elseif((from STREQUAL "sim" OR from STREQUAL "pipewire" OR from STREQUAL "mac") AND core_${to})
      set(bad TRUE)
    elseif(NOT from STREQUAL to AND (from STREQUAL "sim" OR from STREQUAL "pipewire" OR
           from STREQUAL "mac") AND (to STREQUAL "sim" OR to STREQUAL "pipewire" OR
           to STREQUAL "mac"))
      # Backends never see each other.
      set(bad TRUE)
    endif()
    if(bad)
      list(APPEND violations "${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Include arrows against the layers:\n  ${text}")
endif()
