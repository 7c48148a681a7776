// The host entry after relocation: the mingw runtime's start-up for a copy of
// the program that a host mapped, and the version number it reports.
#include "app/HostEntry.h"

#include "app/ProgramModule.h"
#include "common/Privilege.h"

// The start-up pieces of the mingw runtime that the program links (crt2u.o,
// libmingw32). The process entry runs them before wWinMain; a host-mapped
// copy never passes through that entry, so Initialize runs them itself.
typedef int(__cdecl* CInitializer)(void);
typedef void(__cdecl* CppInitializer)(void);
extern "C" {
extern CInitializer __xi_a[], __xi_z[];
extern CppInitializer __xc_a[], __xc_z[];
extern const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback;
extern volatile unsigned int __native_startup_state;
void _pei386_runtime_relocator(void);
void __main(void);
}

namespace {

enum { kStartupNone = 0, kStartupRunning = 1, kStartupDone = 2 };

// Runs the runtime's start-up once per copy. A copy that already started
// (the running program itself, or a second Initialize) is left as it is.
// Left out on purpose: the process-wide parts of the start-up (unhandled-
// exception filter, invalid-parameter handler, FPU reset) belong to the host.
BOOL StartRuntime(HMODULE module) {
  if (__native_startup_state != kStartupNone) return __native_startup_state == kStartupDone;
  __native_startup_state = kStartupRunning;
  // Data that the code reaches through auto-imported references first: every
  // later step may read it.
  _pei386_runtime_relocator();
  // Per-thread data of the runtime: its TLS callbacks set up the thread-exit
  // key destructors for the process and the current thread.
  if (__dyn_tls_init_callback) {
    __dyn_tls_init_callback(module, DLL_PROCESS_ATTACH, nullptr);
    __dyn_tls_init_callback(module, DLL_THREAD_ATTACH, nullptr);
  }
  // C initialisers (application type, file modes), then C++ ones (argument
  // and environment vectors), then the static constructors.
  for (CInitializer* f = __xi_a; f < __xi_z; ++f) {
    if (*f && (*f)() != 0) {
      __native_startup_state = kStartupNone;
      return FALSE;
    }
  }
  for (CppInitializer* f = __xc_a; f < __xc_z; ++f)
    if (*f) (*f)();
  __main();
  __native_startup_state = kStartupDone;
  return TRUE;
}

BOOL CALLBACK TakeFirstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  *reinterpret_cast<WORD*>(found) = language;
  return FALSE;
}

}  // namespace

bool IsProgramRuntimeStarted() {
  // Where this code runs, against the absolute address of the same place
  // as the image holds it: the two differ in a copy mapped at another base
  // and not yet relocated, whose global addresses all point elsewhere (the
  // runtime's state is reached through such an address on x86_64 too, and
  // Wine's loader leaves an executable it loads as a library unrelocated).
  void* here;
  void* linked;
#if defined(__i386__)
  __asm__ volatile("call 1f\n1:\tpopl %0\n\tmovl $1b, %1" : "=&r"(here), "=r"(linked));
#else
  __asm__ volatile("leaq 1f(%%rip), %0\n1:\tmovabsq $1b, %1" : "=&r"(here), "=r"(linked));
#endif
  if (here != linked) return false;
  return __native_startup_state == kStartupDone;
}

DWORD GetModuleVersionNumber(HMODULE module) {
  // The version block is looked up in the language it was written in: the
  // language-neutral search differs between systems (Wine prefers the thread
  // UI language), and a host-mapped copy has no file name to ask the version
  // functions about.
  WORD language = 0xFFFF;
  EnumResourceLanguagesW(module, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), TakeFirstLanguage,
                         reinterpret_cast<LONG_PTR>(&language));
  if (language == 0xFFFF) return 0;
  HRSRC found = FindResourceExW(module, RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), language);
  if (!found) return 0;
  DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const BYTE* block = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
  // VS_VERSIONINFO: length, value length, type, L"VS_VERSION_INFO", padding
  // to 32 bits, then the fixed record.
  const DWORD fixedOffset = (6 + sizeof L"VS_VERSION_INFO" + 3) & ~3u;
  if (!block || size < fixedOffset + sizeof(VS_FIXEDFILEINFO)) return 0;
  const WORD* header = reinterpret_cast<const WORD*>(block);
  if (header[1] < sizeof(VS_FIXEDFILEINFO) ||
      memcmp(block + 6, L"VS_VERSION_INFO", sizeof L"VS_VERSION_INFO") != 0)
    return 0;
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, block + fixedOffset, sizeof fixed);
  if (fixed.dwSignature != 0xFEEF04BD) return 0;
  return (fixed.dwFileVersionMS & 0xFFFF) * 10000 + (fixed.dwFileVersionLS >> 16);
}

DWORD StartHostedRuntime(HMODULE module) {
  if (!StartRuntime(module)) return 0;
  SetProgramModule(module);
  EnablePrivilege(L"SeCreateSymbolicLinkPrivilege");
  return GetModuleVersionNumber(module);
}
