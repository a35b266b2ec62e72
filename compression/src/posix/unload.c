/* POSIX side of the library's unload hook: a destructor. */
#include "mevz_unload.h"

__attribute__((destructor)) static void release_at_unload(void) { mevz_libdeflate_release(); }
