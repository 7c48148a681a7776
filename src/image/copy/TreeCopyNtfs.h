// Streamed data of one NTFS file for the tree copies: the inode and its
// unnamed $DATA stay open for the whole copy, so a file costs one path
// lookup however many chunks it takes. Free of the library's and Win32's
// headers; results are byte counts or 0, else minus an errno value.
#pragma once

struct _ntfs_volume;
struct TreeCopyNtfsFile;

// Opens the unnamed data of an existing file; null with *err (an errno),
// EOPNOTSUPP for a file whose content is held elsewhere (WOF, dedup).
TreeCopyNtfsFile* TreeCopyNtfsOpen(struct _ntfs_volume* vol, const wchar_t* path, bool write,
                                   int* err);
// The same for a name inside the folder of that MFT record number (as
// TreeCopyNtfsFolderId gives it): no walk from the root.
TreeCopyNtfsFile* TreeCopyNtfsOpenIn(struct _ntfs_volume* vol, long long folder,
                                     const wchar_t* name, bool write, int* err);
long long TreeCopyNtfsSize(TreeCopyNtfsFile* file);
// Last-write time (FILETIME units) and attribute bits of the open file.
unsigned long long TreeCopyNtfsLastWrite(TreeCopyNtfsFile* file);
unsigned long TreeCopyNtfsAttributes(TreeCopyNtfsFile* file);
// Reads up to count bytes at offset (cut at the end of the data).
long long TreeCopyNtfsRead(TreeCopyNtfsFile* file, long long offset, void* buffer, long long count);
// Writes all count bytes at offset or fails.
long long TreeCopyNtfsWrite(TreeCopyNtfsFile* file, long long offset, const void* buffer,
                            long long count);
// The first stored byte at or after offset (holes of sparse data are not
// stored; they read as zeros) and in *end the end of that stored range; the
// data size when nothing stored follows. Minus errno on failure.
long long TreeCopyNtfsNextStored(TreeCopyNtfsFile* file, long long offset, long long* end);
// The MFT record number of a path (a folder met twice in one walk is a
// cycle); minus errno on failure.
long long TreeCopyNtfsFolderId(struct _ntfs_volume* vol, const wchar_t* path);
// Sets the data size up front so that the clusters are found in one go.
int TreeCopyNtfsSetSize(TreeCopyNtfsFile* file, long long size);
// Finishes (compressed data is flushed), gives the file the last-write time
// when one is given (FILETIME units, 0 none) and closes; 0 or minus errno.
int TreeCopyNtfsClose(TreeCopyNtfsFile* file, unsigned long long lastWrite = 0);
// Free bytes as the library keeps them; count asks it to scan the bitmap
// first. Minus errno on failure.
long long TreeCopyNtfsFreeBytes(struct _ntfs_volume* vol, bool count);
// Whether a file of size bytes written at path finds room (VolumeFiles::
// RoomFor): the free clusters and those of the data of the file at path,
// which a replace gives back unless another name of it keeps them, against
// the file's clusters; data the file's record may hold counts none. 1 fits,
// 0 not (*missing the bytes lacking), -1 unknown. count as above.
int TreeCopyNtfsRoomFor(struct _ntfs_volume* vol, const wchar_t* path, unsigned long long size,
                        bool count, unsigned long long* missing);
