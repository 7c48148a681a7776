// The process environment of one INF installation: the host's variables put
// aside (but Path, WinDir, TEMP and TMP), and the directory ids of the
// offline Windows as variables named by their number, holding paths written
// as if the image's volume were drive C:. INF text is then expanded with
// the system's own %name% expansion. One installation at a time per process:
// a second one waits until the first has restored the environment.
#pragma once
#include "common/ProcessEnvironment.h"

class CInfInstaller;

class CInstallEnvironment {
 public:
  CInstallEnvironment() = default;
  ~CInstallEnvironment() { Restore(); }
  CInstallEnvironment(const CInstallEnvironment&) = delete;
  CInstallEnvironment& operator=(const CInstallEnvironment&) = delete;

  // Takes the environment, clears it and sets the directory-id variables
  // for the installer's image and target. 1 on success; 0 (environment
  // untouched) when the image has no Windows folder or the environment is
  // already held by this thread.
  int Setup(const CInfInstaller* installer);
  // Removes the directory ids and gives the host's environment back whole.
  void Restore();

 private:
  CProcessEnvironment* m_pLease = nullptr;
};
