/* Windows side of the library's unload hook: DllMain on FreeLibrary, which
   alone calls it with `reserved` null; not at process exit. */
#include <windows.h>

#include "mevz_unload.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_DETACH && reserved == NULL) mevz_libdeflate_release();
    return TRUE;
}
