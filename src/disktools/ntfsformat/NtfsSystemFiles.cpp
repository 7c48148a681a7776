// The 27 system records of a new volume, built in the MFT buffer, and the
// data of their non-resident attributes.
#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

#include "disktools/ntfsformat/NtfsRecord.h"
#include "image/ntfs/NtfsFormatSupport.h"

namespace ntfsformat {

namespace {

const uint32_t kSystemRecords = 27;
const uint32_t kBootBytes = 8192;
const uint32_t kSdsBytes = 262396;
const uint32_t kSdsMirror = 262144;
const uint32_t kUpcaseBytes = 131072;
const uint32_t kSecurityIdRead = 0x100;  // $AttrDef and $Boot: read and execute
const uint32_t kSecurityIdWrite = 0x101;
const uint32_t kMaskRead = 0x120089;
const uint32_t kMaskWrite = 0x12019F;
const uint32_t kAttrHiddenSystem = 0x6;
const uint32_t kAttrArchive = 0x20;
const uint32_t kAttrCompressed = 0x800;
const uint32_t kAttrNotIndexed = 0x2000;
const uint32_t kAttrDirectoryIndex = 0x10000000;
const uint32_t kAttrViewIndex = 0x20000000;
const uint64_t kRootRef = FileRef(5, 5);
const uint64_t kExtendRef = FileRef(11, 11);

enum : uint32_t {
  kMft = 0,
  kMftMirr = 1,
  kLogFile = 2,
  kVolume = 3,
  kAttrDef = 4,
  kRoot = 5,
  kBitmap = 6,
  kBoot = 7,
  kBadClus = 8,
  kSecure = 9,
  kUpCase = 10,
  kExtend = 11,
  kQuota = 24,
  kObjId = 25,
  kReparse = 26,
};

MftRecord Record(uint32_t n) {
  FormatState& s = State();
  return MftRecord(s.mft.data() + size_t(n) * s.mftRecordSize, s.mftRecordSize);
}

uint16_t SequenceOf(uint32_t n) {
  return n == 0 || n >= 24 ? 1 : uint16_t(n);
}

// Entries of the $Extend directory, filled by records 24 to 26.
std::vector<std::vector<uint8_t>>& ExtendEntries() {
  static std::vector<std::vector<uint8_t>> entries;
  return entries;
}

// Takes clusters for a value and writes it; the runlist and allocated size
// come back.
int PlaceAndWrite(const void* value, uint64_t length, Runlist* runs, uint64_t* allocated) {
  FormatState& s = State();
  uint64_t count = DivUp(length ? length : 1, s.clusterSize);
  int r = AllocateClusters(count, runs);
  if (r) return r;
  *allocated = count * s.clusterSize;
  if (value && WriteRunlistData(*runs, value, length, kFillValue) < 0) return -errno;
  return 0;
}

// An unnamed or named $DATA: resident when the record keeps 512 bytes free
// behind it, else on clusters of its own. allocated tells the size taken
// (0 for a resident value).
int AddData(MftRecord& rec, const wchar_t* name, const void* value, uint32_t length,
            uint64_t* allocated = nullptr) {
  if (allocated) *allocated = 0;
  if (rec.BytesInUse() + 24 + length <= rec.BytesAllocated() - 512)
    return rec.AddResident(kAttrData, name, value, length);
  Runlist runs;
  uint64_t taken = 0;
  int r = PlaceAndWrite(value, length, &runs, &taken);
  if (r) return r;
  if (allocated) *allocated = taken;
  return rec.AddNonResident(kAttrData, name, runs, taken, length, length);
}

int AddSecurity(MftRecord& rec, const std::vector<uint8_t>& descriptor) {
  uint32_t length = uint32_t(descriptor.size());
  if (rec.BytesInUse() + 24 + length <= rec.BytesAllocated())
    return rec.AddResident(kAttrSecurityDescriptor, nullptr, descriptor.data(), length);
  Runlist runs;
  uint64_t taken = 0;
  int r = PlaceAndWrite(descriptor.data(), length, &runs, &taken);
  if (r) return r;
  return rec.AddNonResident(kAttrSecurityDescriptor, nullptr, runs, taken, length, length);
}

// The file-name attribute of record n in a directory, and its entry in the
// directory's index.
int AddLink(uint32_t n, uint64_t parent, const wchar_t* name, uint64_t allocated, uint64_t dataSize,
            uint32_t attributes, std::vector<std::vector<uint8_t>>& directory) {
  FormatState& s = State();
  MftRecord rec = Record(n);
  if (!allocated) allocated = RoundUp(dataSize, 8);
  std::vector<uint8_t> fileName =
      MakeFileName(parent, name, s.ntfsTime, allocated, dataSize, attributes);
  int r = rec.AddResident(kAttrFileName, nullptr, fileName.data(), uint32_t(fileName.size()), 1);
  if (r) return r;
  rec.AddLink();
  InsertFileNameEntry(directory, MakeFileNameEntry(FileRef(n, SequenceOf(n)), fileName));
  return 0;
}

int LinkInRoot(uint32_t n, const wchar_t* name, uint64_t allocated, uint64_t dataSize,
               uint32_t attributes = kAttrHiddenSystem) {
  return AddLink(n, kRootRef, name, allocated, dataSize, attributes, State().rootEntries);
}

int AddEmptyIndexRoot(MftRecord& rec, const wchar_t* name, uint32_t indexedType, uint32_t collation,
                      const std::vector<std::vector<uint8_t>>& entries) {
  std::vector<uint8_t> root;
  int r = MakeIndexRoot(indexedType, collation, entries, &root);
  if (r) return r;
  return rec.AddResident(kAttrIndexRoot, name, root.data(), uint32_t(root.size()));
}

void PrepareRecords(uint32_t rootAttributes) {
  FormatState& s = State();
  for (uint32_t n = 0; n < s.mftRecords; ++n) {
    MftRecord rec = Record(n);
    rec.Layout(n, n < kSystemRecords ? SequenceOf(n) : uint16_t(n));
  }
  for (uint32_t n = 0; n < kSystemRecords; ++n) {
    MftRecord rec = Record(n);
    if (n < 16 || n >= 24) {
      rec.SetFlags(kRecordInUse);
      s.mftBitmap[n / 8] |= uint8_t(1u << (n % 8));
    }
    uint32_t attributes = kAttrHiddenSystem, securityId = 0;
    switch (n) {
      case kMft:
      case kMftMirr:
      case kLogFile:
      case kBitmap:
      case kBadClus:
      case kUpCase:
        securityId = kSecurityIdRead;
        break;
      case kRoot:
        attributes = kAttrHiddenSystem | kAttrArchive;
        break;
      case kSecure:
        attributes = kAttrViewIndex | kAttrHiddenSystem;
        securityId = kSecurityIdWrite;
        break;
      case kExtend:
        securityId = kSecurityIdWrite;
        break;
      case kQuota:
      case kObjId:
      case kReparse:
        attributes = kAttrViewIndex | kAttrHiddenSystem | kAttrArchive;
        securityId = kSecurityIdWrite;
        break;
    }
    if (n == kRoot) attributes = rootAttributes;
    std::vector<uint8_t> si = MakeStandardInformation(s.ntfsTime, attributes, securityId);
    rec.AddResident(kAttrStandardInformation, nullptr, si.data(), uint32_t(si.size()));
  }
}

int BuildRootDirectory() {
  FormatState& s = State();
  MftRecord rec = Record(kRoot);
  rec.SetFlags(kRecordInUse | kRecordIsDirectory);
  int r = LinkInRoot(kRoot, L".", 0, 0, kAttrDirectoryIndex | kAttrHiddenSystem);
  if (!r) r = AddSecurity(rec, RootDirectoryDescriptor());
  if (r) return r;
  // A large index from the start: the root holds only an end entry that
  // points to the block at VCN 0.
  std::vector<uint8_t> root;
  r = MakeIndexRoot(kAttrFileName, kCollateFileName, {}, &root);
  if (r) return r;
  root.resize(root.size() + 8, 0);
  uint8_t* header = &root[16];
  Put32(header + 4, 16 + 24);
  Put32(header + 8, 16 + 24);
  header[12] = 1;  // large index
  uint8_t* end = &root[32];
  Put16(end + 8, 24);
  Put16(end + 12, 3);  // has a subnode, last entry
  Put64(end + 16, 0);
  r = rec.AddResident(kAttrIndexRoot, L"$I30", root.data(), uint32_t(root.size()));
  if (r) return r;
  uint64_t taken = 0;
  r = PlaceAndWrite(nullptr, s.indexRecordSize, &s.rlRootIndex, &taken);
  if (!r)
    r = rec.AddNonResident(kAttrIndexAllocation, L"$I30", s.rlRootIndex, taken, s.indexRecordSize,
                           s.indexRecordSize);
  uint8_t bitmap[8] = {1};
  if (!r) r = rec.AddResident(kAttrBitmap, L"$I30", bitmap, sizeof bitmap);
  return r;
}

int BuildMftFiles() {
  FormatState& s = State();
  MftRecord mft = Record(kMft);
  uint64_t mftAllocated = RoundUp(s.mftSize, s.clusterSize);
  int r = LinkInRoot(kMft, L"$MFT", mftAllocated, s.mftSize);
  if (!r) r = mft.AddNonResident(kAttrData, nullptr, s.rlMft, mftAllocated, s.mftSize, s.mftSize);
  if (!r)
    r = mft.AddNonResident(kAttrBitmap, nullptr, s.rlMftBitmap, s.clusterSize, s.mftBitmap.size(),
                           s.mftBitmap.size());
  if (r) return r;
  // The bitmap's cluster is written whole, so no bits of an earlier volume
  // remain behind it.
  std::vector<uint8_t> bitmap(s.clusterSize, 0);
  memcpy(bitmap.data(), s.mftBitmap.data(), s.mftBitmap.size());
  if (WriteRunlistData(s.rlMftBitmap, bitmap.data(), bitmap.size(), kFillValue) < 0) return -errno;

  uint64_t mirrorBytes = uint64_t(s.mirrorClusters) * s.clusterSize;
  r = LinkInRoot(kMftMirr, L"$MFTMirr", mirrorBytes, mirrorBytes);
  MftRecord mirror = Record(kMftMirr);
  if (!r)
    r = mirror.AddNonResident(kAttrData, nullptr, s.rlMftMirr, mirrorBytes, mirrorBytes,
                              mirrorBytes);
  if (r) return r;

  r = LinkInRoot(kLogFile, L"$LogFile", s.logFileSize, s.logFileSize);
  MftRecord log = Record(kLogFile);
  if (!r)
    r = log.AddNonResident(kAttrData, nullptr, s.rlLogFile, s.logFileSize, s.logFileSize,
                           s.logFileSize);
  if (!r && WriteRunlistData(s.rlLogFile, nullptr, s.logFileSize, kFillPattern) < 0) r = -errno;
  return r;
}

int BuildAttrDefAndBitmap() {
  FormatState& s = State();
  MftRecord attrDef = Record(kAttrDef);
  uint8_t table[kAttrDefBytes];
  BuildAttrDefTable(table);
  int r = AddSecurity(attrDef, SystemFileDescriptor(kMaskRead));
  uint64_t allocated = 0;
  if (!r) r = AddData(attrDef, nullptr, table, kAttrDefBytes, &allocated);
  if (!r) r = LinkInRoot(kAttrDef, L"$AttrDef", allocated, kAttrDefBytes);
  if (r) return r;

  MftRecord bitmap = Record(kBitmap);
  uint64_t taken = 0;
  r = PlaceAndWrite(nullptr, s.bitmapBytes, &s.rlBitmap, &taken);
  if (!r)
    r = bitmap.AddNonResident(kAttrData, nullptr, s.rlBitmap, taken, s.bitmapBytes, s.bitmapBytes);
  if (!r) r = LinkInRoot(kBitmap, L"$Bitmap", taken, s.bitmapBytes);
  return r;
}

// The boot sector image: the caller's code or a built-in one, with this
// volume's parameter block.
int BuildBoot(int bootChoice, const void* bootCode) {
  FormatState& s = State();
  std::vector<uint8_t> image(kBootBytes, 0);
  if (bootCode)
    memcpy(image.data(), bootCode, kBootBytes);
  else
    CopyBuiltinBootCode(image.data(), bootChoice);
  uint8_t* b = image.data();
  int8_t perMft = ClustersPerRecord(s.mftRecordSize, true);
  int8_t perIndex = ClustersPerRecord(s.indexRecordSize, true);
  if ((perMft < 0 && (s.mftRecordSize & (s.mftRecordSize - 1))) ||
      (perIndex < 0 && (s.indexRecordSize & (s.indexRecordSize - 1))))
    return -EINVAL;
  Put16(b + 11, uint16_t(s.sectorSize));
  b[13] = uint8_t(s.clusterSize / s.sectorSize);
  b[21] = 0xF8;
  Put16(b + 24, s.sectorsPerTrack);
  Put16(b + 26, s.heads);
  Put32(b + 28, uint32_t(s.partitionStartSector));
  b[36] = 0x80;
  b[38] = 0x80;
  Put64(b + 40, s.sectors);
  Put64(b + 48, s.mftLcn);
  Put64(b + 56, s.mftMirrLcn);
  b[64] = uint8_t(perMft);
  b[68] = uint8_t(perIndex);
  uint64_t serial = (uint64_t(uint32_t(rand())) << 32) | uint32_t(rand());
  Put64(b + 72, serial);
  Put32(b + 80, 0);
  if (!IsNtfsBootSector(b)) return -EINVAL;

  MftRecord rec = Record(kBoot);
  uint64_t allocated = RoundUp(kBootBytes, s.clusterSize);
  int r = AddSecurity(rec, SystemFileDescriptor(kMaskRead));
  if (!r) r = rec.AddNonResident(kAttrData, nullptr, s.rlBoot, allocated, kBootBytes, kBootBytes);
  if (!r && WriteRunlistData(s.rlBoot, b, kBootBytes, kFillValue) < 0) r = -errno;
  if (!r) r = LinkInRoot(kBoot, L"$Boot", allocated, kBootBytes);
  if (r) return r;
  // The backup in the partition's last sector; failing it only marks the
  // volume dirty.
  uint32_t backup = s.sectorSize > 512 ? s.sectorSize : 512;
  if (backup > kBootBytes) backup = kBootBytes;
  uint64_t at = (s.sectors + 1) * s.sectorSize - backup;
  s.backupBootFailed = !WritePartition(at, b, backup);
  return 0;
}

int BuildVolume() {
  FormatState& s = State();
  NtfsFormatOptions& o = GetNtfsFormatOptions();
  MftRecord rec = Record(kVolume);
  int r = LinkInRoot(kVolume, L"$Volume", 0, 0);
  if (!r) r = AddSecurity(rec, SystemFileDescriptor(kMaskWrite));
  if (!r) r = rec.AddResident(kAttrData, nullptr, nullptr, 0);
  if (r) return r;
  size_t labelLength = o.label ? wcslen(o.label) : 0;
  if (labelLength > 128) return -ENAMETOOLONG;
  r = rec.AddResident(kAttrVolumeName, nullptr, o.label, uint32_t(2 * labelLength));
  uint8_t info[12] = {};
  info[8] = 3;
  info[9] = 1;
  Put16(info + 10, uint16_t((s.backupBootFailed ? 1 : 0) & 0xC07F));
  if (!r) r = rec.AddResident(kAttrVolumeInformation, nullptr, info, sizeof info);
  if (!r && o.withObjectId) r = rec.AddResident(kAttrObjectId, nullptr, s.volumeGuid, 16);
  return r;
}

int BuildBadClus() {
  FormatState& s = State();
  MftRecord rec = Record(kBadClus);
  uint64_t bytes = s.clusters * s.clusterSize;
  int r = LinkInRoot(kBadClus, L"$BadClus", 0, 0);
  if (!r) r = rec.AddResident(kAttrData, nullptr, nullptr, 0);
  if (!r) r = rec.AddNonResident(kAttrData, L"$Bad", s.rlBad, bytes, bytes, bytes);
  return r;
}

int BuildSecure() {
  MftRecord rec = Record(kSecure);
  rec.SetFlags(kRecordInUse | kRecordIsViewIndex);
  int r = LinkInRoot(kSecure, L"$Secure", 0, 0, kAttrViewIndex | kAttrHiddenSystem);
  if (r) return r;
  // $SDS: the two descriptors, 16-byte aligned, and their mirror copy.
  std::vector<uint8_t> sds(kSdsBytes, 0);
  std::vector<std::vector<uint8_t>> sdh, sii;
  const uint32_t masks[2] = {kMaskRead, kMaskWrite};
  uint32_t at = 0;
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> d = SdsDescriptor(masks[i]);
    uint8_t header[20];
    uint32_t id = kSecurityIdRead + i;
    Put32(header, SecurityHash(d.data(), d.size()));
    Put32(header + 4, id);
    Put64(header + 8, at);
    Put32(header + 16, uint32_t(20 + d.size()));
    memcpy(&sds[at], header, 20);
    memcpy(&sds[at + 20], d.data(), d.size());
    // $SDH: key hash and id, data the header and "II"; $SII: key id.
    std::vector<uint8_t> sdhEntry = MakeViewEntry(header, 8, header, 20);
    memcpy(&sdhEntry[16 + 8 + 20], L"II", 4);
    sdh.insert(sdh.begin() + (!sdh.empty() && Get32(&sdh[0][16]) < Get32(header) ? 1 : 0),
               sdhEntry);
    sii.push_back(MakeViewEntry(header + 4, 4, header, 20));
    at = uint32_t(RoundUp(at + 20 + d.size(), 16));
  }
  memcpy(&sds[kSdsMirror], &sds[0], kSdsBytes - kSdsMirror);
  r = AddData(rec, L"$SDS", sds.data(), kSdsBytes);
  if (!r) r = AddEmptyIndexRoot(rec, L"$SDH", 0, kCollateSecurityHash, sdh);
  if (!r) r = AddEmptyIndexRoot(rec, L"$SII", 0, kCollateULong, sii);
  return r;
}

int BuildUpCase() {
  FormatState& s = State();
  MftRecord rec = Record(kUpCase);
  uint64_t allocated = 0;
  int r = AddData(rec, nullptr, s.upcase.data(), kUpcaseBytes, &allocated);
  if (!r) r = AddData(rec, L"$Info", s.upcaseInfo, sizeof s.upcaseInfo);
  if (!r) r = LinkInRoot(kUpCase, L"$UpCase", allocated, kUpcaseBytes);
  return r;
}

// Records 24 to 26 and the $Extend directory that lists them.
int BuildExtend() {
  FormatState& s = State();
  NtfsFormatOptions& o = GetNtfsFormatOptions();
  std::vector<std::vector<uint8_t>>& entries = ExtendEntries();
  entries.clear();
  const uint32_t extendAttributes = kAttrViewIndex | kAttrHiddenSystem | kAttrArchive;
  for (uint32_t n : {kQuota, kObjId, kReparse}) {
    Record(n).SetFlags(kRecordInUse | kRecordExtendFile);
    const wchar_t* name = n == kQuota ? L"$Quota" : n == kObjId ? L"$ObjId" : L"$Reparse";
    int r = AddLink(n, kExtendRef, name, 0, 0, extendAttributes, entries);
    if (r) return r;
  }
  // $Quota: "$O" maps the administrators' SID to owner id 0x100, "$Q"
  // holds the entries of owner ids 1 and 0x100, unlimited.
  static const uint8_t kAdmins[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  uint32_t adminOwner = 0x100, defaultOwner = 1;
  std::vector<std::vector<uint8_t>> owners = {MakeViewEntry(kAdmins, 16, &adminOwner, 4)};
  std::vector<std::vector<uint8_t>> quotas;
  for (uint32_t owner : {defaultOwner, adminOwner}) {
    uint8_t q[64] = {};
    Put32(q, 2);
    Put32(q + 4, 1);
    Put64(q + 16, s.ntfsTime);
    Put64(q + 24, ~uint64_t(0));
    Put64(q + 32, ~uint64_t(0));
    uint16_t length = 48;
    if (owner == adminOwner) {
      memcpy(q + 48, kAdmins, 16);
      length = 64;
    }
    quotas.push_back(MakeViewEntry(&owner, 4, q, length));
  }
  MftRecord quota = Record(kQuota);
  int r = AddEmptyIndexRoot(quota, L"$O", 0, kCollateSid, owners);
  if (!r) r = AddEmptyIndexRoot(quota, L"$Q", 0, kCollateULong, quotas);
  if (r) return r;
  // $ObjId: the volume's object id with the option.
  std::vector<std::vector<uint8_t>> objectIds;
  if (o.withObjectId) {
    uint8_t data[56] = {};
    Put64(data, FileRef(kVolume, kVolume));
    memcpy(data + 24, s.volumeGuid, 16);
    objectIds.push_back(MakeViewEntry(s.volumeGuid, 16, data, sizeof data));
  }
  MftRecord objId = Record(kObjId);
  r = AddEmptyIndexRoot(objId, L"$O", 0, kCollateULongs, objectIds);
  MftRecord reparse = Record(kReparse);
  if (!r) r = AddEmptyIndexRoot(reparse, L"$R", 0, kCollateULongs, {});
  if (r) return r;

  MftRecord extend = Record(kExtend);
  extend.SetFlags(kRecordInUse | kRecordIsDirectory);
  r = LinkInRoot(kExtend, L"$Extend", 0, 0, kAttrDirectoryIndex | kAttrHiddenSystem);
  if (!r) r = AddEmptyIndexRoot(extend, L"$I30", kAttrFileName, kCollateFileName, entries);
  return r;
}

int BuildReserved() {
  for (uint32_t n = 12; n < 16; ++n) {
    MftRecord rec = Record(n);
    int r = rec.AddResident(kAttrData, nullptr, nullptr, 0);
    if (!r) r = AddSecurity(rec, SystemFileDescriptor(kMaskWrite));
    if (r) return r;
  }
  return 0;
}

}  // namespace

int CreateNtfsSystemFiles(int bootChoice, const void* bootCode) {
  NtfsFormatOptions& o = GetNtfsFormatOptions();
  uint32_t rootAttributes = kAttrHiddenSystem | kAttrArchive;
  if (o.disableIndexing) rootAttributes |= kAttrNotIndexed;
  if (o.enableCompression) rootAttributes |= kAttrCompressed;
  PrepareRecords(rootAttributes);
  int r = BuildRootDirectory();
  if (!r) r = BuildMftFiles();
  if (!r) r = BuildAttrDefAndBitmap();
  if (!r) r = BuildBoot(bootChoice, bootCode);
  if (!r) r = BuildVolume();
  if (!r) r = BuildBadClus();
  if (!r) r = BuildSecure();
  if (!r) r = BuildUpCase();
  if (!r) r = BuildExtend();
  if (!r) r = BuildReserved();
  if (r) {
    errno = -r;
    return 0;
  }
  return 1;
}

int WriteRootIndexBlock() {
  FormatState& s = State();
  std::vector<uint8_t> block(s.indexRecordSize, 0);
  uint8_t* b = block.data();
  uint16_t usaCount = uint16_t(s.indexRecordSize / 512 + 1);
  memcpy(b, "INDX", 4);
  Put16(b + 4, 40);
  Put16(b + 6, usaCount);
  Put64(b + 16, 0);  // VCN 0
  Put16(b + 40, 1);
  uint32_t entriesAt = uint32_t(RoundUp(40 + 2u * usaCount, 8));
  uint8_t* header = b + 24;
  uint32_t at = entriesAt;
  for (const auto& e : s.rootEntries) {
    if (at + e.size() + 16 > s.indexRecordSize) return -ENOSPC;
    memcpy(b + at, e.data(), e.size());
    at += uint32_t(e.size());
  }
  Put16(b + at + 8, 16);
  Put16(b + at + 12, 2);
  at += 16;
  Put32(header, entriesAt - 24);
  Put32(header + 4, at - 24);
  Put32(header + 8, s.indexRecordSize - 24);
  ProtectMultiSector(b, s.indexRecordSize);
  if (WriteRunlistData(s.rlRootIndex, b, s.indexRecordSize, kFillValue) !=
      int64_t(s.indexRecordSize))
    return -(errno ? errno : EIO);
  return 0;
}

}  // namespace ntfsformat
