// The installation's own virtual wrapper adapter ("vrowrapp"): its network
// class instance in the offline SYSTEM hive.
#pragma once
#include <stdint.h>

class CMountedImage;

// The instance number of the wrapper adapter, or -1; with a buffer, its
// "NetCfgInstanceId" is copied into it (cut to length characters).
int32_t FindWrapperAdapter(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                           wchar_t* guidOut, uint32_t guidChars);
