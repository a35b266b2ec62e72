# libdeflate for mingw-w64, built as a static library from Debian's source
# package. Defines the target mevz_libdeflate and sets
# MEVZ_LIBDEFLATE_INCLUDE_DIR, MEVZ_LIBDEFLATE_LIBRARY and
# MEVZ_LIBDEFLATE_LICENSE. Never a quiet fall back to zlib.
include(${CMAKE_CURRENT_LIST_DIR}/DebianSource.cmake)
vorn_debian_source(libdeflate libdeflate_root
                   "-DMEVZ_ENGINE=zlib builds the zlib DLL instead")
if(NOT EXISTS "${libdeflate_root}/libdeflate.h")
  message(FATAL_ERROR "${libdeflate_root} holds no libdeflate.h")
endif()

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
