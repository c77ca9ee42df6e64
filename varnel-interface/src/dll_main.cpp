// The DLL's entry point. The library keeps no per-process or per-thread state,
// so every attach and detach is accepted and nothing else is done.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
