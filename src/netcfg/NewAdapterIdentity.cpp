#include "netcfg/NewAdapterIdentity.h"

#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "infinstall/InfInstaller.h"
#include "netcfg/NetRegistry.h"
#include "netcfg/NsiInterface.h"

namespace {

// A class instance with an instance id (0x80) that is a physical or
// software adapter (0x01 or 0x04).
bool QualifiedCharacteristics(uint32_t characteristics) {
  return (characteristics & 0x80) != 0 && (characteristics & 0x05) != 0;
}

// The keys a candidate GUID is tested for.
enum CandidateKey {
  kTcpipInterface,  // services\Tcpip\Parameters\Interfaces\G
  kTcpipAdapter,    // services\Tcpip\Parameters\Adapters\G
  kLwfAdapter,      // services\VRO_LWF\Parameters\NdisAdapters\G
  kNdisAdapter,     // services\VRONDIS\Parameters\Adapters\G
  kKernel,          // Control\NetworkSetup2\Interfaces\G\Kernel
  kConnection,      // Control\Network\<class>\G
};

const wchar_t* const kCandidateKeyFormats[] = {
    L"services\\Tcpip\\Parameters\\Interfaces\\%s",
    L"services\\Tcpip\\Parameters\\Adapters\\%s",
    L"services\\VRO_LWF\\Parameters\\NdisAdapters\\%s",
    L"services\\VRONDIS\\Parameters\\Adapters\\%s",
    L"Control\\NetworkSetup2\\Interfaces\\%s\\Kernel",
};

struct ClassInstance {
  std::wstring guid;
  bool qualified;
};

class IdentitySearch {
 public:
  IdentitySearch(CInfInstaller* installer, wchar_t* guidOut, uint32_t* index,
                 const std::vector<std::wstring>* taken)
      : m_image(installer->Image),
        m_installer(installer),
        m_cs(installer->ControlSet),
        m_guidOut(guidOut),
        m_index(index),
        m_taken(taken) {
    const std::wstring classKey = Path(L"Control\\Class\\%s", installer->ClassGuid);
    for (const std::wstring& name : ListRegistrySubkeys(m_image, classKey)) {
      ClassInstance instance = {std::wstring(), false};
      uint32_t characteristics = 0;
      if (!ReadRegistryText(m_image, classKey + L"\\" + name, L"NetCfgInstanceId", instance.guid))
        continue;
      instance.qualified = ReadRegistryDword(m_image, classKey + L"\\" + name, L"Characteristics",
                                             characteristics) &&
                           QualifiedCharacteristics(characteristics);
      m_instances.push_back(instance);
    }
  }

  int32_t Windows10() {
    for (const std::wstring& g : Subkeys(L"Control\\NetworkSetup2\\Interfaces"))
      if (!Taken(g) && HasTcpip(g) && Has(kLwfAdapter, g) && !Claimed(g) && TakeKernelIndex(g))
        return 1;
    for (const ClassInstance& instance : m_instances) {
      const std::wstring& g = instance.guid;
      if (!Taken(g) && instance.qualified && HasTcpip(g) && Has(kLwfAdapter, g) &&
          Has(kKernel, g) && TakeKernelIndex(g))
        return 1;
    }
    for (const std::wstring& g : Subkeys(L"services\\VRO_LWF\\Parameters\\NdisAdapters"))
      if (!Taken(g) && HasTcpip(g)) return TakeNsiIndex(g);
    return 0;
  }

  int32_t BeforeWindows10() {
    for (const std::wstring& g :
         Subkeys(L"Control\\Network\\" + std::wstring(m_installer->ClassGuid)))
      if (!Taken(g) && HasTcpip(g) && (Has(kNdisAdapter, g) || Has(kLwfAdapter, g)) &&
          !Claimed(g))
        return TakeNsiIndex(g);
    for (const ClassInstance& instance : m_instances) {
      const std::wstring& g = instance.guid;
      if (!Taken(g) && instance.qualified && Has(kConnection, g) && HasTcpip(g) &&
          Has(kNdisAdapter, g))
        return TakeNsiIndex(g);
    }
    for (const wchar_t* source : {L"services\\VRONDIS\\Parameters\\Adapters",
                                  L"services\\VRO_LWF\\Parameters\\NdisAdapters"})
      for (const std::wstring& g : Subkeys(source))
        if (!Taken(g) && HasTcpip(g)) return TakeNsiIndex(g);
    return 0;
  }

 private:
  std::wstring Path(const wchar_t* format, const wchar_t* text) const {
    return SystemKeyPath(m_cs, format, text);
  }

  std::vector<std::wstring> Subkeys(const std::wstring& tail) const {
    return ListRegistrySubkeys(m_image, Path(L"%s", tail.c_str()));
  }

  // Whether the candidate's key of one kind exists.
  // Both TCP/IP keys of the candidate.
  bool HasTcpip(const std::wstring& g) const {
    return Has(kTcpipInterface, g) && Has(kTcpipAdapter, g);
  }

  bool Has(CandidateKey kind, const std::wstring& g) const {
    if (kind == kConnection)
      return RegistryKeyExists(m_image, SystemKeyPath(m_cs, L"Control\\Network\\%s\\%s",
                                                      m_installer->ClassGuid, g.c_str()));
    return RegistryKeyExists(m_image, Path(kCandidateKeyFormats[kind], g.c_str()));
  }

  bool Claimed(const std::wstring& g) const {
    for (const ClassInstance& instance : m_instances)
      if (_wcsicmp(instance.guid.c_str(), g.c_str()) == 0) return true;
    return false;
  }

  // An identity another adapter of the same run holds already.
  bool Taken(const std::wstring& g) const {
    if (m_taken)
      for (const std::wstring& t : *m_taken)
        if (_wcsicmp(t.c_str(), g.c_str()) == 0) return true;
    return false;
  }

  void CopyOut(const std::wstring& g) {
    size_t n = g.size() < kAdapterGuidChars - 1 ? g.size() : kAdapterGuidChars - 1;
    memcpy(m_guidOut, g.data(), n * sizeof(wchar_t));
    m_guidOut[n] = 0;
  }

  // The candidate with the "NetLuidIndex" of its Kernel key; false when
  // that cannot be read (the text stays copied).
  bool TakeKernelIndex(const std::wstring& g) {
    CopyOut(g);
    uint32_t index = 0;
    if (!ReadRegistryDword(m_image,
                           Path(L"Control\\NetworkSetup2\\Interfaces\\%s\\Kernel", g.c_str()),
                           L"NetLuidIndex", index))
      return false;
    *m_index = index;
    return true;
  }

  int32_t TakeNsiIndex(const std::wstring& g) {
    CopyOut(g);
    *m_index = RegisterNsiInterface(m_image, m_installer->TargetVersion, m_cs, g.c_str());
    return 1;
  }

  CMountedImage* m_image;
  CInfInstaller* m_installer;
  uint32_t m_cs;
  wchar_t* m_guidOut;
  uint32_t* m_index;
  const std::vector<std::wstring>* m_taken;
  std::vector<ClassInstance> m_instances;
};

}  // namespace

int32_t PrepareNewAdapterIdentity(CInfInstaller* installer, wchar_t* guidOut,
                                  uint32_t* netLuidIndex, const std::vector<std::wstring>* taken) {
  if (netLuidIndex) *netLuidIndex = kNsiNoIndex;
  if (!installer || !installer->Image || !installer->ClassGuid || !guidOut || !netLuidIndex)
    return 0;
  IdentitySearch search(installer, guidOut, netLuidIndex, taken);
  return installer->TargetMajor() >= 10 ? search.Windows10() : search.BeforeWindows10();
}
