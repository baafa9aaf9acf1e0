// The library's entry points: register the script with the hook on load and
// unregister it on unload. Windows build only.
#include <windows.h>

#include "hook/hook.h"
#include "plugin/script.h"

// The runtime's own entry point: constructs and destroys the statics and calls DllMain.
extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH: scriptRegister(module, plugin::scriptMain); break;
        case DLL_PROCESS_DETACH: scriptUnregister(module); break;
        default: break;  // thread notifications concern nothing of ours
    }
    return TRUE;
}

// The entry point the linker gives the DLL. When the process ends, Windows
// has already ended every other thread, and a lock one of them held stays
// held: the first wait on it ends the process there, before the detach of
// the DLLs after this one. So at process exit the plug-in unregisters, as the
// hook expects, and leaves the C runtime alone: no destructor, no fclose, no
// free. Every log line is flushed already, and the system closes the file.
// FreeLibrary (no reserved argument) and everything else go the usual way.
extern "C" BOOL WINAPI pluginEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        scriptUnregister(module);
        return TRUE;
    }
    return DllMainCRTStartup(module, reason, reserved);
}
