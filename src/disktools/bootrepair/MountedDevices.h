// The offline SYSTEM hive's MountedDevices entry of drive C: pointed at the
// volume of the mounted image, after it was copied onto another disk.
#pragma once
#include <stdint.h>

class CMountedImage;

// GPT: "\DosDevices\C:" := "DMIO:ID:" and the partition's unique GUID (24
// bytes), and the "\??\Volume..." value that held C:'s old data goes. MBR:
// "\DosDevices\C:" := the disk signature and the byte offset of the mounted
// partition (12 bytes), written into that "\??\Volume..." value too. The
// hives are written back. Always 0.
int SetMountedDevicesSystemDrive(CMountedImage* image, int gpt, const uint8_t* partitionGuid);
