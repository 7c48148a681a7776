// Update files of an image: merge into the base, listing, header name.
#pragma once
#include <string>
#include <vector>

// Merges updatePath into basePath and deletes the update file. 1 done
// (progress 100), 0 failed (progress -1, update file kept).
int ConvertImageFile(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress);
// Worker: 1 done; -1 no memory, -2 not an own sparse file, -3 marked
// unusable, -40 no base file, -52 update does not link to the base,
// -60 base cannot be opened for writing, -70 a read or write failed
// (nothing deleted), 0 the update file could not be deleted.
int ConvertImageChain(const wchar_t* basePath, const wchar_t* updatePath, volatile int* progress);
// Update files that belong to the image, by number. Returns their count,
// -1 when the image cannot be opened; *type gets the base's type code.
int ListImageUpdateFiles(const wchar_t* imagePath, std::vector<std::wstring>* list, int* type);
// Name field of the update layer's (else the base's) own header; empty when
// neither is an own sparse image. 1 done, 0 cannot open.
int GetImageHeaderName(const wchar_t* imagePath, wchar_t* buf, int length);
