// Whether a network adapter of the offline Windows is fully registered for
// the installation's boot-time network driver: every key and value the
// network setup writes for it, its driver files on the volume, and the
// consistency of its bindings. Reads only.
#pragma once
#include <stdint.h>

class CMountedImage;

// 1 when the registration is complete and the bindings agree, else 0.
// adapterKey is "{4D36E972-...}\NNNN" below Control\Class; linkageInstance
// names the class instance whose Linkage holds the bindings, or -1;
// connectionGuid names the connection key required with a linkage instance
// from Windows 6 on.
int32_t CheckAdapterRegistration(CMountedImage* image, uint32_t targetVersion, uint32_t controlSet,
                                 const wchar_t* adapterGuid, const wchar_t* serviceName,
                                 const wchar_t* adapterKey, int32_t linkageInstance,
                                 const wchar_t* connectionGuid);

// The name under which the driver dialogs ask the same question.
inline int32_t DescribeAdapterRegistration(CMountedImage* image, uint32_t targetVersion,
                                           uint32_t controlSet, const wchar_t* adapterGuid,
                                           const wchar_t* serviceName, const wchar_t* adapterKey,
                                           int32_t linkageInstance, const wchar_t* connectionGuid) {
  return CheckAdapterRegistration(image, targetVersion, controlSet, adapterGuid, serviceName,
                                  adapterKey, linkageInstance, connectionGuid);
}
