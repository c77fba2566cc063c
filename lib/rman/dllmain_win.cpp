// Entry of the Windows library. The loader lock is held here: nothing is
// started or loaded. The library's own calls (sbtinit, sbtend) set up and
// release its sessions; what its static OpenSSL and libxml2 keep beyond them
// is released when a thread ends and when the library is unloaded.
#include <dll_release.h>

#include <libxml/parser.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (dll_unloading(reason, reserved))
        xmlCleanupParser();  // this copy of libxml2 is the library's own
    dll_release_openssl(reason, reserved);
    return TRUE;
}
