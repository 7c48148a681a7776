// Room on the host volume that holds an image file, asked for before an
// operation writes: a layer whose write failed for want of room takes no
// further write, so an operation that must be able to take its changes
// back (a grow, a driver installation) refuses up front instead.
#pragma once
#include <cstdint>
#include <string>

class CMountedImage;

// The host file the writes to the image go to: its write-back file when one
// is open, else its update file (or the base, beside which update files are
// made), else the image file itself; "" when writes go to a host disk or
// volume.
std::wstring HostWriteFile(CMountedImage* image);

// True when the host volume of HostWriteFile takes `bytes` more: the free
// room the host gives this user in the folder of that file (which the
// check does not write). Also true when the image is no file or the host
// cannot tell: the operation's own writes will. False with the system's
// error (ERROR_DISK_FULL) as the last error.
bool HostHasRoom(CMountedImage* image, uint64_t bytes);
