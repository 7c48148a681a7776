// CMountedImage: cloning its NTFS volume, and its disk's EFI system
// partition, onto another image's. The engine
// belongs to the disk tools above this layer; they install it here.
#include "image/mount/MountedImage.h"

namespace {

CMountedImage::NtfsCloner g_NtfsCloner = nullptr;
CMountedImage::EspCopier g_EspCopier = nullptr;

}  // namespace

void CMountedImage::SetNtfsCloner(NtfsCloner cloner) { g_NtfsCloner = cloner; }

void CMountedImage::SetEspCopier(EspCopier copier) { g_EspCopier = copier; }

int CMountedImage::CloneVolumeTo(CMountedImage* target, const ClusterRun* skip, int bootMode,
                                 DiskCopyProgressCallback callback, void* context)
{
    if (!g_NtfsCloner || !m_pNtfs || !target || !target->m_pNtfs)
        return -1;
    return g_NtfsCloner(m_pNtfs, target->m_pNtfs, skip, bootMode, callback, context);
}

int CMountedImage::CopyEspTo(CMountedImage* target)
{
    if (!g_EspCopier || !m_pNtfs || !target || !target->m_pNtfs)
        return -1;
    return g_EspCopier(m_pNtfs, target->m_pNtfs);
}
