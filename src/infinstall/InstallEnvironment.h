// What %name% stands for in the INF text of one installation: the INF's own
// strings (a store's INF has its strings in its lines already), and the
// directory ids of the offline Windows, named by their number, holding
// paths written as if the image's volume were drive C:. Nothing of the
// host's environment is a substitution (the host's %TEMP% is no folder of
// the image). One installation at a time per process: a second one waits
// until the first has ended.
#pragma once
#include "common/ProcessEnvironment.h"

class CInfInstaller;

class CInstallEnvironment {
 public:
  CInstallEnvironment() = default;
  ~CInstallEnvironment() { Restore(); }
  CInstallEnvironment(const CInstallEnvironment&) = delete;
  CInstallEnvironment& operator=(const CInstallEnvironment&) = delete;

  // Takes the process's INF lease and defines the strings of the INF (when
  // given) and the directory ids for the installer's image and target. 1 on
  // success; 0 (nothing defined) when the image has no Windows folder or
  // this thread holds the lease already.
  int Setup(const CInfInstaller* installer, const wchar_t* infPath = nullptr);
  // Ends the lease: the directory ids are no substitutions any more.
  void Restore();

 private:
  CProcessEnvironment* m_pLease = nullptr;
};
