// CMountedImage: cloning its NTFS volume, and its disk's EFI system
// partition, onto another image's, and the disk-layout templates for such
// copies. The engines belong to the disk tools above this layer. The engine
// belongs to the disk tools above this layer; they install it here.
#include "image/mount/MountedImage.h"

#include <string>

#include "common/ConsoleOutput.h"
#include "image/ntfs/NtfsVolume.h"

namespace {

CMountedImage::NtfsCloner g_NtfsCloner = nullptr;
CMountedImage::EspCopier g_EspCopier = nullptr;
CMountedImage::DiskLayoutRoutines g_Layout = {};

}  // namespace

void CMountedImage::SetNtfsCloner(NtfsCloner cloner) {
  g_NtfsCloner = cloner;
}

void CMountedImage::SetEspCopier(EspCopier copier) {
  g_EspCopier = copier;
}

int CMountedImage::CloneVolumeTo(CMountedImage* target, const ClusterRun* skip, int bootMode,
                                 DiskCopyProgressCallback callback, void* context) {
  if (!g_NtfsCloner || !m_pNtfs || !target || !target->m_pNtfs) return -1;
  // Clusters go over as they are, the boot sector with them: a volume is
  // copied only onto a disk of sectors of its own size (a new image has
  // 512-byte sectors).
  NtfsVolumeFigures from, to;
  if (GetNtfsVolumeFigures(m_pNtfs, &from, false) < 0 ||
      GetNtfsVolumeFigures(target->m_pNtfs, &to, false) < 0)
    return -1;
  if (from.sectorSize != to.sectorSize) {
    WriteCommandLine((ImagePath().empty() ? std::wstring(L"The source volume") : ImagePath()) +
                     L": its volume has " + std::to_wstring(from.sectorSize) +
                     L"-byte sectors, the target's disk " + std::to_wstring(to.sectorSize) +
                     L"-byte ones: a volume is copied only onto sectors of its own size: nothing "
                     L"copied\r\n");
    return -1;
  }
  return g_NtfsCloner(m_pNtfs, target->m_pNtfs, skip, bootMode, callback, context);
}

int CMountedImage::CopyEspTo(CMountedImage* target) {
  if (!g_EspCopier || !m_pNtfs || !target || !target->m_pNtfs) return -1;
  return g_EspCopier(m_pNtfs, target->m_pNtfs);
}

void CMountedImage::SetDiskLayoutRoutines(const DiskLayoutRoutines& routines) {
  g_Layout = routines;
}

bool CMountedImage::ReadBootCode(uint8_t* buffer8192) {
  return m_pNtfs && g_Layout.readBootCode && g_Layout.readBootCode(m_pNtfs, buffer8192);
}

bool CMountedImage::ReadMbrTemplate(uint8_t* buffer512) {
  return m_pNtfs && g_Layout.readMbrTemplate && g_Layout.readMbrTemplate(m_pNtfs, buffer512);
}

int CMountedImage::PrepareGptCopy(uint8_t* diskGuid, uint8_t* entries256) {
  return m_pNtfs && g_Layout.prepareGptCopy ? g_Layout.prepareGptCopy(m_pNtfs, diskGuid, entries256)
                                            : 0;
}

int CMountedImage::GetPartitionGuid(uint8_t* guid) {
  return m_pNtfs && g_Layout.getPartitionGuid ? g_Layout.getPartitionGuid(m_pNtfs, guid) : 0;
}
