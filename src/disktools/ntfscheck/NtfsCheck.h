// The NTFS check and repair of a mounted image's volume, with the check's
// time-stamped console lines.
#pragma once

class CMountedImage;

// Checks the volume (image/ntfs/NtfsCheck.h); 1 when it passes, else 0
// (also without a mounted NTFS volume, which one line tells). One at a time
// per process.
int CheckNtfsPartition(CMountedImage* image);

// One line of the check: the local time as "YYYY-MM-DD hh:mm:ss:" directly
// followed by the message (cut to 1,024 bytes in all), written to the
// console or, when the output is redirected, to the file behind it.
void PrintCheckLog(const char* format, ...);
// The check's line for a volume that is not NTFS, naming the image:
// "IMAGE: The volume is not NTFS (...): nothing was DONE."
void PrintNotNtfsLog(CMountedImage* image, const wchar_t* done);

// Repairs the volume (image/ntfs/check/NtfsRepair.h): 1 when the check, run
// on the volume mounted anew, then finds nothing; 0 at the first step that
// failed, on what the repair does not mend, or without a mounted NTFS
// volume. The boot sector that agrees with the partition and with where
// $MFT lies goes into both copies first (none is written when neither
// does); a volume mounted only partly gets its mirror mended first and must
// then mount whole. What it refuses, and what is left, it says in lines as
// the check's.
int RepairNtfsPartition(CMountedImage* image);
