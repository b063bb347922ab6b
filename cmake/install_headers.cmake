# Installs the headers a host uses under one include root (cmake --install
# runs it, from install(CODE) in CMakeLists.txt):
#   <includedir>/zoetra/zoetra.h, zoetra.hpp, compat.h, version.h  the front door
#   <includedir>/zoetra/blocks/<path in the source tree>          the building blocks
# Each `#include "x/y.hpp"` of a building block becomes
# `#include <zoetra/blocks/x/y.hpp>`, so that the one root is all a host puts
# on its include path; an include of a header that is not installed stops the
# installation, naming both.
# In: ZOETRA_SOURCE_DIR, ZOETRA_FRONT_HEADERS (paths), ZOETRA_BLOCK_HEADERS
# (relative to the source root), ZOETRA_STAGING (a scratch folder) and
# ZOETRA_INCLUDEDIR (absolute, or under CMAKE_INSTALL_PREFIX).

if(IS_ABSOLUTE "${ZOETRA_INCLUDEDIR}")
  set(zoetra_root "${ZOETRA_INCLUDEDIR}/zoetra")
else()
  set(zoetra_root "${CMAKE_INSTALL_PREFIX}/${ZOETRA_INCLUDEDIR}/zoetra")
endif()

# Copies `source` to `staged` with its includes of building blocks rewritten.
function(zoetra_stage_header source staged)
  file(READ "${source}" text)
  string(REGEX MATCHALL "#include \"[^\"]+\"" includes "${text}")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\"$" "\\1" path "${line}")
    list(FIND ZOETRA_BLOCK_HEADERS "${path}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${source} includes \"${path}\", which is not installed: "
                          "add it to ZOETRA_BLOCK_HEADERS or drop the include")
    endif()
    string(REPLACE "${line}" "#include <zoetra/blocks/${path}>" text "${text}")
  endforeach()
  file(WRITE "${staged}" "${text}")
endfunction()

foreach(header IN LISTS ZOETRA_FRONT_HEADERS)
  if(NOT IS_ABSOLUTE "${header}")
    set(header "${ZOETRA_SOURCE_DIR}/${header}")
  endif()
  get_filename_component(name "${header}" NAME)
  zoetra_stage_header("${header}" "${ZOETRA_STAGING}/${name}")
  file(INSTALL DESTINATION "${zoetra_root}" TYPE FILE FILES "${ZOETRA_STAGING}/${name}")
endforeach()
foreach(path IN LISTS ZOETRA_BLOCK_HEADERS)
  get_filename_component(dir "${path}" DIRECTORY)
  zoetra_stage_header("${ZOETRA_SOURCE_DIR}/${path}" "${ZOETRA_STAGING}/blocks/${path}")
  file(INSTALL DESTINATION "${zoetra_root}/blocks/${dir}" TYPE FILE FILES "${ZOETRA_STAGING}/blocks/${path}")
endforeach()
