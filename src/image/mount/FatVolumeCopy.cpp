// CFatVolume's copies: volume files and trees out to the host, host files and
// trees into the volume, and a tree of a mounted NTFS volume onto this one.
// Progress and the overwrite question go through VolumeCopyCallback.
#include "image/mount/FatVolume.h"
#include "image/mount/MountedImage.h"

#include <wchar.h>

#include <string>
#include <vector>

#include "common/NoRedirect.h"
#include "common/PathUtil.h"
#include "common/TempFiles.h"
#include "common/Wildcard.h"
#include "image/copy/TreeCopyInternal.h"

using treecopy::HasWildcard;
using treecopy::JobShare;
using treecopy::JoinPath;
using treecopy::SourceIsNewer;
using treecopy::SplitPath;

namespace {

const uint32_t kChunk = 64 * 1024;

struct Reporter {
    VolumeCopyCallback callback;
    void* user;

    bool Progress(uint64_t total, uint64_t done, uint64_t step) const
    {
        if (!callback)
            return true;
        return callback(VCC_PROGRESS, (DWORD)total, (DWORD)(total >> 32), (DWORD)done,
                        (DWORD)(done >> 32), (DWORD)step, (DWORD)(step >> 32), 0, user) != 0;
    }
    DWORD AskOverwrite() const
    {
        return callback ? callback(VCC_TARGET_EXISTS, 0, 0, 0, 0, 0, 0, 0, user) : VCC_REPLACE;
    }
};

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

// A host folder tree's bytes, each file rounded up to whole MiB.
uint64_t HostTreeShare(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileNoRedirect(JoinPath(path, L"*.*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    uint64_t total = 0;
    do {
        if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L".."))
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            total += HostTreeShare(JoinPath(path, fd.cFileName));
        else
            total += JobShare(((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return total;
}

struct VolumeItem {
    std::wstring name;
    bool isDirectory;
    uint64_t size;
};

int CollectItem(const FatEntryInfo* e, void* user)
{
    static_cast<std::vector<VolumeItem>*>(user)->push_back({e->name, e->isDirectory != 0, e->size});
    return 1;
}

}  // namespace

uint64_t CFatVolume::GetFileVersion(const wchar_t* path)
{
    if (GetPathType(path) != 1)
        return 0;
    wchar_t temp[kPathChars];
    if (!CreateTempFileName(temp, L"ver"))
        return 0;
    uint64_t version = 0;
    if (ExtractFile(path, temp, nullptr, nullptr))
        version = GetHostFileVersion(temp);
    DeleteFileW(temp);
    return version;
}

int CFatVolume::ExtractFile(const wchar_t* volumePath, const wchar_t* hostPath,
                            VolumeCopyCallback callback, void* user)
{
    Reporter report = {callback, user};
    FILETIME volTime;
    DWORD attributes = 0;
    uint64_t size = 0;
    if (!hostPath || !GetFileInfo(volumePath, nullptr, &volTime, nullptr, &attributes, &size))
        return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Fail(ERROR_ACCESS_DENIED);
    FILETIME hostTime;
    DWORD hostAttributes = 0;
    if (GetPathInfoNoRedirect(hostPath, &hostAttributes, &hostTime, nullptr)) {
        DWORD mode = report.AskOverwrite();
        if (mode == VCC_SKIP)
            return 0;
        if (mode == VCC_REPLACE_IF_NEWER &&
            !SourceIsNewer(GetFileVersion(volumePath), GetHostFileVersion(hostPath), volTime,
                           hostTime))
            return 0;
    }
    HANDLE h = CreateFileW(hostPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    std::vector<uint8_t> buffer(kChunk);
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    uint64_t done = 0;
    {
        FatFileObject* file = new FatFileObject;
        int r = FatOpenFile(&m_Work, file, reinterpret_cast<const uint16_t*>(volumePath),
                            FAT_OPEN_READ);
        bool opened = r == FAT_OK;
        if (!opened) {
            ok = false;
            error = FatResultToWin32(r);
        }
        while (ok && done < size) {
            uint32_t n = size - done < kChunk ? (uint32_t)(size - done) : kChunk;
            if (!report.Progress(size, done, n)) {
                ok = false;
                error = ERROR_CANCELLED;
                break;
            }
            uint32_t got = 0;
            r = FatReadFile(&m_Work, file, buffer.data(), n, &got);
            DWORD put = 0;
            if (r || got != n) {
                ok = false;
                error = r ? FatResultToWin32(r) : ERROR_HANDLE_EOF;
            } else if (!::WriteFile(h, buffer.data(), n, &put, nullptr) || put != n) {
                ok = false;
                error = GetLastError();
            }
            done += n;
        }
        if (opened)
            FatCloseFile(&m_Work, file);
        delete file;
    }
    if (ok && !SetFileTime(h, nullptr, nullptr, &volTime)) {
        ok = false;
        error = GetLastError();
    }
    if (!CloseHandle(h) && ok) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) {
        DeleteFileW(hostPath);
        return Fail(error);
    }
    report.Progress(size, size, 0);
    return 1;
}

int CFatVolume::ExtractPath(const wchar_t* volumePath, const wchar_t* hostFolder,
                            VolumeCopyCallback callback, void* user)
{
    if (!volumePath || !hostFolder)
        return Fail(ERROR_INVALID_PARAMETER);
    NoRedirectScope noRedirect;
    std::wstring source = treecopy::CutStarDotStar(volumePath);
    std::wstring folder, pattern;
    if (HasWildcard(source)) {
        SplitPath(source, &folder, &pattern);
    } else if (GetPathType(source.c_str()) == 0) {
        return 0;
    } else {
        SplitPath(source, &folder, &pattern);
        if (pattern.empty()) {
            // The root: its content goes into the host folder.
            folder = source;
            pattern = L"*";
        }
    }
    std::vector<VolumeItem> items;
    if (!ListDirectory(folder.empty() ? L"\\" : folder.c_str(), CollectItem, &items))
        return 0;
    if (GetPathKind(hostFolder) != 2 && !CreateDirectoryNoRedirect(hostFolder))
        return 0;
    int ok = 1;
    for (const VolumeItem& item : items) {
        if (!MatchWildcard(pattern.c_str(), item.name.c_str()))
            continue;
        if (!IsSafeHostName(item.name.c_str())) {
            ok = 0;
            SetLastError(ERROR_INVALID_NAME);
            continue;
        }
        std::wstring from = JoinPath(folder, item.name);
        std::wstring to = JoinPath(hostFolder, item.name);
        if (item.isDirectory) {
            // A folder that holds an ancestor of its own (damage) ends here.
            if (from.size() >= (size_t)kPathChars) {
                ok = 0;
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
            } else if (!ExtractPath(JoinPath(from, L"*").c_str(), to.c_str(), callback, user)) {
                ok = 0;
            }
        } else if (!ExtractFile(from.c_str(), to.c_str(), callback, user)) {
            if (GetLastError() == ERROR_CANCELLED)
                return 0;
            ok = 0;
        }
    }
    return ok;
}

int CFatVolume::InjectHostFile(const wchar_t* hostPath, const wchar_t* volumePath,
                               uint64_t* missing, VolumeCopyCallback callback, void* user)
{
    Reporter report = {callback, user};
    if (!hostPath || !volumePath)
        return Fail(ERROR_INVALID_PARAMETER);
    HANDLE h = CreateFileNoRedirect(hostPath);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER li;
    FILETIME hostTime;
    if (!GetFileSizeEx(h, &li) || !GetFileTime(h, nullptr, nullptr, &hostTime)) {
        DWORD e = GetLastError();
        CloseHandle(h);
        return Fail(e);
    }
    uint64_t size = (uint64_t)li.QuadPart;
    uint64_t freeBytes = 0;
    if (!GetSpace(nullptr, &freeBytes) || freeBytes <= size) {
        if (missing)
            *missing = size > freeBytes ? size - freeBytes : 0;
        CloseHandle(h);
        return Fail(ERROR_DISK_FULL);
    }
    const uint16_t* path = reinterpret_cast<const uint16_t*>(volumePath);
    FatFileObject* file = new FatFileObject;
    int r = FatOpenFile(&m_Work, file, path, FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_CREATE_NEW);
    if (r == FAT_EXIST) {
        DWORD mode = report.AskOverwrite();
        FILETIME volTime;
        bool replace = mode != VCC_SKIP;
        if (mode == VCC_REPLACE_IF_NEWER)
            replace = GetFileInfo(volumePath, nullptr, &volTime, nullptr, nullptr, nullptr) &&
                      SourceIsNewer(GetHostFileVersion(hostPath), GetFileVersion(volumePath),
                                    hostTime, volTime);
        if (!replace) {
            delete file;
            CloseHandle(h);
            SetLastError(ERROR_SUCCESS);
            return 0;
        }
        r = FatOpenFile(&m_Work, file, path, FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_CREATE_ALWAYS);
    }
    if (r) {
        delete file;
        CloseHandle(h);
        return Fail(FatResultToWin32(r));
    }
    std::vector<uint8_t> buffer(kChunk);
    DWORD error = ERROR_SUCCESS;
    uint64_t done = 0;
    while (!error && done < size) {
        uint32_t n = size - done < kChunk ? (uint32_t)(size - done) : kChunk;
        if (!report.Progress(size, done, n)) {
            error = ERROR_CANCELLED;
            break;
        }
        DWORD got = 0;
        uint32_t put = 0;
        if (!::ReadFile(h, buffer.data(), n, &got, nullptr) || got != n)
            error = got != n ? ERROR_HANDLE_EOF : GetLastError();
        else if ((r = FatWriteFile(&m_Work, file, buffer.data(), n, &put)))
            error = FatResultToWin32(r);
        else if (put != n)
            error = ERROR_DISK_FULL;
        done += n;
    }
    CloseHandle(h);
    if (!error && (r = FatTruncateFile(&m_Work, file)))
        error = FatResultToWin32(r);
    r = FatCloseFile(&m_Work, file);
    delete file;
    if (!error && r)
        error = FatResultToWin32(r);
    if (!error && !SetFileInfo(volumePath, nullptr, &hostTime, nullptr, nullptr))
        error = GetLastError();
    if (error) {
        // A part of a file is not left behind looking like the whole.
        FatUnlinkPath(&m_Work, path);
        return Fail(error);
    }
    report.Progress(size, size, 0);
    return 1;
}

int CFatVolume::InjectHostPath(const wchar_t* hostPath, const wchar_t* volumePath,
                               uint64_t* missing, VolumeCopyCallback callback, void* user)
{
    if (!hostPath || !volumePath)
        return Fail(ERROR_INVALID_PARAMETER);
    NoRedirectScope noRedirect;
    Reporter report = {callback, user};
    std::wstring host = treecopy::CutStarDotStar(hostPath);
    std::wstring vol = treecopy::CutStarDotStar(volumePath);
    int kind = HasWildcard(host) ? 0 : GetPathKind(host.c_str());
    if (kind == 1) {
        // A file keeps its own name inside an existing folder.
        std::wstring target = vol;
        if (GetPathType(vol.c_str()) == 2)
            target = JoinPath(vol, FindFileNamePart(host.c_str()));
        return InjectHostFile(host.c_str(), target.c_str(), missing, callback, user) ? 1 : 0;
    }
    std::wstring pattern = L"*";
    if (kind == 0) {
        if (!HasWildcard(host))
            return Fail(ERROR_FILE_NOT_FOUND);
        std::wstring folder;
        SplitPath(host, &folder, &pattern);
        host = folder;
    }
    int items = 0;
    if (GetPathType(vol.c_str()) != 2) {
        if (!CreateDirectories(vol.c_str()))
            return 0;
        items++;
    }
    uint64_t total = HostTreeShare(host), done = 0;
    if (!report.Progress(total, 0, 0))
        return items;
    struct Level {
        std::wstring host, vol;
    };
    std::vector<Level> todo = {{host, vol}};
    bool top = true;
    while (!todo.empty()) {
        Level level = todo.back();
        todo.pop_back();
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileNoRedirect(JoinPath(level.host, L"*.*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE)
            continue;
        do {
            if (!wcscmp(fd.cFileName, L".") || !wcscmp(fd.cFileName, L".."))
                continue;
            if (top && !MatchWildcard(pattern.c_str(), fd.cFileName))
                continue;
            std::wstring from = JoinPath(level.host, fd.cFileName);
            std::wstring to = JoinPath(level.vol, fd.cFileName);
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (GetPathType(to.c_str()) != 2) {
                    if (!CreateDirectory(to.c_str()))
                        continue;
                    items++;
                }
                todo.push_back({from, to});
                continue;
            }
            uint64_t share = JobShare(((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow);
            if (!report.Progress(total, done, share)) {
                FindClose(h);
                return items;
            }
            if (InjectHostFile(from.c_str(), to.c_str(), missing, callback, user))
                items++;
            else if (GetLastError() == ERROR_CANCELLED) {
                FindClose(h);
                return items;
            }
            done += share;
        } while (FindNextFileW(h, &fd));
        FindClose(h);
        top = false;
    }
    return items;
}

int CFatVolume::CopyFromMountedImage(CMountedImage* image, const wchar_t* sourcePath,
                                     const wchar_t* targetPath)
{
    if (!image || !sourcePath || !targetPath)
        return Fail(ERROR_INVALID_PARAMETER) - 1;
    FILETIME creation, lastWrite, lastAccess;
    DWORD attributes = 0;
    uint64_t size = 0;
    if (!image->GetFileInfo(sourcePath, &creation, &lastWrite, &lastAccess, &attributes, &size))
        return -1;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (GetPathType(targetPath) != 2 && !CreateDirectories(targetPath))
            return -1;
        std::vector<std::wstring> names;
        auto collect = [](const wchar_t* name, unsigned int, DWORD, DWORD, const FILETIME*,
                          const FILETIME*, const FILETIME*, DWORD, void* user) -> int {
            if (wcscmp(name, L".") && wcscmp(name, L".."))
                static_cast<std::vector<std::wstring>*>(user)->push_back(name);
            return 1;
        };
        if (!image->EnumDirectory(sourcePath, collect, &names))
            return -1;
        int copied = 0;
        for (const std::wstring& name : names) {
            int r = CopyFromMountedImage(image, JoinPath(sourcePath, name).c_str(),
                                         JoinPath(targetPath, name).c_str());
            if (r < 0)
                return -1;
            copied += r;
        }
        return copied;
    }
    const uint16_t* path = reinterpret_cast<const uint16_t*>(targetPath);
    FatFileObject* file = new FatFileObject;
    int r = FatOpenFile(&m_Work, file, path, FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_CREATE_ALWAYS);
    if (r) {
        delete file;
        return Fail(FatResultToWin32(r)) - 1;
    }
    std::vector<uint8_t> buffer(kChunk);
    DWORD error = ERROR_SUCCESS;
    for (uint64_t done = 0; !error && done < size;) {
        uint32_t n = size - done < kChunk ? (uint32_t)(size - done) : kChunk;
        uint32_t put = 0;
        if (image->ReadFile(sourcePath, buffer.data(), done, n) != n)
            error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
        else if ((r = FatWriteFile(&m_Work, file, buffer.data(), n, &put)))
            error = FatResultToWin32(r);
        else if (put != n)
            error = ERROR_DISK_FULL;
        done += n;
    }
    r = FatCloseFile(&m_Work, file);
    delete file;
    if (!error && r)
        error = FatResultToWin32(r);
    if (!error && !SetFileInfo(targetPath, &creation, &lastWrite, &lastAccess, nullptr))
        error = GetLastError();
    if (error) {
        FatUnlinkPath(&m_Work, path);
        return Fail(error) - 1;
    }
    return 1;
}
