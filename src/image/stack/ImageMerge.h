// Update files of an image: merge into the base, listing, header name.
#pragma once
#include <string>
#include <vector>

// Merges updatePath into basePath and deletes the update file. 1 done
// (progress 100), 0 failed (progress -1, update file kept).
int ConvertImageFile(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress);
// Worker: 1 done; -1 no memory, -2 not an own sparse file, -3 marked
// unusable, -40 no base file, -41 the base has another merge unfinished,
// -52 update does not link to the base, -60 base cannot be opened for
// writing, -70 a read or write failed (nothing deleted), 0 the update file
// could not be deleted.
// The update file stays whole and linked until the base holds every sector
// of it on the disk; only then does the base take its identity and the file
// go. A record beside the base ("<base>.merging") names the file meanwhile:
// a merge cut off anywhere leaves each base sector old or merged, and
// merging the same file again completes it.
int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress);
// 1 when a merge into basePath was cut off (*merged, when given, gets the
// merged file's path), else 0. Nothing but merging that file again may
// write to the base then.
int FindUnfinishedMerge(const wchar_t* basePath, std::wstring* merged);
// Update files that belong to the image, by number. Returns their count,
// -1 when the image cannot be opened; *type gets the base's type code.
int ListImageUpdateFiles(const wchar_t* imagePath, std::vector<std::wstring>* list, int* type);
// Name field of the update layer's (else the base's) own header; empty when
// neither is an own sparse image. 1 done, 0 cannot open.
int GetImageHeaderName(const wchar_t* imagePath, wchar_t* buf, int length);
