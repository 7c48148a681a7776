// Room on the host volume that holds an image file, asked for before an
// operation writes: a layer whose write failed for want of room takes no
// further write, so an operation that must be able to take its changes
// back (a grow, a driver installation) refuses up front instead.
#pragma once
#include <cstdint>

class CMountedImage;

// True when the host volume beside the image's file takes `bytes` more.
// The room is taken for a moment by a file of zeros next to the image (the
// free space a host reports may be that of another volume, and a
// reservation is not always honoured). Also true when the image is no file
// or the probe cannot be made: the operation's own writes will tell. False
// with the system's error (ERROR_DISK_FULL) as the last error.
bool HostHasRoom(CMountedImage* image, uint64_t bytes);
