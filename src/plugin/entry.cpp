// The library entry: registers the script with the hook on load and
// unregisters it on unload. Windows build only.
#include <windows.h>

#include "hook/hook.h"
#include "plugin/script.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH: scriptRegister(module, scriptMain); break;
        case DLL_PROCESS_DETACH: scriptUnregister(module); break;
        default: break;  // thread notifications concern nothing of ours
    }
    return TRUE;
}
