// A DLL named jvm.dll that is no Java runtime: it has no JNI_CreateJavaVM. It still records
// UNLOAD, so a test can see that the host frees it.
#include "standin_common.h"

extern "C" __declspec(dllexport) int StandinNotAJavaRuntime(void) {
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        standin::StartModule(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        standin::Record("UNLOAD", nullptr);
        standin::StopModule();
    }
    return TRUE;
}
