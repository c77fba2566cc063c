// What a DLL of ours that links OpenSSL statically does in its DllMain. The
// static OpenSSL registers nothing with the C runtime (the runtime is the
// process's, and would call into the DLL after it was unloaded), so the DLL
// releases it itself: a thread's OpenSSL state when the thread ends, and the
// whole library when the DLL is unloaded (FreeLibrary). At process exit
// (reserved not null) nothing is freed: the other threads are already gone
// and the memory goes with the process.
#pragma once

#include <windows.h>

#include <openssl/crypto.h>

// True when the DLL is being unloaded while the process goes on.
inline bool dll_unloading(DWORD reason, LPVOID reserved)
{
    return reason == DLL_PROCESS_DETACH && reserved == nullptr;
}

inline void dll_release_openssl(DWORD reason, LPVOID reserved)
{
    if (reason == DLL_THREAD_DETACH)
        OPENSSL_thread_stop();
    else if (dll_unloading(reason, reserved))
        OPENSSL_cleanup();
}
