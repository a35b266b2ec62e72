# The Windows release zip (cpack -G ZIP), one per target:
#   bin/      SpawnBench.exe, MevCompression.dll
#   include/  MevCompression.h
#   lib/      libMevCompression.dll.a (MinGW), MevCompression.lib (Visual Studio)
#   stand-in/ the stand-in VORNCoreExTest.exe and a demo VORNCoreExTest.ini
#   licenses/ the licence texts of what the binaries carry: zlib, libdeflate,
#             mingw-w64's runtime and winpthreads
#   README.txt
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VORN_WINDOWS_BITS 64)
  set(VORN_WINDOWS_CPU x64)
else()
  set(VORN_WINDOWS_BITS 32)
  set(VORN_WINDOWS_CPU x86)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/WindowsReadme.txt.in
  ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/examples/VORNCoreExTest.ini DESTINATION stand-in)

# The binaries carry zlib, and MevCompression.dll libdeflate: both licences
# ask for their notice to go with them. zlib's is the opening comment of
# zlib.h.
file(READ ${ZLIB_INCLUDE_DIR}/zlib.h zlib_header LIMIT 4096)
string(REGEX MATCH "/\\*.*Mark Adler\n[^\n]*\n[^\n]*\n" zlib_notice "${zlib_header}")
if(NOT zlib_notice MATCHES "Permission is granted")
  message(FATAL_ERROR "no licence notice at the top of ${ZLIB_INCLUDE_DIR}/zlib.h")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/licenses/zlib.txt "${zlib_notice}")
install(FILES ${CMAKE_BINARY_DIR}/licenses/zlib.txt DESTINATION licenses)
if(MEVZ_ENGINE_USED STREQUAL "libdeflate")
  install(FILES ${MEVZ_LIBDEFLATE_LICENSE} DESTINATION licenses RENAME libdeflate.txt)
endif()
# -static links mingw-w64's runtime (ZPL and others) and its winpthreads
# (MIT) into every binary; their notices come from Debian's copyright file of
# the target's mingw-w64 package. GCC's own runtime (libgcc, libstdc++) comes
# under the GCC Runtime Library Exception, which asks for no notice.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(mingw_package mingw-w64-x86-64-dev)
else()
  set(mingw_package mingw-w64-i686-dev)
endif()
set(mingw_copyright /usr/share/doc/${mingw_package}/copyright)
if(NOT EXISTS ${mingw_copyright})
  message(FATAL_ERROR "no ${mingw_copyright} for the zip's licences (apt-get install ${mingw_package})")
endif()
file(READ ${mingw_copyright} mingw_notice)
if(NOT mingw_notice MATCHES "Files: mingw-w64-libraries/winpthreads/")
  message(FATAL_ERROR "${mingw_copyright} names no licence of winpthreads")
endif()
install(FILES ${mingw_copyright} DESTINATION licenses RENAME mingw-w64.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VornTools)
set(CPACK_PACKAGE_VENDOR VORN)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SpawnBench and MevCompression for Windows")
# Symbol tables and any DWARF debug information are of no use to Windows users.
set(CPACK_STRIP_FILES ON)
include(CPack)
