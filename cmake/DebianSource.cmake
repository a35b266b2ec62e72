# Sources that Debian ships no mingw-w64 build of, fetched as Debian source
# packages by scripts/fetch-source.sh (into a cache outside the tree, checked
# against the .dsc) and unpacked into the build folder.

# Sets `root_var` to the unpacked upstream tree of `package`. When the source
# cannot be had, configure stops with one line that says why and `way_out`.
function(vorn_debian_source package root_var way_out)
  execute_process(
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fetch-source.sh ${package}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE tarball
    ERROR_VARIABLE log
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT EXISTS "${tarball}")
    string(REGEX REPLACE "\n$" "" log "${log}")
    string(REGEX REPLACE ".*\n" "" why "${log}")
    message(FATAL_ERROR "${package}'s source could not be fetched (${why}); ${way_out}")
  endif()

  # Unpacked afresh whenever the verified tarball changes.
  set(unpacked ${CMAKE_BINARY_DIR}/_deps/${package})
  file(SHA256 "${tarball}" hash)
  set(unpacked_hash "")
  if(EXISTS ${unpacked}/.sha256)
    file(READ ${unpacked}/.sha256 unpacked_hash)
  endif()
  if(NOT unpacked_hash STREQUAL hash)
    file(REMOVE_RECURSE ${unpacked})
    file(ARCHIVE_EXTRACT INPUT "${tarball}" DESTINATION ${unpacked})
    file(WRITE ${unpacked}/.sha256 "${hash}")
  endif()
  file(GLOB root LIST_DIRECTORIES true ${unpacked}/*-*)
  list(LENGTH root count)
  if(NOT count EQUAL 1 OR NOT IS_DIRECTORY "${root}")
    message(FATAL_ERROR "${tarball} does not hold one top folder")
  endif()
  message(STATUS "${package} from ${tarball}")
  set(${root_var} ${root} PARENT_SCOPE)
endfunction()
