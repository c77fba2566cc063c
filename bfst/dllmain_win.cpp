// Entry of the Windows transfer library: its static OpenSSL is released when
// a thread ends and when the library is unloaded.
#include <dll_release.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    dll_release_openssl(reason, reserved);
    return TRUE;
}
