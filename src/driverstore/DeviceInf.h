// Per-device INFs cut out of a package version's combined INF (VroPnp.inf):
// the models sections that suit the target Windows, the model line that
// lists the device in five passes from exact to loose, and the writer of an
// INF holding that one model.
#pragma once
#include <stdint.h>

class CMountedImage;

// The per-device INF "<device part>.inf" in the version folder, made or
// reused: 1 when ready (or a complete file's "Success" value), 0 when no
// model matched (the file is deleted) or another request did not finish
// writing it within 5 seconds.
int ExtractDeviceInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* versionFolder,
                     const wchar_t* enumerator, const wchar_t* devicePart);
// The model of one models section that lists the device, written as the
// per-device INF; nonzero when written.
int MatchModelSection(const wchar_t* modelsSection, CMountedImage* image, uint32_t windowsVersion,
                      const wchar_t* enumerator, const wchar_t* devicePart,
                      const wchar_t* versionFolder, const wchar_t* combinedInf);
// Writes an INF holding one model and every section it needs; 1 when the
// model's sections were written with a driver file and a service.
int WriteDeviceInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* sourceFolder,
                   const wchar_t* catalogInf, const wchar_t* sourceInf, const wchar_t* manufacturer,
                   const wchar_t* description, const wchar_t* hardwareId,
                   const wchar_t* installSection, const wchar_t* targetInf);
// Writes an INF holding one model of a version's combined INF (its
// description, hardware id with enumerator and install section), read as
// every installation from the store reads a package; 1 as WriteDeviceInf.
int WriteModelInf(CMountedImage* image, uint32_t windowsVersion, const wchar_t* combinedInf,
                  const wchar_t* description, const wchar_t* hardwareId,
                  const wchar_t* installSection, const wchar_t* targetInf);
// 1 when a network INF's install section marks the adapter virtual.
int IsVirtualNetInf(uint32_t windowsVersion, const wchar_t* installSection, const wchar_t* infPath);
