# Source lists are written out, so that a file is built because a list names it, never because
# it happens to lie in a folder. The other way round is checked too: a source file of the folder
# that no list names stops the configure instead of being left out without a word.
function(linetools_require_listed folder)
  file(GLOB present RELATIVE ${folder} ${folder}/*.cpp)
  foreach(file ${present})
    if(NOT file IN_LIST ARGN)
      file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${folder}/${file})
      message(FATAL_ERROR "${name} is in no source list of its folder's CMakeLists.txt")
    endif()
  endforeach()
endfunction()
