// The part of the host entry that runs before the image is relocated.
//
// A host that maps the program with a loader of its own calls Initialize at
// an address where every absolute address inside the image is still the one
// the linker chose. Until the relocations are applied this code therefore
// touches no global, no string constant, no jump table and no import of its
// own: names are built on the stack, system calls go through the host's two
// functions, and all of it lives in a section of its own (".vroldr") so the
// tests can prove that no base relocation falls inside it. The file is
// compiled without jump tables, stack protector, block partitioning or
// memset/memcpy pattern calls (see CMakeLists.txt).
#include "app/HostEntry.h"

#define VRO_LOADER __attribute__((section(".vroldr"), noinline))
#define VRO_LOADER_INLINE static inline __attribute__((always_inline))

namespace {

typedef BOOL(WINAPI* VirtualProtectFn)(LPVOID, SIZE_T, DWORD, PDWORD);

const DWORD kPage = 4096;

VRO_LOADER_INLINE BOOL MakeWritable(VirtualProtectFn protect, void* address, SIZE_T size) {
  DWORD old;
  return protect(address, size, PAGE_EXECUTE_READWRITE, &old);
}

VRO_LOADER_INLINE VirtualProtectFn FindVirtualProtect(HostLoadLibraryFn loadLibrary,
                                                      HostGetProcAddressFn getProcAddress) {
  volatile char dll[13];
  dll[0] = 'k';
  dll[1] = 'e';
  dll[2] = 'r';
  dll[3] = 'n';
  dll[4] = 'e';
  dll[5] = 'l';
  dll[6] = '3';
  dll[7] = '2';
  dll[8] = '.';
  dll[9] = 'd';
  dll[10] = 'l';
  dll[11] = 'l';
  dll[12] = 0;
  volatile char fn[15];
  fn[0] = 'V';
  fn[1] = 'i';
  fn[2] = 'r';
  fn[3] = 't';
  fn[4] = 'u';
  fn[5] = 'a';
  fn[6] = 'l';
  fn[7] = 'P';
  fn[8] = 'r';
  fn[9] = 'o';
  fn[10] = 't';
  fn[11] = 'e';
  fn[12] = 'c';
  fn[13] = 't';
  fn[14] = 0;
  HMODULE kernel = loadLibrary(const_cast<const char*>(dll));
  if (!kernel) return nullptr;
  return reinterpret_cast<VirtualProtectFn>(getProcAddress(kernel, const_cast<const char*>(fn)));
}

VRO_LOADER_INLINE BOOL ApplyRelocations(BYTE* base, IMAGE_DATA_DIRECTORY dir, BOOL pe32Plus,
                                        ULONGLONG delta, VirtualProtectFn protect) {
  if (!dir.VirtualAddress || !dir.Size) return TRUE;
  BYTE* p = base + dir.VirtualAddress;
  BYTE* end = p + dir.Size;
  while (p + sizeof(IMAGE_BASE_RELOCATION) <= end) {
    IMAGE_BASE_RELOCATION* block = reinterpret_cast<IMAGE_BASE_RELOCATION*>(p);
    if (block->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION) || block->SizeOfBlock > DWORD(end - p))
      return FALSE;
    BYTE* page = base + block->VirtualAddress;
    // An entry near the end of the page patches bytes in the next one; the
    // last page of the image has none after it.
    if (delta && !MakeWritable(protect, page, 2 * kPage) && !MakeWritable(protect, page, kPage))
      return FALSE;
    WORD* entry = reinterpret_cast<WORD*>(block + 1);
    WORD* last = reinterpret_cast<WORD*>(p + block->SizeOfBlock);
    for (; entry < last && *entry; ++entry) {
      if (!delta) break;
      WORD type = *entry >> 12;
      BYTE* target = page + (*entry & 0xFFF);
      if (pe32Plus && type == IMAGE_REL_BASED_DIR64)
        *reinterpret_cast<ULONGLONG*>(target) += delta;
      else if (!pe32Plus && type == IMAGE_REL_BASED_HIGHLOW)
        *reinterpret_cast<DWORD*>(target) += DWORD(delta);
    }
    p += block->SizeOfBlock;
  }
  return TRUE;
}

VRO_LOADER_INLINE BOOL BindImports(BYTE* base, IMAGE_DATA_DIRECTORY dir, BOOL pe32Plus,
                                   HostLoadLibraryFn loadLibrary,
                                   HostGetProcAddressFn getProcAddress, VirtualProtectFn protect) {
  if (!dir.VirtualAddress || !dir.Size) return FALSE;
  IMAGE_IMPORT_DESCRIPTOR* desc =
      reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
  for (; desc->OriginalFirstThunk || desc->FirstThunk; ++desc) {
    if (!desc->FirstThunk) continue;
    HMODULE library = loadLibrary(reinterpret_cast<const char*>(base + desc->Name));
    if (!library) return FALSE;
    DWORD lookupRva = desc->OriginalFirstThunk ? desc->OriginalFirstThunk : desc->FirstThunk;
    BYTE* lookup = base + lookupRva;
    BYTE* table = base + desc->FirstThunk;
    SIZE_T slot = pe32Plus ? 8 : 4;
    // The whole table, not just its first page: a table may cross a page.
    SIZE_T count = 0;
    while (pe32Plus ? reinterpret_cast<ULONGLONG*>(lookup)[count] != 0
                    : reinterpret_cast<DWORD*>(lookup)[count] != 0)
      ++count;
    if (count && !MakeWritable(protect, table, count * slot)) return FALSE;
    for (SIZE_T i = 0; i < count; ++i) {
      ULONGLONG item =
          pe32Plus ? reinterpret_cast<ULONGLONG*>(lookup)[i] : reinterpret_cast<DWORD*>(lookup)[i];
      BOOL byOrdinal =
          pe32Plus ? (item & IMAGE_ORDINAL_FLAG64) != 0 : (item & IMAGE_ORDINAL_FLAG32) != 0;
      const char* name = byOrdinal ? reinterpret_cast<const char*>(ULONG_PTR(item & 0x7FFFFFFF))
                                   : reinterpret_cast<const char*>(base + DWORD(item) + 2);
      FARPROC address = getProcAddress(library, name);
      if (!address) return FALSE;
      if (pe32Plus)
        reinterpret_cast<ULONGLONG*>(table)[i] = ULONG_PTR(address);
      else
        reinterpret_cast<DWORD*>(table)[i] = DWORD(ULONG_PTR(address));
    }
  }
  return TRUE;
}

}  // namespace

VRO_LOADER BOOL RelocateAndBindImage(BYTE* base, HostLoadLibraryFn loadLibrary,
                                     HostGetProcAddressFn getProcAddress) {
  VirtualProtectFn protect = FindVirtualProtect(loadLibrary, getProcAddress);
  if (!protect) return FALSE;
  IMAGE_DOS_HEADER* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return FALSE;
  IMAGE_NT_HEADERS32* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE) return FALSE;
  if (!MakeWritable(protect, base, kPage)) return FALSE;

  BOOL pe32Plus = nt->FileHeader.Machine == IMAGE_FILE_MACHINE_AMD64;
  ULONGLONG delta;
  IMAGE_DATA_DIRECTORY relocs, imports;
  if (pe32Plus) {
    IMAGE_NT_HEADERS64* nt64 = reinterpret_cast<IMAGE_NT_HEADERS64*>(nt);
    delta = ULONGLONG(ULONG_PTR(base)) - nt64->OptionalHeader.ImageBase;
    relocs = nt64->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    imports = nt64->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  } else {
    delta = DWORD(ULONG_PTR(base) - nt->OptionalHeader.ImageBase);
    relocs = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  }
  if (!ApplyRelocations(base, relocs, pe32Plus, delta, protect)) return FALSE;
  // Record where the image now lies, as the system loader does, so that a
  // second call does not apply the same relocations again.
  if (pe32Plus)
    reinterpret_cast<IMAGE_NT_HEADERS64*>(nt)->OptionalHeader.ImageBase = ULONG_PTR(base);
  else
    nt->OptionalHeader.ImageBase = DWORD(ULONG_PTR(base));
  return BindImports(base, imports, pe32Plus, loadLibrary, getProcAddress, protect);
}

extern "C" VRO_LOADER DWORD WINAPI Initialize(void* moduleBase, HostLoadLibraryFn loadLibrary,
                                              HostGetProcAddressFn getProcAddress) {
  if (!moduleBase || !loadLibrary || !getProcAddress) return 0;
  if (!RelocateAndBindImage(static_cast<BYTE*>(moduleBase), loadLibrary, getProcAddress)) return 0;
  return StartHostedRuntime(static_cast<HMODULE>(moduleBase));
}
