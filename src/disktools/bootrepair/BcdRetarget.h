// The boot store of the system volume of an MBR disk pointed at the disk
// the volume now lies on: the device elements of the boot manager, the
// memory tester, the default loader with its resume object and the objects
// those name get the disk signature and the partition offset.
#pragma once

class CMountedImage;

// 1 when the store's "Objects" key was found and processed (the store is
// written back), else 0.
int RetargetBcdDevices(CMountedImage* image);
