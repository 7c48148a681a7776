// The libntfs-3g headers the NTFS glue uses, in one place. They clash with
// <windows.h> (BOOL, GUID, SID, ...), so a file that includes this one talks
// to Win32 only through NtfsWin32Io.h. Standard C++ headers go before this
// one: the library defines min and max as macros, undone below.
#pragma once
#include <time.h>
#include <sys/types.h>
#include <sys/stat.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/volume.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/mst.h>
#include <ntfs-3g/logfile.h>
}
#undef min
#undef max
