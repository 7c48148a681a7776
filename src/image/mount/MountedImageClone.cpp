// CMountedImage: cloning its NTFS volume onto another image's. The engine
// belongs to the disk tools above this layer; they install it here.
#include "image/mount/MountedImage.h"

namespace {

CMountedImage::NtfsCloner g_NtfsCloner = nullptr;

}  // namespace

void CMountedImage::SetNtfsCloner(NtfsCloner cloner) { g_NtfsCloner = cloner; }

int CMountedImage::CloneVolumeTo(CMountedImage* target, const ClusterRun* skip, int bootMode,
                                 DiskCopyProgressCallback callback, void* context)
{
    if (!g_NtfsCloner || !m_pNtfs || !target || !target->m_pNtfs)
        return -1;
    return g_NtfsCloner(m_pNtfs, target->m_pNtfs, skip, bootMode, callback, context);
}
