// The image operations. The mounted image and the registry engines join
// here: until they do, every operation reports that the image could not be
// opened.
#include "app/ImageOperations.h"

const ImageOperationTable kImageOperations = {
    ImageExtractFileW,    ImageInjectFileW,      ImageExportRegistryW,
    ImageImportRegistryW, ImageImportFileValueW, ImageMergeUpdateW,
};

int WINAPI ImageExtractFileW(LPCWSTR, LPCWSTR, int, LPCWSTR, LPCWSTR, int) {
  return kImageNotOpened;
}

int WINAPI ImageInjectFileW(LPCWSTR, LPCWSTR, int, LPCWSTR, LPCWSTR, int) {
  return kImageNotOpened;
}

int WINAPI ImageExportRegistryW(LPCWSTR, LPCWSTR, int, LPCWSTR, LPCWSTR) {
  return kImageNotOpened;
}

int WINAPI ImageImportRegistryW(LPCWSTR, LPCWSTR, int, LPCWSTR) { return kImageNotOpened; }

int WINAPI ImageImportFileValueW(LPCWSTR, LPCWSTR, int, LPCWSTR, LPCWSTR, LPCWSTR) {
  return kImageNotOpened;
}

int WINAPI ImageMergeUpdateW(LPCWSTR, LPCWSTR) { return kImageNotOpened; }
