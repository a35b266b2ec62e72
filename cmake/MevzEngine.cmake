# Which engine does MevCompression's work: libdeflate where it is found (much
# faster for whole buffers), zlib otherwise. Both write and read the same zlib
# format. Sets MEVZ_ENGINE_USED, MEVZ_OTHER_ENGINE (the other engine when both
# are available, built for the tests and benchmarks only, else empty) and
# mevz_use_engine().
set(MEVZ_ENGINE auto CACHE STRING "MevCompression's engine: auto, libdeflate or zlib")
set_property(CACHE MEVZ_ENGINE PROPERTY STRINGS auto libdeflate zlib)

find_package(ZLIB REQUIRED)
if(MINGW)
  # Debian has no libdeflate for mingw-w64: it is built from source, unless
  # the zlib engine is asked for.
  if(NOT MEVZ_ENGINE STREQUAL "zlib")
    include(${CMAKE_CURRENT_LIST_DIR}/LibdeflateSource.cmake)
  endif()
else()
  find_path(MEVZ_LIBDEFLATE_INCLUDE_DIR libdeflate.h)
  find_library(MEVZ_LIBDEFLATE_LIBRARY deflate)
endif()
if(MEVZ_LIBDEFLATE_INCLUDE_DIR AND MEVZ_LIBDEFLATE_LIBRARY)
  set(MEVZ_HAVE_LIBDEFLATE ON)
else()
  set(MEVZ_HAVE_LIBDEFLATE OFF)
endif()

if(MEVZ_ENGINE STREQUAL "auto")
  if(MEVZ_HAVE_LIBDEFLATE)
    set(MEVZ_ENGINE_USED libdeflate)
  else()
    set(MEVZ_ENGINE_USED zlib)
  endif()
elseif(MEVZ_ENGINE STREQUAL "libdeflate")
  if(NOT MEVZ_HAVE_LIBDEFLATE)
    message(FATAL_ERROR "MEVZ_ENGINE=libdeflate, but libdeflate was not found "
                        "(Debian: apt-get install libdeflate-dev)")
  endif()
  set(MEVZ_ENGINE_USED libdeflate)
elseif(MEVZ_ENGINE STREQUAL "zlib")
  set(MEVZ_ENGINE_USED zlib)
else()
  message(FATAL_ERROR "MEVZ_ENGINE must be auto, libdeflate or zlib, not '${MEVZ_ENGINE}'")
endif()

set(MEVZ_OTHER_ENGINE "")
if(MEVZ_HAVE_LIBDEFLATE)
  if(MEVZ_ENGINE_USED STREQUAL "libdeflate")
    set(MEVZ_OTHER_ENGINE zlib)
  else()
    set(MEVZ_OTHER_ENGINE libdeflate)
  endif()
endif()
message(STATUS "MevCompression engine: ${MEVZ_ENGINE_USED} (MEVZ_ENGINE=${MEVZ_ENGINE})")

# Adds the engine's source and library to `target`, which already has the
# library's common source (compression/src/MevCompression.c).
function(mevz_use_engine target engine)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/compression/src/engine_${engine}.c)
  target_compile_definitions(${target} PRIVATE MEVZ_ENGINE=mevz_${engine}_engine)
  if(engine STREQUAL "libdeflate")
    # Its pool goes back when the library is unloaded, the way each OS allows.
    if(WIN32)
      set(os windows)
    else()
      set(os posix)
    endif()
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/compression/src/${os}/unload.c)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/compression/src)
    target_include_directories(${target} PRIVATE ${MEVZ_LIBDEFLATE_INCLUDE_DIR})
    target_link_libraries(${target} PRIVATE ${MEVZ_LIBDEFLATE_LIBRARY})
  else()
    target_link_libraries(${target} PRIVATE ZLIB::ZLIB)
  endif()
endfunction()
