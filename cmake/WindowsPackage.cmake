# The Windows release zip (cpack -G ZIP), one per target:
#   bin/      SpawnBench.exe, MevCompression.dll
#   include/  MevCompression.h
#   lib/      libMevCompression.dll.a (MinGW), MevCompression.lib (Visual Studio)
#   stand-in/ the stand-in VORNCoreExTest.exe and a demo VORNCoreExTest.ini
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

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VornTools)
set(CPACK_PACKAGE_VENDOR VORN)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SpawnBench and MevCompression for Windows")
# Symbol tables and any DWARF debug information are of no use to Windows users.
set(CPACK_STRIP_FILES ON)
include(CPack)
