// One opened disk or image file as a sector device: detects what the path
// holds (type codes below), builds the matching back end and serialises
// every operation on the object.
#pragma once
#include "image/device/SectorDevice.h"
#include <string>
#include <vector>

class _VROH_OBJ_IMG;
class CFileJournal;

// This process holds the file writable (a layer open for writing).
bool VroHeldWritableHere(const wchar_t* path);

// Open modes
enum {
  VRO_MODE_READ = 0,        // read-only
  VRO_MODE_WRITE = 1,       // read-write of an existing file
  VRO_MODE_CREATE = 2,      // read-write, created when missing
  VRO_MODE_CREATE_KEEP = 3  // as 2, the identity is not renewed
};

class _VROH_RW_CLASS {
 public:
  _VROH_RW_CLASS();
  virtual ~_VROH_RW_CLASS();

  // Both fail once writes were stopped.
  virtual int64_t Flush();
  // sector = device sector (0 is the header slot)
  virtual int64_t Write(uint64_t sector, const void* buf, uint32_t bytes);
  virtual int64_t Read(uint64_t sector, void* buf, uint32_t bytes);
  // Reads the file itself at that sector, past any back end.
  virtual int64_t RawRead(uint64_t sector, void* buf, uint32_t bytes);

  // Returns the back end, or null (object closed) on failure.
  _VROH_BASE_RW* Open(const wchar_t* path, int mode);
  // Open, keeping the object only when it is an own sparse image (type 6).
  _VROH_BASE_RW* OpenSparse(const wchar_t* path, int mode);
  // Flushes (a writable file to the disk itself), releases the back end and
  // container, closes the handle. What the layer wrote since it was opened
  // (or last committed) is one command: kept whole when everything
  // reached the file (Commit), else rolled back. 0, or -1 when the final
  // flush (headers, map, pending writes) or the close failed, or writes were
  // stopped: the command's changes are then not in the file.
  int Close();
  // Ends a command and keeps what it wrote: everything reaches the file and
  // the disk, the journal goes, and a file the command made takes its name.
  // 0, or -1 (writes stop; Close then rolls the command back).
  int Commit();
  // Ends a command and takes back what it wrote (the file as it was before
  // it; a file the command made is removed). The layer is closed: its map
  // and header in memory would no longer match the file. 0, or -1 when the
  // roll back failed (its journal stays for the next open).
  int RollBack();
  // Everything written reaches the file and the disk, and its last-write
  // time stands past the one before the command (CFileJournal::Settle), as
  // Commit leaves them; the command goes on. 0, or -1 (writes stop).
  int Settle();
  // Something was written since the open or the last Commit.
  bool HasUncommittedWrites() const;
  // The device sectors [sector, sector + bytes / 512) need no old bytes in
  // the journal of the command under way (DiskIoUnkeptFn): passed on where
  // the back end keeps them in file order; nothing is done elsewhere.
  void MarkUnkept(uint64_t sector, uint64_t bytes);
  // After a write that failed: the layer takes no more writes or flushes
  // until it is closed, and its close writes nothing, so the file keeps
  // what it held when the failure came (what a process that died there
  // leaves, which the write order of the own format keeps consistent).
  void StopWrites();
  bool WritesStopped() const { return m_bWritesStopped; }
  // The next creating open makes the file anew, even when one is there;
  // the new one replaces it at Commit.
  void MakeAnewOnOpen() { m_bReplace = true; }
  // A file made by this open (under a name of its own) takes its name only
  // once a write reached it: an open, a read, or a command that writes
  // nothing leaves no new file, and the file it is to replace as it was.
  void MakeOnlyForWrites() { m_bMadeForWrites = true; }
  // The file it replaces is discarded when it takes its name: the notice
  // kind (OverlayNotice.h) that then tells so; 0 when it replaces none.
  void DiscardsAtCommit(int notice) { m_nDiscardNotice = notice; }
  int DiscardPending() const { return m_TempPath.empty() ? 0 : m_nDiscardNotice; }
  bool IsWritable() const { return IsOpen() && m_nMode != VRO_MODE_READ; }
  // Every open keeps other writers out of the file for as long as it is
  // open, a read open too (what it reads does not change under it); other
  // readers go on beside a read open, none beside a writable one. Within
  // this process a read open goes on beside a writable open of the file
  // (the main window lists, sizes and copies what it writes).

  // Overlay link of this layer to parent: 0 no open parent, 1 linked, 2
  // this records no link (another writer's file), -1 made for another
  // image (over an image of the other kind, one made anew at its path, a
  // disk of another size), -2 this not a type 6 overlay over a type 6
  // parent, -3 made for an earlier state of parent, -4 merged into parent
  // already.
  int CheckParent(_VROH_RW_CLASS* parent);
  // Opens path as an overlay over parent (mode 0, 1, or 2 = create).
  // 1 done, -1 not an own sparse file, 0 cannot be opened.
  int OpenOverlay(const wchar_t* path, int mode, _VROH_RW_CLASS* parent);
  // Makes this type 6 layer an overlay (kind 1) of parent: a new file takes
  // the parent's capacity and, when writable over an own sparse parent,
  // its creation time and generation + 1; the parent identity is set to
  // the parent's own. Unallocated sectors read as not held afterwards.
  void LinkOverlay(_VROH_RW_CLASS* parent, bool isNew, bool writable);

  // Creates an image of size MiB and kind (6 sparse, 1..5 header with
  // plain data). 0 done (or an image of that size exists already), -1
  // cannot open for writing, -2 cannot reopen.
  static int Create(const wchar_t* path, uint32_t megabytes, int kind);
  // The image that overlayPath links to, found beside it. Returns path
  // length + 1, minus that when buf is too short, -2 when no file links,
  // -1 when there is no candidate at all.
  static int FindBaseImage(const wchar_t* overlayPath, wchar_t* buf, int length);
  // index-th update file (by number) of basePath that links to it. Length
  // + 1, minus that when buf is missing or short, 0 when there is none.
  static int FindUpdateFile(const wchar_t* basePath, int index, wchar_t* buf, int length);
  // The update files beside basePath (by number) made against the image
  // whose own identity is ownId.
  static std::vector<std::wstring> UpdateFilesOf(const wchar_t* basePath, uint64_t ownId);
  // A file that another program holds against writers (an image it
  // writes or reads): a command that would replace it keeps out, and this
  // names the file on a line. False when the file is not there or can be
  // written.
  static bool HeldByAnotherProgram(const wchar_t* path);
  // Largest NN of basePath_NN.Upd files present, and of basePath_NN.Upd.new
  // files (one another program is making); 0 when none.
  static int HighestUpdateNumber(const wchar_t* basePath);

  bool IsOpen() const { return m_hFile != nullptr; }
  // A dynamic VHD opened for writing takes new blocks from now on (the
  // merge of a write-back file into it); any other layer is unchanged.
  void AllowNewBlocks();
  // Sparse image header (sectors 0 and 1 in memory) or null.
  uint8_t* Header() const;
  uint32_t Kind() const;
  // Unallocated sectors of a type 6 layer read as zeros (1) or not held (0).
  void SetZeroFill(int zeroFill);
  _VROH_OBJ_IMG* Container() const { return m_pContainer; }
  const std::wstring& Path() const { return m_Path; }

  CRITICAL_SECTION m_Lock;
  HANDLE m_hFile = nullptr;
  int m_bNew = 0;
  int m_nType = 0;
  int m_nDiskNumber = -1;
  uint64_t m_nCapacity = 0;  // device sectors, header slot included
  _VROH_BASE_RW* m_pBackEnd = nullptr;
  _VROH_OBJ_IMG* m_pContainer = nullptr;  // type 6 only
  int m_nMode = 0;
  int m_bEmptyAtOpen = 0;  // the file had zero length at open
  std::wstring m_Path;

 private:
  bool m_bWritesStopped = false;
  // The rollback journal of a writable file that existed before the
  // command; a file the command makes lies under m_TempPath until Commit.
  CFileJournal* m_pJournal = nullptr;
  std::wstring m_TempPath;
  // The next creating open makes the file anew even when one is there
  // (the one there goes at Commit).
  bool m_bReplace = false;
  bool m_bMadeForWrites = false;
  bool m_bWritten = false;  // Write was asked since the open
  int m_nDiscardNotice = 0;
  // A made file that takes its name at Commit.
  bool MakingForWrites() const { return !m_TempPath.empty() && m_bMadeForWrites; }
  // The path this object holds writable in this process's list (Close
  // takes it out).
  std::wstring m_HeldPath;
  // The share mode of an open of path in mode.
  static DWORD ShareFor(const wchar_t* path, int mode);
  // Puts the path this object opened writable in this process's list.
  void NoteHeld(const wchar_t* path);
  _VROH_BASE_RW* Detect(const wchar_t* path, int mode, bool deviceHandle);
  // Opens an image file: a command a journal beside it names is rolled
  // back first; a writable file gets its journal, a missing one made by a
  // creating open a name of its own. INVALID_HANDLE_VALUE on failure.
  HANDLE OpenFile(const wchar_t* path, int mode, DWORD access, DWORD share);
  // Keeps (Commit's file steps) or takes back the command: true when that
  // was done (a command that could not be kept is taken back, and false).
  bool EndFile(bool keep);
  // Lets go of the journal and the handle; a made file not kept goes.
  bool ReleaseFile();
};
