# Include roots: how a target gets to include another folder's headers.
#
#   qs_include_root(<target> <PUBLIC|PRIVATE|INTERFACE> <path>...)
#
# gives <target> an include folder of its own in the build tree,
# ${PROJECT_BINARY_DIR}/include-roots/<target>, holding for each <path> (a
# folder or file of the source tree, such as streamio or tools/sim) a
# symbolic link of the same relative name to it, and adds that folder to the
# target's include directories with the given scope. Sources keep including
# by the path from the source tree's top ("streamio/reader.h"), and a target
# finds only the paths it or what it links was given: there is no include
# directory with the whole source tree on it, so a layer that includes a
# layer above it (or anything it does not link) does not compile.
#
# Where a symbolic link cannot be made (a Windows host without the right to
# make them), the folder gets a forwarding header for each header instead
# (#include of the original by its absolute path), rewritten at configure
# time only when its text changes.
function(qs_include_root target scope)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${target})
  foreach(path ${ARGN})
    set(source ${PROJECT_SOURCE_DIR}/${path})
    set(link ${root}/${path})
    if(NOT EXISTS ${source})
      message(FATAL_ERROR "qs_include_root(${target}): ${source} does not exist")
    endif()
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} points_to)
      if(points_to STREQUAL source)
        continue()
      endif()
      file(REMOVE ${link})
    endif()
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${source} ${link} RESULT failed SYMBOLIC)
    if(failed)
      qs_forwarding_headers(${source} ${link})
    endif()
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# Forwarding headers in <link> for every header under <source> (a folder or
# one file).
function(qs_forwarding_headers source link)
  if(IS_DIRECTORY ${source})
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${source} ${source}/*.h ${source}/*.hpp)
    foreach(header ${headers})
      file(CONFIGURE OUTPUT ${link}/${header} CONTENT "#include \"${source}/${header}\"\n")
    endforeach()
  else()
    file(CONFIGURE OUTPUT ${link} CONTENT "#include \"${source}\"\n")
  endif()
endfunction()
