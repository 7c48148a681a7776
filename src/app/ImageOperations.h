// The image operations that the batch mode runs and a host program calls
// (exported stdcall with undecorated names, see VroMount.def). Each one is a
// transaction of its own: it opens the image, does one thing, closes it and
// returns 0 or a small negative code:
//   -1 no memory, -2 the format of the mounted volume failed, -12 the
//   copy, export, creation or merge failed, -13 a size out of range, -14 a
//   registry hive that the export or import asks for cannot be loaded, -15
//   the image cannot be opened (for the import also: no file matches), -16
//   an import into the registry failed (no hive changed).
// The leading three arguments are the image path, the write-back path (empty
// for none) and the partition number (0: the first data partition that
// holds a volume, never the EFI system partition, the MSR or a recovery
// partition; N: partition N, counted from 0; image/device/PartitionTable.h).
// Overwrite mode: 0 never, 1 always,
// 2 only with newer files. An export a host calls before Initialize does
// nothing and returns its code for an image or volume that cannot be opened.
#pragma once
#include <windows.h>

#include "common/PathUtil.h"  // IsSameHostFile
#include "image/copy/TreeCopy.h"
#include "image/ntfs/NtfsCloneIo.h"

enum ImageOperationResult {
  kImageOk = 0,
  kImageNoMemory = -1,
  kImageVolumeOperationFailed = -2,
  kImageOperationFailed = -12,
  kImageBadArgument = -13,
  kImageHivesNotLoaded = -14,
  kImageNotOpened = -15,
  kImageImportFailed = -16,
};

extern "C" {
int WINAPI ImageExtractFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR volumePath,
                             LPCWSTR hostPath, int overwriteMode);
int WINAPI ImageInjectFileW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR volumePath,
                            LPCWSTR hostPath, int overwriteMode);
int WINAPI ImageExportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR registryPath, LPCWSTR regFile);
int WINAPI ImageImportRegistryW(LPCWSTR imagePath, LPCWSTR fixPath, int partition,
                                LPCWSTR regFileOrWildcard);
// A new image of the own sparse format with a quick-formatted NTFS volume
// (an image at the path is replaced): 0, -1, -12 creation failed (no file is
// left at the path), -13 a size outside 1 to 2,000,000 MiB.
int WINAPI ImageCreateDiskW(LPCWSTR imagePath, int megabytes);
// Quick-formats the image's volume (NTFS, or FAT as the kind it is) in the
// partition named, else in the disk's first data partition, also where it
// holds none (as its type says): 0, -1, -2 the format failed, -13 that
// partition holds no volume while another data partition does (a line
// names the disk's partitions; nothing written), -15.
int WINAPI ImageFormatPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition);
// Grows the image's NTFS partition to the size in MiB (two 32-bit halves of
// a signed number): 0, -1, -2 the resize failed, -13 a size of 0 or less,
// above 2,000,000 MiB or not above the present volume, -15.
int WINAPI ImageSetPartitionSizeW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, DWORD sizeLow,
                                  DWORD sizeHigh);
// Checks or repairs the image's NTFS volume, also one the full mount
// refuses: 0, -1, -2 the check could not read a record or found a copy or
// map that disagrees (the backup boot sector, $MFTMirr, $Bitmap) or a volume
// that does not mount whole (the repair: a step failed), also on a FAT
// volume, -15.
int WINAPI ImageCheckPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition);
int WINAPI ImageRepairPartitionW(LPCWSTR imagePath, LPCWSTR fixPath, int partition);
// Installs the driver for one workstation's network (2) or display (3)
// adapter from the driver store into the image: -1, -2 the image cannot be
// opened, else the installation's result (1 current, 0 installed, -3 to
// -10), -13 another type or no device id. The workstation number is decimal
// text (written "%03u"); without one no history line is written.
int WINAPI ImageAddAdapterW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, int adapterType,
                            LPCWSTR deviceId, LPCWSTR workstation, LPCWSTR address);
// The same for a disk the host has open (diskObject: the layer set of its
// opened image, _VROH_DISK_COMBO, as _VROH_MOUNT_RW::Layers() gives it), with a boot-time PnP
// profile id (two 32-bit halves), the workstation number and its IPv4
// address (first octet in the highest byte) and a text for the history.
int WINAPI ImageHardwarePnpW(void* diskObject, DWORD profileLow, DWORD profileHigh, int adapterType,
                             DWORD reserved, LPCWSTR deviceId, DWORD workstation, DWORD address,
                             LPCWSTR text);
// Volume copies (progress through the callback, which may be null; a zero
// answer cancels): 0, -12 a volume or image cannot be opened (also: a clone
// onto its own source, a conversion onto its source or one of the source's
// update or write-back files, refused before anything is written), -13 the
// copy failed or was cancelled (no new image is left behind).
// The volume of a drive letter into a new image (raw: plain sectors, else
// the own format; gpt: a GPT layout).
int WINAPI ImageBackupDiskW(WCHAR letter, LPCWSTR imagePath, int raw, int gpt,
                            DiskCopyProgressCallback callback, void* context);
// One drive letter's volume onto another's (at least as large).
int WINAPI ImageCloneDiskW(WCHAR source, WCHAR target, DiskCopyProgressCallback callback,
                           void* context);
// The volume of an image (with its update files) into a new image.
int WINAPI ImageConvertFileW(LPCWSTR sourcePath, LPCWSTR targetPath, int raw, int gpt,
                             DiskCopyProgressCallback callback, void* context);
// Not exported: the batch mode's "/importfile:" and "/merge".
int WINAPI ImageImportFileValueW(LPCWSTR imagePath, LPCWSTR fixPath, int partition, LPCWSTR keyPath,
                                 LPCWSTR valueName, LPCWSTR hostFile);
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
  decltype(&ImageCreateDiskW) createDisk;
  decltype(&ImageFormatPartitionW) formatPartition;
  decltype(&ImageSetPartitionSizeW) setPartitionSize;
  decltype(&ImageCheckPartitionW) checkPartition;
  decltype(&ImageRepairPartitionW) repairPartition;
  decltype(&ImageAddAdapterW) addAdapter;
  // The volume copies with their console output (app/ConsoleProgress.h).
  int (*consoleBackup)(WCHAR letter, LPCWSTR imagePath, BOOL raw, BOOL gpt);
  int (*consoleClone)(WCHAR source, WCHAR target);
  int (*consoleConvert)(LPCWSTR sourcePath, LPCWSTR targetPath, BOOL raw, BOOL gpt);
};

extern const ImageOperationTable kImageOperations;


// The sizes of a new image that "/create:" and ImageCreateDiskW accept, MiB.
const int kMinCreateMegabytes = 1;
const int kMaxCreateMegabytes = 2000000;

// The open mode of the operations that write: 1 (changes go to a new update
// file), or 2 (into the image itself) when any argument of the process,
// argument 0 included, is "-noupd" or "/noupd" in any case. Read at every
// call.
int GetWriteOpenMode();

// What one extract or inject answers and meets; the copy callback's user
// value.
struct CopyOutcome {
  DWORD overwriteMode;  // the answer when a target exists
  bool failed;          // a file or folder could not be copied
  bool asked;           // a target existed
};

// The copy callback of the batch copies: an existing target gets the
// outcome's overwrite mode, every other event goes on (failures are noted in
// the outcome), so a copy never stops on its own.
DWORD CALLBACK AlwaysContinueCopyCallback(DWORD event, DWORD totalLow, DWORD totalHigh,
                                          DWORD doneLow, DWORD doneHigh, DWORD stepLow,
                                          DWORD stepHigh, DWORD reserved, void* user);

// True when `address` names the image at `imagePath` or a place inside it:
// the whole image path followed by nothing or by a separator, in any case.
// An address of another file whose name merely begins with the image's
// ("D:\a.img2\x" for "D:\a.img") is not. Decides whether a write-back file
// chosen for one image is kept when an address is opened.
bool IsAddressInImage(LPCWSTR imagePath, LPCWSTR address);
