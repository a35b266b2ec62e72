# Builds for 32-bit (i386) Linux with the host's gcc in -m32 mode (Debian's
# g++-multilib), against the i386 multiarch packages of zlib, libdeflate and
# GoogleTest. The programs run natively, so this is no cross build: every
# test, the fleets' included, runs as on x86-64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
