# Which folders each folder's code may include, checked when the build is configured: an include
# that crosses the house's layering stops the configure instead of waiting for a review.
#
# A module is a folder of headers as the includes name it ("nvtool", "diaglib/api"). A file below
# one of a rule's DIRS may include the headers of its own module and of the modules its rule names
# after MAY_INCLUDE, and of no other module of the house. Standard and system headers are free.
set(LINETOOLS_MODULES
  common platform nvtool diaglib/log diaglib/transport diaglib/commands diaglib/api efstool station
  devicesim)

# linetools_include_rule(<module> DIRS <dir>... MAY_INCLUDE <module>...)
function(linetools_include_rule module)
  cmake_parse_arguments(RULE "" "" "DIRS;MAY_INCLUDE" ${ARGN})
  set(allowed ${module} ${RULE_MAY_INCLUDE})
  foreach(dir ${RULE_DIRS})
    file(GLOB_RECURSE files ${dir}/*.cpp ${dir}/*.hpp)
    foreach(file ${files})
      file(STRINGS ${file} includes REGEX "^#include \"[a-z_]+/")
      foreach(line ${includes})
        string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" path "${line}")
        foreach(other ${LINETOOLS_MODULES})
          if(path MATCHES "^${other}/" AND NOT other IN_LIST allowed)
            file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${file})
            string(JOIN ", " may ${allowed})
            message(FATAL_ERROR "${name} includes ${path}, but ${module} may include only ${may}")
          endif()
        endforeach()
      endforeach()
    endforeach()
  endforeach()
endfunction()
