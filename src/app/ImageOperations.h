// The image operations that the batch mode runs and a host program calls
// (exported stdcall with undecorated names, see VroMount.def). Each one is a
// transaction of its own: it opens the image, does one thing, closes it and
// returns 0 or a small negative code:
//   -1 no memory, -12 the copy, export or merge failed, -14 the registry
//   hives cannot be loaded, -15 the image cannot be opened (for the import
//   also: no file matches), -16 an import into the registry failed.
// The leading three arguments are the image path, the write-back path (empty
// for none) and the partition number. Overwrite mode: 0 never, 1 always,
// 2 only with newer files.
#pragma once
#include <windows.h>

enum ImageOperationResult {
  kImageOk = 0,
  kImageNoMemory = -1,
  kImageOperationFailed = -12,
  kImageBadArgument = -13,
  kImageHivesNotLoaded = -14,
  kImageNotOpened = -15,
  kImageImportFailed = -16,
};

extern "C" {
int WINAPI ImageExtractFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                             LPCWSTR volumePath, LPCWSTR hostPath, int overwriteMode);
int WINAPI ImageInjectFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                            LPCWSTR volumePath, LPCWSTR hostPath, int overwriteMode);
int WINAPI ImageExportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR registryPath, LPCWSTR regFile);
int WINAPI ImageImportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR regFileOrWildcard);
// Not exported: the batch mode's "/importfile:" and "/merge".
int WINAPI ImageImportFileValueW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                 LPCWSTR keyPath, LPCWSTR valueName, LPCWSTR hostFile);
int WINAPI ImageMergeUpdateW(LPCWSTR imagePath, LPCWSTR updatePath);
}

// The operations as the command-line processor reaches them. The processor
// takes the table as an argument so its argument handling can be tested
// without images; the program passes kImageOperations.
struct ImageOperationTable {
  decltype(&ImageExtractFileW) extractFile;
  decltype(&ImageInjectFileW) injectFile;
  decltype(&ImageExportRegistryW) exportRegistry;
  decltype(&ImageImportRegistryW) importRegistry;
  decltype(&ImageImportFileValueW) importFileValue;
  decltype(&ImageMergeUpdateW) mergeUpdate;
};

extern const ImageOperationTable kImageOperations;
