// Host entry: a host program that maps VroMount.exe into its own process
// (with LoadLibrary or a loader of its own) calls Initialize once before any
// other export. It relocates the mapped copy, binds its imports through the
// host's two functions, starts the runtime for it and returns the program's
// version (b * 10000 + c for file version a.b.c.d), or 0 on failure.
#pragma once
#include <windows.h>

typedef HMODULE(WINAPI* HostLoadLibraryFn)(LPCSTR name);
typedef FARPROC(WINAPI* HostGetProcAddressFn)(HMODULE module, LPCSTR nameOrOrdinal);

extern "C" DWORD WINAPI Initialize(void* moduleBase, HostLoadLibraryFn loadLibrary,
                                   HostGetProcAddressFn getProcAddress);

// The steps behind Initialize, split at the point where the image is
// relocated and bound. RelocateAndBindImage runs before relocation and so
// touches no global data, no string constant and no import of its own.
// Returns 1, or 0 when the image is not a PE image or an import cannot be
// resolved (every import must resolve: a null entry would crash later, far
// from the cause).
BOOL RelocateAndBindImage(BYTE* base, HostLoadLibraryFn loadLibrary,
                          HostGetProcAddressFn getProcAddress);

// After relocation: runs the runtime's start-up for the mapped copy once,
// stores the module handle and returns the version number (0 on failure).
DWORD StartHostedRuntime(HMODULE module);

// True once the program's runtime runs in this copy: started by the process
// entry, or by Initialize for a host. Safe to call in a copy that a host
// mapped or loaded and never initialised (nothing relocated or bound, no
// static object built): each export asks first and, before Initialize,
// returns its failure code without touching anything else.
bool IsProgramRuntimeStarted();

// The version number Initialize reports, from the module's own version
// resource: (FileVersionMS & 0xFFFF) * 10000 + (FileVersionLS >> 16).
// 0 without a version resource.
DWORD GetModuleVersionNumber(HMODULE module);
