// The image pane: addresses of the form image path plus a folder inside its
// volume, opening the image and listing and entering its folders.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <new>
#include <string>

#include "app/ImagePartitionText.h"
#include "app/mainwnd/FileListRows.h"
#include "app/mainwnd/FileManagerDlg.h"
#include "app/mainwnd/FilePanes.h"
#include "app/mainwnd/FileTypes.h"
#include "common/Format.h"
#include "common/PathUtil.h"
#include "disktools/partition/PartitionResize.h"
#include "image/mount/MountedImage.h"
#include "image/stack/MountRw.h"
#include "image/stack/OverlayNotice.h"
#include "resources/ResourceIds.h"
#include "ui/OwnerMessageBox.h"
#include "ui/UiResources.h"

namespace {

const wchar_t kUefiItem[] = L"::{UEFI}";

int AddImageListItem(const wchar_t* name, unsigned int kind, DWORD sizeLow, DWORD sizeHigh,
                     const FILETIME*, const FILETIME* lastWrite, const FILETIME*, DWORD attributes,
                     void* user) {
  // The volume's own "." and ".." entries are not listed; the pane adds
  // its own "..".
  if (!lstrcmpW(name, L".") || !lstrcmpW(name, L"..")) return 1;
  const bool folder = kind == 4;
  AppendFileListRow(static_cast<HWND>(user), name, folder ? kItemFolder : ClassifyFileType(name),
                    (uint64_t(sizeHigh) << 32) | sizeLow, lastWrite, attributes);
  return 1;
}

// The ".." item below the root, "::{UEFI}" at the root of a disk that has
// an EFI system partition, then the folder's entries.
void ListImageFolder(CFileManagerDlg* window, HWND list, const wchar_t* folder) {
  ClearFileListRows(list);
  if (lstrcmpW(folder, L"\\") != 0 && folder[0]) {
    AppendFileListRow(list, L"..", kItemFolder, 0, nullptr, FILE_ATTRIBUTE_DIRECTORY);
  } else if (HasEfiSystemPartition(window->m_image)) {
    AppendFileListRow(list, kUefiItem, kItemDrive, 0, nullptr, FILE_ATTRIBUTE_DIRECTORY);
  }
  window->m_image->EnumDirectory(folder, AddImageListItem, list);
  SyncFileListCount(list);
}

void SetAddressEditKeepImage(HWND combo, const wchar_t* text) {
  COMBOBOXEXITEMW item = {};
  item.mask = CBEIF_TEXT;
  item.iItem = -1;
  item.pszText = const_cast<wchar_t*>(text);
  SendMessageW(combo, CBEM_SETITEMW, 0, LPARAM(&item));
}

void ClearImageStatus(CFileManagerDlg* window) {
  HWND status = window->Item(IDC_STATUS_BAR);
  SendMessageW(status, SB_SETTEXTW, 2 | SBT_OWNERDRAW, 0);
  SendMessageW(status, SB_SETTEXTW, 3, LPARAM(L""));
  HICON old = reinterpret_cast<HICON>(SendMessageW(status, SB_GETICON, 3, 0));
  SendMessageW(status, SB_SETICON, 3, 0);
  if (old) DestroyIcon(old);
}

bool IsNoUpdateRun() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  bool found = false;
  for (int i = 1; argv && i < argc; ++i) {
    if (lstrcmpiW(argv[i], L"-noupd") == 0 || lstrcmpiW(argv[i], L"/noupd") == 0) found = true;
  }
  if (argv) LocalFree(argv);
  return found;
}

// The image is open through these files already: path is the image it was
// opened by, or the update file it writes, with the same write-back file,
// write mode and partition asked for.
bool IsOpenThrough(CFileManagerDlg* window, const wchar_t* path, const wchar_t* writeBack,
                   int mode, int partition) {
  CMountedImage* mounted = window->m_image;
  _VROH_MOUNT_RW* disk = mounted->DiskObject();
  if (!disk || mounted->WriteMode() != mode || window->m_imagePartition != partition) return false;
  _VROH_DISK_COMBO* layers = disk->Layers();
  wchar_t fix[kPathChars];
  CMountedImage::MakeWriteBackPath(writeBack, fix);
  if (lstrcmpiW(fix, layers->Fix().IsOpen() ? layers->Fix().Path().c_str() : L"")) return false;
  return !lstrcmpiW(path, mounted->ImagePath().c_str()) ||
         (layers->Update().IsOpen() && !lstrcmpiW(path, layers->Update().Path().c_str()));
}

// The image text of the pane's address: the image file, and "::N" behind
// it for any partition but the first.
std::wstring ImageText(const wchar_t* file, int partition) {
  return partition ? std::wstring(file) + L"::" + std::to_wstring(PartitionIndexOf(partition))
                   : std::wstring(file);
}

// Whether the prefix of an address is an image file, or one with "::"
// behind it (its partition, a number or not).
bool IsImagePrefix(const wchar_t* prefix) {
  if (GetPathKind(prefix) == 1) return true;
  const ImagePartitionText text = ReadImagePartitionText(prefix);
  if (!text.hasPartition || text.pathLength >= kPathChars) return false;
  wchar_t file[kPathChars];
  lstrcpynW(file, prefix, int(text.pathLength) + 1);
  return GetPathKind(file) == 1;
}

}  // namespace

bool ReadImageText(const wchar_t* image, wchar_t* file, int fileSize, int* partition) {
  const ImagePartitionText text = ReadImagePartitionText(image);
  lstrcpynW(file, image, int(text.pathLength) + 1 < fileSize ? int(text.pathLength) + 1 : fileSize);
  *partition = PartitionNumberOf(text);
  return !text.hasPartition || text.partitionValid;
}

UINT NoticeStringId(int kind) {
  static const struct {
    int kind;
    UINT text;
  } kTexts[] = {
      {VRO_NOTICE_DAMAGED_MAP, IDS_NOTICE_DAMAGED_MAP},
      {VRO_NOTICE_DAMAGED_HEADER, IDS_NOTICE_DAMAGED_HEADER},
      {VRO_NOTICE_NOT_OVERLAY, IDS_NOTICE_NOT_OVERLAY},
      {VRO_NOTICE_NOT_LINKED, IDS_NOTICE_NOT_LINKED},
      {VRO_NOTICE_STALE_KEPT, IDS_NOTICE_STALE_KEPT},
      {VRO_NOTICE_STALE_DISCARDED, IDS_NOTICE_STALE_DISCARDED},
      {VRO_NOTICE_UNUSABLE_DISCARDED, IDS_NOTICE_UNUSABLE_DISCARDED},
      {VRO_NOTICE_JOURNAL_ROLLED_BACK, IDS_JOURNAL_ROLLED_BACK},
      {VRO_NOTICE_JOURNAL_DAMAGED, IDS_JOURNAL_REFUSED},
      {VRO_NOTICE_JOURNAL_NOT_APPLIED, IDS_JOURNAL_REFUSED},
      {VRO_NOTICE_JOURNAL_SET_ASIDE, IDS_JOURNAL_SET_ASIDE},
      {VRO_NOTICE_JOURNAL_NOT_REMOVED, IDS_JOURNAL_NOT_REMOVED},
      {VRO_NOTICE_LEGACY_UNDO, IDS_NOTICE_LEGACY_UNDO},
      {VRO_NOTICE_MERGE_UNFINISHED, IDS_NOTICE_MERGE_UNFINISHED},
      {VRO_NOTICE_MERGE_FILE_MISSING, IDS_NOTICE_MERGE_FILE_MISSING},
      {VRO_NOTICE_MERGE_RECORD_DONE, IDS_NOTICE_MERGE_RECORD_DONE},
      {VRO_NOTICE_MERGE_UNLINKS, IDS_NOTICE_MERGE_UNLINKS},
      {VRO_NOTICE_MERGE_LEFTOVER, IDS_NOTICE_MERGE_LEFTOVER},
      {VRO_NOTICE_MERGED_FILE_LEFT, IDS_NOTICE_MERGED_FILE_LEFT},
      {VRO_NOTICE_MISSING, IDS_NOTICE_MISSING},
      {VRO_NOTICE_CANNOT_CREATE, IDS_NOTICE_CANNOT_CREATE},
      {VRO_NOTICE_EMPTY, IDS_NOTICE_EMPTY},
      {VRO_NOTICE_IN_USE, IDS_NOTICE_IN_USE},
      {VRO_NOTICE_NOT_WRITABLE, IDS_NOTICE_NOT_WRITABLE},
      {VRO_NOTICE_UNKNOWN_KIND, IDS_NOTICE_UNKNOWN_KIND},
      {VRO_NOTICE_NO_BASE, IDS_NOTICE_NO_BASE},
      {VRO_NOTICE_NO_VOLUME, IDS_NOTICE_NO_VOLUME},
      {VRO_NOTICE_NO_MATCH, IDS_NOTICE_NO_MATCH},
      {VRO_NOTICE_NO_PARTITION, IDS_NOTICE_NO_PARTITION},
      {VRO_NOTICE_LEFTOVER_REMOVED, IDS_NOTICE_LEFTOVER_REMOVED},
      {VRO_NOTICE_LEFTOVER_NOT_OURS, IDS_NOTICE_LEFTOVER_NOT_OURS},
      {VRO_NOTICE_JOURNAL_NAME_TAKEN, IDS_NOTICE_JOURNAL_NAME_TAKEN},
      {VRO_NOTICE_STALE_NOT_MERGED, IDS_NOTICE_STALE_NOT_MERGED},
      {VRO_NOTICE_STALE_REFUSED, IDS_NOTICE_STALE_REFUSED},
      {VRO_NOTICE_NOT_LINKED_NOT_MERGED, IDS_NOTICE_NOT_LINKED_NOT_MERGED},
      {VRO_NOTICE_MERGED_ALREADY_KEPT, IDS_NOTICE_MERGED_ALREADY_KEPT},
      {VRO_NOTICE_UPDATES_HANG_ON, IDS_NOTICE_UPDATES_HANG_ON},
      {VRO_NOTICE_STALE_PENDING, IDS_NOTICE_STALE_PENDING},
      {VRO_NOTICE_UPDATE_NOT_MADE, IDS_NOTICE_UPDATE_NOT_MADE},
      {VRO_NOTICE_HELD, IDS_IMAGE_HELD},
      {VRO_NOTICE_USER_HIVE_DEFAULT, IDS_NOTICE_USER_HIVE_DEFAULT},
      {VRO_NOTICE_USER_HIVE_NO_PROFILE, IDS_NOTICE_USER_HIVE_NO_PROFILE},
      {VRO_NOTICE_WRITES_NEED_FIX, IDS_NOTICE_WRITES_NEED_FIX},
      {VRO_NOTICE_HIBERNATED, IDS_NOTICE_HIBERNATED},
      {VRO_NOTICE_UNCLEAN_SHUTDOWN, IDS_NOTICE_UNCLEAN_SHUTDOWN},
      {VRO_NOTICE_FOLDER, IDS_NOTICE_FOLDER},
      {VRO_NOTICE_FOLDER_TARGET, IDS_NOTICE_FOLDER_TARGET},
  };
  for (const auto& t : kTexts) {
    if (t.kind == kind) return t.text;
  }
  return 0;
}

void TellNotices(CFileManagerDlg* window, const std::vector<VroNoticeCollector::Notice>& notices,
                 const wchar_t* refused) {
  std::wstring text;
  // Only what was done and told with no harm to anything is a mere note.
  UINT icon = refused ? MB_ICONWARNING : MB_ICONINFORMATION;
  auto add = [&](UINT id, const wchar_t* path) {
    wchar_t format[512], line[1400];
    if (!LoadUiString(id, format, 512)) return;
    _snwprintf(line, 1400, format, path);
    line[1399] = 0;
    if (text.find(line) != std::wstring::npos) return;
    if (!text.empty()) text += L"\r\n\r\n";
    text += line;
  };
  for (const VroNoticeCollector::Notice& n : notices) {
    if (n.kind != VRO_NOTICE_JOURNAL_ROLLED_BACK && n.kind != VRO_NOTICE_JOURNAL_SET_ASIDE &&
        n.kind != VRO_NOTICE_MERGE_RECORD_DONE && n.kind != VRO_NOTICE_MERGE_LEFTOVER &&
        n.kind != VRO_NOTICE_LEFTOVER_REMOVED)
      icon = MB_ICONWARNING;
    const UINT id = NoticeStringId(n.kind);
    add(id ? id : IDS_IMAGE_NOT_OPENED, n.path.c_str());
  }
  if (refused && text.empty()) add(IDS_IMAGE_NOT_OPENED, refused);
  if (!text.empty()) OwnerMessageBox(window->m_hWnd, text.c_str(), icon | MB_SETFOREGROUND);
}

void SplitImageAddress(const wchar_t* address, wchar_t* image, int imageSize, wchar_t* folder,
                       int folderSize) {
  if (image && imageSize) image[0] = 0;
  if (folder && folderSize) folder[0] = 0;
  const int length = lstrlenW(address);
  const wchar_t* scan = nullptr;
  if (address[0] == L'\\' && address[1] == L'\\') {
    scan = address + 2;
  } else {
    const wchar_t* colon = wcschr(address, L':');
    if (colon && lstrlenW(colon + 1) >= 2) scan = colon + 1;
  }
  const wchar_t* split = nullptr;
  while (scan && *scan) {
    while (*scan == L'\\' || *scan == L'/') ++scan;
    const wchar_t* next = wcschr(scan, L'\\');
    if (!next) break;
    wchar_t prefix[kAddressChars];
    const int prefixLength = int(next - address);
    if (prefixLength < kAddressChars) {
      lstrcpynW(prefix, address, prefixLength + 1);
      if (IsImagePrefix(prefix)) {
        split = next;
        break;
      }
    }
    scan = next;
  }
  if (split) {
    if (image)
      lstrcpynW(image, address,
                int(split - address) + 1 < imageSize ? int(split - address) + 1 : imageSize);
    if (folder) lstrcpynW(folder, split, folderSize);
  } else if (image) {
    lstrcpynW(image, address, imageSize);
  }
  if (folder && folderSize > 1 && !folder[0] && length) lstrcpyW(folder, L"\\");
}

void JoinImageAddress(const wchar_t* image, const wchar_t* folder, wchar_t* out, int outSize) {
  _snwprintf(out, outSize, folder[0] == L'\\' ? L"%s%s" : L"%s\\%s", image, folder);
  out[outSize - 1] = 0;
}

void AppendFileListRow(HWND list, const wchar_t* name, int itemImage, uint64_t size,
                       const FILETIME* lastWrite, DWORD attributes) {
  std::vector<FileListRow>* rows = FileListRowsOf(list);
  if (!rows) return;
  FileListRow row;
  row.name = name;
  row.image = itemImage;
  row.size = size;
  row.hasTime = lastWrite != nullptr;
  if (lastWrite) row.lastWrite = *lastWrite;
  row.attributes = attributes;
  rows->push_back(std::move(row));
}

void AddFileListItem(HWND list, const wchar_t* name, int itemImage, uint64_t size,
                     const FILETIME* lastWrite, DWORD attributes) {
  OnListThread(list, [&] {
    AppendFileListRow(list, name, itemImage, size, lastWrite, attributes);
    SyncFileListCount(list);
  });
}

void FocusFirstRow(HWND list) {
  if (SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) <= 0) return;
  LVITEMW item = {};
  item.stateMask = LVIS_FOCUSED;
  item.state = LVIS_FOCUSED;
  SendMessageW(list, LVM_SETITEMSTATE, 0, LPARAM(&item));
  SendMessageW(list, LVM_SETSELECTIONMARK, 0, 0);
}

void OpenImageInPane(CFileManagerDlg* window, const wchar_t* image, const wchar_t* writeBack,
                     int partition, const wchar_t* folder, BOOL sizeEditable) {
  HWND list = window->Item(IDC_IMAGE_LIST);
  HWND combo = window->Item(IDC_IMAGE_ADDRESS);
  ClearFileListRows(list);
  SendMessageW(combo, CB_SETCURSEL, WPARAM(-1), 0);
  const int kind = GetPathKind(image);
  if (kind != 1 || !window->m_image) {
    // A path that names no file is refused as an open would refuse it.
    if (window->m_image && image[0])
      TellNotices(window,
                  {{image, kind >= 2 ? VRO_NOTICE_FOLDER
                           : kind    ? VRO_NOTICE_UNKNOWN_KIND
                                     : VRO_NOTICE_MISSING}},
                  image);
    ClearImageStatus(window);
    SetWindowTextW(list, L"");
    return;
  }
  const int mode = IsNoUpdateRun() ? 2 : 1;
  VroNoticeCollector notices;
  // The image the window has open already is shown as it is; another is
  // opened while the files of the one open now stay held, so that an image
  // opened anew through the same files is never let go in between.
  const bool again = IsOpenThrough(window, image, writeBack, mode, partition);
  const int type =
      again ? int(window->m_imageType) : window->m_image->ReopenImage(image, writeBack, partition, mode);
  std::vector<VroNoticeCollector::Notice> told = notices.Notices();
  // A write-back file made for an earlier state of the image is not read;
  // it stays as it is until the first change of the session replaces it.
  _VROH_MOUNT_RW* disk = window->m_image->DiskObject();
  if (type >= 0 && !again && disk &&
      disk->Layers()->Fix().DiscardPending() == VRO_NOTICE_STALE_DISCARDED)
    told.push_back({disk->Layers()->Fix().Path(), VRO_NOTICE_STALE_PENDING});
  TellNotices(window, told, type < 0 ? image : nullptr);
  wchar_t address[kAddressChars];
  if (type < 0) {
    JoinImageAddress(ImageText(image, partition).c_str(), folder, address, kAddressChars);
    SetAddressEditKeepImage(combo, address);
    ClearImageStatus(window);
    SetWindowTextW(list, L"");
    return;
  }
  window->m_imageType = UINT(type);
  window->m_imagePartition = partition;
  wchar_t base[kPathChars];
  if (window->m_image->GetImagePath(base, kPathChars) <= 0 || !base[0]) {
    lstrcpynW(base, image, kPathChars);
  }
  JoinImageAddress(ImageText(base, partition).c_str(), folder, address, kAddressChars);
  SetAddressEditKeepImage(combo, address);

  HWND status = window->Item(IDC_STATUS_BAR);
  wchar_t text[128] = L"";
  if (type == 3 || type == 4 || type == 9) LoadUiString(IDS_PHYSICAL_DISK, text, 128);
  if (type == 6) LoadUiString(IDS_VIRTUAL_DISK, text, 128);
  HICON old = reinterpret_cast<HICON>(SendMessageW(status, SB_GETICON, 3, 0));
  SendMessageW(status, SB_SETICON, 3, 0);
  if (old) DestroyIcon(old);
  SendMessageW(status, SB_SETTEXTW, 3, LPARAM(text));
  uint64_t total = 0, freeBytes = 0;
  window->m_image->GetVolumeSpace(&total, &freeBytes);
  window->m_partColour = sizeEditable ? RGB(0, 0, 255) : GetSysColor(COLOR_GRAYTEXT);
  SendMessageW(status, SB_SETTEXTW, 2 | SBT_OWNERDRAW, LPARAM(total >> 20));

  SetWindowTextW(list, address);
  ListImageFolder(window, list, folder);
  UpdateToolbarState(window, list);
}

void OpenImageListItem(CFileManagerDlg* window, int item) {
  HWND list = window->Item(IDC_IMAGE_LIST);
  wchar_t address[kAddressChars], image[kAddressChars], folder[kAddressChars];
  GetWindowTextW(list, address, kAddressChars);
  SplitImageAddress(address, image, kAddressChars, folder, kAddressChars);
  if (!folder[0]) lstrcpyW(folder, L"\\");
  wchar_t name[kPathChars] = L"";
  LVITEMW lv = {};
  lv.pszText = name;
  lv.cchTextMax = kPathChars;
  SendMessageW(list, LVM_GETITEMTEXTW, item, LPARAM(&lv));
  if (!name[0]) return;
  ClearFileListRows(list);
  if (lstrcmpW(name, L"..") == 0) {
    // A folder right under the root has its only separator in front.
    if (!CutFileNamePart(folder) || !folder[0]) lstrcpyW(folder, L"\\");
  } else {
    AppendPathPart(folder, kAddressChars, name);
  }
  JoinImageAddress(image, folder, address, kAddressChars);
  SetWindowTextW(list, address);
  HWND combo = window->Item(IDC_IMAGE_ADDRESS);
  SendMessageW(combo, CB_SETCURSEL, WPARAM(-1), 0);
  SetAddressEditKeepImage(combo, address);
  ListImageFolder(window, list, folder);
}

void NavigateImageAddress(CFileManagerDlg* window, HWND combo) {
  HWND bar = window->Item(IDC_IMAGE_ADDRESS);
  wchar_t text[kAddressChars] = L"", image[kAddressChars] = L"", folder[kAddressChars] = L"\\";
  if (combo == reinterpret_cast<HWND>(-1)) {
    GetWindowTextW(reinterpret_cast<HWND>(SendMessageW(bar, CBEM_GETEDITCONTROL, 0, 0)), text,
                   kAddressChars);
  } else {
    const int selected = int(SendMessageW(bar, CB_GETCURSEL, 0, 0));
    COMBOBOXEXITEMW item = {};
    item.mask = CBEIF_TEXT;
    item.iItem = selected;
    item.pszText = text;
    item.cchTextMax = kAddressChars;
    if (selected >= 0) SendMessageW(bar, CBEM_GETITEMW, 0, LPARAM(&item));
  }
  if (GetPathKind(text) == 1) {
    lstrcpyW(image, text);
  } else {
    SplitImageAddress(text, image, kAddressChars, folder, kAddressChars);
  }
  HWND list = window->Item(IDC_IMAGE_LIST);
  if (!image[0]) {
    if (window->m_image) window->m_image->Close();
    ClearImageStatus(window);
    SetWindowTextW(list, L"");
    ClearFileListRows(list);
    SetAddressEditKeepImage(bar, text);
    return;
  }
  // "IMAGE::N" opens partition N, as "-img:" does; a partition that is no
  // number opens nothing (the pane stays as it is).
  wchar_t file[kAddressChars];
  int partition = 0;
  if (!ReadImageText(image, file, kAddressChars, &partition)) {
    wchar_t format[512], line[1400];
    if (LoadUiString(IDS_IMAGE_PARTITION_NOT_NUMBER, format, 512)) {
      _snwprintf(line, 1400, format, image);
      line[1399] = 0;
      OwnerMessageBox(window->m_hWnd, line, MB_ICONWARNING | MB_SETFOREGROUND);
    }
    return;
  }
  OpenImageInPane(window, file, window->m_writeBackPath, partition, folder,
                  window->m_writeBackPath == nullptr);
  SortFileList(list, -1);
  FocusFirstRow(list);
  SetFocus(list);
}

void RefreshImageAddress(CFileManagerDlg* window) {
  HWND list = window->Item(IDC_IMAGE_LIST);
  wchar_t address[kAddressChars], folder[kAddressChars], base[kPathChars] = L"";
  GetWindowTextW(list, address, kAddressChars);
  if (!address[0] || !window->m_image) return;
  SplitImageAddress(address, nullptr, 0, folder, kAddressChars);
  if (window->m_image->GetImagePath(base, kPathChars) > 0 && base[0]) {
    JoinImageAddress(ImageText(base, window->m_imagePartition).c_str(), folder, address,
                     kAddressChars);
  }
  SetWindowTextW(list, address);
  SetAddressEditKeepImage(window->Item(IDC_IMAGE_ADDRESS), address);
}

bool IsSameImageOrInside(const wchar_t* text, const wchar_t* image) {
  const int length = int(ReadImagePartitionText(image).pathLength);
  if (!length || _wcsnicmp(text, image, length) != 0) return false;
  return text[length] == 0 || text[length] == L'\\' || text[length] == L'/' ||
         (text[length] == L':' && text[length + 1] == L':');
}
