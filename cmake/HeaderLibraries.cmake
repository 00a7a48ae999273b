# Header-only libraries from Debian's packages, for linestation and diagsim only (the shipped tools
# use the standard library alone). Each is seen through a folder of the build tree that links to
# its headers alone, so that a cross build for Windows finds the library without also finding the
# Linux system headers beside it in /usr/include.
#
# linetools_header_library(<target> <header folder or file under /usr/include> <package>)
function(linetools_header_library target path package)
  set(source /usr/include/${path})
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${target} needs ${source} (Debian package ${package})")
  endif()
  set(folder ${CMAKE_BINARY_DIR}/header-libraries/${target})
  get_filename_component(parent ${folder}/${path} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${source} ${folder}/${path} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${folder})
endfunction()

# Options of linestation and diagsim: the same rules for both, --opt value and --opt=value.
linetools_header_library(cli11 CLI libcli11-dev)

# The web view of linestation: HTTP over Asio, and the JSON of its API.
linetools_header_library(boost boost libboost-dev)
linetools_header_library(nlohmann nlohmann nlohmann-json3-dev)
