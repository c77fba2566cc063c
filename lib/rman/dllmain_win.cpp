// Entry of the Windows library. Nothing happens on attach or detach: the
// loader lock is held here, and the library's own calls (sbtinit, sbtend)
// set up and release everything it uses.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
