/* The exports are minizip's own functions, named in unzip_dll.def and pulled
   from the static library; this unit only gives the DLL its entry point. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
