// The disk object of a mounted image: a stack of up to three sector devices
// (base image, update file "%s_%02d.Upd", write-back file "*.Fix") behind a
// byte-granular interface whose byte 0 is disk sector 0 (device sector 1).
//
// Typical use:
//   _VROH_MOUNT_RW* disk = new _VROH_MOUNT_RW;
//   int code = disk->OpenChain(imagePath, fixPathOrEmpty, writeMode);
//   if (code < 0) { delete disk; ... }
//   int type = disk->BaseType();                  // 0..9
//   disk->ReadBytes(nullptr, byteOffset, buf, n); // bytes done, or -n
//   disk->WriteBytes(nullptr, byteOffset, buf, n);
//   disk->Flush();
//   delete disk;                                   // closes the layers
#pragma once
#include "image/device/AlignRw.h"
#include "image/stack/DiskBlockCache.h"
#include "image/stack/RwClass.h"

// Three layers, in order base, update, write-back.
class _VROH_DISK_COMBO {
 public:
  enum { LAYER_BASE = 0, LAYER_UPDATE = 1, LAYER_FIX = 2, LAYER_COUNT = 3 };
  _VROH_RW_CLASS m_Layers[LAYER_COUNT];

  _VROH_RW_CLASS& Base() { return m_Layers[LAYER_BASE]; }
  _VROH_RW_CLASS& Update() { return m_Layers[LAYER_UPDATE]; }
  _VROH_RW_CLASS& Fix() { return m_Layers[LAYER_FIX]; }

  // Once a write to the set failed, the set takes no more writes or
  // flushes (every open layer stops, and no update file is made), so the
  // files hold what a process that died at that write leaves: a volume
  // whose metadata a later write would have half updated stays whole.
  // Until the set is opened again.
  void StopWrites();
  bool WritesStopped() const { return m_bWritesStopped; }
  bool HasWritableLayer() const;
  bool m_bWritesStopped = false;
};

// Results of OpenChain; the negative ones are failures.
enum {
  VRO_CHAIN_NO_IMAGE = -1,  // the image cannot be opened
  // An own sparse base:
  VRO_CHAIN_SPARSE_FIX = 10,  // with its write-back file
  VRO_CHAIN_SPARSE_FIX_FAILED = -10,
  VRO_CHAIN_SPARSE_READ_ONLY = 11,
  VRO_CHAIN_SPARSE_BASE_WRITES = 12,  // the base takes the writes itself
  VRO_CHAIN_SPARSE_BASE_FAILED = -12,
  // Update files made against the base lie beside it: a write into it
  // would unlink them.
  VRO_CHAIN_SPARSE_BASE_HAS_UPDATES = -13,
  VRO_CHAIN_SPARSE_UPDATES = 13,  // writes go to update files made on demand
  // The image was an update file, mounted over its base:
  VRO_CHAIN_UPDATE = 22,
  VRO_CHAIN_UPDATE_NO_BASE = -4,
  VRO_CHAIN_UPDATE_BASE_FAILED = -20,
  VRO_CHAIN_UPDATE_FAILED = -21,
  VRO_CHAIN_UPDATE_FIX_FAILED = -22,
  // Another base:
  VRO_CHAIN_OTHER_FIX = 2,
  VRO_CHAIN_OTHER_FIX_FAILED = -2,
  VRO_CHAIN_OTHER = 3,
  VRO_CHAIN_OTHER_FAILED = -3,
  // A base that an earlier version's merge left unfinished (ImageMerge.h):
  // only that merge may open it.
  VRO_CHAIN_MERGE_UNFINISHED = -30,
};

// Write modes (the mode of OpenChain)
enum {
  VRO_WRITE_NONE = 0,     // everything read-only
  VRO_WRITE_OVERLAY = 1,  // the base is never written: write-back file, else update files
  VRO_WRITE_BASE = 2      // the base is opened read-write
};

class _VROH_MOUNT_RW : public _VROH_DISK_COMBO,
                       public _VROH_ALIGN_RW,
                       private CDiskBlockCache::Backing {
 public:
  // lent: a layer set that belongs to the caller and is used instead of
  // the object's own (it is not closed by this object).
  explicit _VROH_MOUNT_RW(_VROH_DISK_COMBO* lent = nullptr);
  ~_VROH_MOUNT_RW() override;

  // Sector I/O through the layer set (null = the in-use set). Reads take
  // each sector from the highest layer that holds it; writes go to the
  // write-back layer, else a (new) update file, else the base. A write
  // that fails on a writable layer stops the set's writes. Small writes to
  // the object's own set wait in its blocks (DiskBlockCache.h) until
  // Flush, EndCommand or CloseLayers: whoever works on the layer files
  // themselves (their capacity, a merge) flushes first.
  int64_t Write(void* layers, uint64_t sector, const void* buf, uint32_t bytes) override;
  int64_t Read(void* layers, uint64_t sector, void* buf, uint32_t bytes) override;
  // Byte-granular I/O (ReadBytes/WriteBytes of _VROH_ALIGN_RW with a null
  // layer set): byte 0 is disk sector 0.

  // Opens image (with its update chain when image is an update file) and
  // the write-back file fixPath (null or empty: none). One of the
  // VRO_CHAIN_ codes above.
  int OpenChain(const wchar_t* image, const wchar_t* fixPath, int mode);
  // Opens the write-back layer over parent (mode 2 when writable, else 0).
  // 0 empty path, 1 done, -1 failed (parent is closed then).
  int OpenFixOverlay(const wchar_t* path, int writable, _VROH_RW_CLASS* parent);
  // Opens the next update file when a base path is recorded. 1 open, -1 not.
  int CreateNextUpdate();

  // Flushes the waiting blocks and every open layer (headers, tables,
  // pending writes). 0, or -1 when a layer failed (writes stop then) or
  // writes were stopped.
  int Flush();
  // Closes the own layers (a lent set is left alone). 0, or -1 when a
  // layer's final flush failed.
  int CloseLayers();
  // Ends the command that the writes since the open (or the last end)
  // make. keep: every writable layer commits (its writes reach the file and
  // the disk, its journal goes, a file the command made takes its name);
  // when that fails, or without keep, every layer takes its writes back and
  // is closed. 0 kept, -1 taken back (or the roll back failed too: the
  // journals stay for the next open).
  int EndCommand(bool keep);
  // The blocks or a layer hold writes no command has kept yet.
  bool HasUncommittedWrites() const;
  // How many commands EndCommand ended.
  uint64_t CommandsEnded() const { return m_nCommandsEnded; }
  // The disk bytes [pos, pos + count) need no old bytes kept for the
  // command under way (DiskIoUnkeptFn): the whole sectors among them are
  // passed to the layer the writes go to.
  void MarkUnkept(uint64_t pos, uint64_t count);

  _VROH_DISK_COMBO* Layers() { return m_pLayers; }
  // Type code of the base layer (-1 when closed).
  int BaseType();
  // Disk size in bytes (base capacity less the header slot).
  uint64_t DiskBytes();
  // Path that names update files; empty unless an own sparse base was
  // opened with write mode 1.
  const wchar_t* BasePath() const { return m_BasePath; }

  _VROH_DISK_COMBO* m_pLayers;
  bool m_bLent;
  wchar_t m_BasePath[MAX_PATH];

 private:
  int64_t ReadLayers(_VROH_DISK_COMBO* L, uint64_t sector, void* buf, uint32_t bytes);
  int64_t WriteLayers(_VROH_DISK_COMBO* L, uint64_t sector, const void* buf, uint32_t bytes);
  int64_t ReadThrough(uint64_t sector, void* buf, uint32_t bytes) override;
  int64_t WriteThrough(uint64_t sector, const void* buf, uint32_t bytes) override;
  // The blocks serve the object's own layers (a lent set is also reached
  // by its owner, around this object) when they can be written.
  bool UsesBlocks(void* layers);

  uint64_t m_nCommandsEnded = 0;
  CDiskBlockCache m_blocks;
};

// The device-block routines of a disk object (_VROH_MOUNT_RW): byte 0 is
// disk sector 0; bytes done, 0 or negative on failure.
int ReadDiskObjectBytes(void* owner, unsigned long long offset, void* buffer, unsigned int count);
int WriteDiskObjectBytes(void* owner, unsigned long long offset, const void* buffer,
                         unsigned int count);
// The journal routines of a disk object's device block (DiskIoBlock.h).
int DiskObjectCommand(void* journal, unsigned long long* ended);
void MarkDiskObjectUnkept(void* journal, unsigned long long offset, unsigned long long count);
