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
// writing, -70 a read or write failed (nothing deleted), 0 the base holds
// all of the update file, which could not be deleted (a line names it).
// The base's rollback journal keeps the bytes the merge overwrites until
// the base holds the whole update file and its identity on the disk; only
// then does the file go. A merge cut off anywhere leaves the base to be
// rolled back at its next open, and the file as it was. A file whose
// identity the base holds already (merged, not yet removed) is removed.
int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress);
// A merge that an earlier version cut off (its record "<base>.merging"):
// 1 when the merged file is there (*merged gets it; merging it again
// completes the merge), 2 when it is gone (*merged gets the recorded path),
// else 0 (a record whose merge had completed is removed, with a line).
// Nothing but that merge may open the base while one is unfinished.
int FindUnfinishedMerge(const wchar_t* basePath, std::wstring* merged);
// The line that names such a merge, when there is one.
void NoticeUnfinishedMerge(const wchar_t* basePath);
// A merge an earlier version cut off, the journal of a command cut off
// that could not be rolled back, or a file of the journal's new name that
// is not this program's, keeps the image from opening (for writing).
bool IsHeldBySideFile(const wchar_t* imagePath);
// Update files that belong to the image, by number. Returns their count,
// -1 when the image cannot be opened; *type gets the base's type code.
int ListImageUpdateFiles(const wchar_t* imagePath, std::vector<std::wstring>* list, int* type);
// Name field of the update layer's (else the base's) own header; empty when
// neither is an own sparse image. 1 done, 0 cannot open.
int GetImageHeaderName(const wchar_t* imagePath, wchar_t* buf, int length);
