# libdeflate for mingw-w64, which Debian does not ship: built as a static
# library from Debian's source package, fetched into a cache outside the tree
# by scripts/fetch-source.sh and checked against its .dsc. Defines the target
# mevz_libdeflate and sets MEVZ_LIBDEFLATE_INCLUDE_DIR, MEVZ_LIBDEFLATE_LIBRARY
# and MEVZ_LIBDEFLATE_LICENSE (its COPYING). Stops configure, naming the way
# out, when the source cannot be had: never a quiet fall back to zlib.
execute_process(
  COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fetch-source.sh libdeflate
  RESULT_VARIABLE fetch_status
  OUTPUT_VARIABLE fetch_tarball
  ERROR_VARIABLE fetch_log
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT fetch_status EQUAL 0 OR NOT EXISTS "${fetch_tarball}")
  string(REGEX REPLACE "\n$" "" fetch_log "${fetch_log}")
  string(REGEX REPLACE ".*\n" "" fetch_why "${fetch_log}")
  message(FATAL_ERROR "libdeflate's source could not be fetched (${fetch_why}); "
                      "-DMEVZ_ENGINE=zlib builds the zlib DLL instead")
endif()

# Unpacked afresh whenever the verified tarball changes.
set(unpacked ${CMAKE_BINARY_DIR}/_deps/libdeflate)
file(SHA256 "${fetch_tarball}" tarball_hash)
set(unpacked_hash "")
if(EXISTS ${unpacked}/.sha256)
  file(READ ${unpacked}/.sha256 unpacked_hash)
endif()
if(NOT unpacked_hash STREQUAL tarball_hash)
  file(REMOVE_RECURSE ${unpacked})
  file(ARCHIVE_EXTRACT INPUT "${fetch_tarball}" DESTINATION ${unpacked})
  file(WRITE ${unpacked}/.sha256 "${tarball_hash}")
endif()
file(GLOB libdeflate_root LIST_DIRECTORIES true ${unpacked}/libdeflate-*)
if(NOT EXISTS "${libdeflate_root}/libdeflate.h")
  message(FATAL_ERROR "${fetch_tarball} holds no libdeflate-*/libdeflate.h")
endif()
message(STATUS "libdeflate from ${fetch_tarball}")

file(GLOB_RECURSE libdeflate_sources ${libdeflate_root}/lib/*.c)
add_library(mevz_libdeflate STATIC ${libdeflate_sources})
target_include_directories(mevz_libdeflate PUBLIC ${libdeflate_root})
# Upstream's own flags: it is written to be clean under -Wall, not -Wextra.
target_compile_options(mevz_libdeflate PRIVATE -fomit-frame-pointer -Wno-extra)
target_compile_definitions(mevz_libdeflate PRIVATE _ANSI_SOURCE)
set_target_properties(mevz_libdeflate PROPERTIES C_VISIBILITY_PRESET hidden C_STANDARD 99)

set(MEVZ_LIBDEFLATE_INCLUDE_DIR ${libdeflate_root})
set(MEVZ_LIBDEFLATE_LIBRARY mevz_libdeflate)
set(MEVZ_LIBDEFLATE_LICENSE ${libdeflate_root}/COPYING)
