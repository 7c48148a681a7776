#include "image/device/SectorDevice.h"
#include <cstring>

// Bigger requests are split so each ReadFile/WriteFile stays well inside
// what every Windows version accepts in one call.
static const uint32_t kMaxTransfer = 64u << 20;

int64_t ReadHandleAt(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes)
{
    uint32_t done = 0;
    while (done < bytes) {
        uint32_t n = bytes - done;
        if (n > kMaxTransfer) n = kMaxTransfer;
        OVERLAPPED ov = {};
        uint64_t pos = byteOffset + done;
        ov.Offset = (DWORD)pos;
        ov.OffsetHigh = (DWORD)(pos >> 32);
        DWORD got = 0;
        if (!ReadFile(hFile, (uint8_t*)buf + done, n, &got, &ov)) {
            if (GetLastError() == ERROR_HANDLE_EOF) return done;
            return done ? (int64_t)done : -(int64_t)bytes;
        }
        done += got;
        if (got < n) break;
    }
    return done;
}

int64_t WriteHandleAt(HANDLE hFile, uint64_t byteOffset, const void* buf, uint32_t bytes)
{
    uint32_t done = 0;
    while (done < bytes) {
        uint32_t n = bytes - done;
        if (n > kMaxTransfer) n = kMaxTransfer;
        OVERLAPPED ov = {};
        uint64_t pos = byteOffset + done;
        ov.Offset = (DWORD)pos;
        ov.OffsetHigh = (DWORD)(pos >> 32);
        DWORD put = 0;
        if (!WriteFile(hFile, (const uint8_t*)buf + done, n, &put, &ov))
            return done ? (int64_t)done : -(int64_t)bytes;
        done += put;
        if (put < n) break;
    }
    return done;
}

int64_t ReadHandleAtZeroTail(HANDLE hFile, uint64_t byteOffset, void* buf, uint32_t bytes)
{
    int64_t r = ReadHandleAt(hFile, byteOffset, buf, bytes);
    if (r < 0) return r;
    if ((uint32_t)r < bytes) memset((uint8_t*)buf + r, 0, bytes - (uint32_t)r);
    return bytes;
}
