// One INF operation of the process at a time (a driver installation, a
// driver-store import), holding the %name% substitutions of the INF text it
// reads: the INF's strings, or the directory ids of the target Windows.
// They are the operation's own: no variable of the process environment
// stands for a %name% (the host's %TEMP% is nothing of the image), and the
// environment is given back as it was when the operation ends.
#pragma once
#include <map>
#include <string>
#include <vector>

class CProcessEnvironment {
 public:
  // Waits until no other thread holds the environment, then takes a
  // snapshot of it. A thread that already holds it gets a lease that is
  // not held (Held() false) and changes nothing.
  CProcessEnvironment();
  // Restores the snapshot (when not done yet) and lets the next one in.
  ~CProcessEnvironment();
  CProcessEnvironment(const CProcessEnvironment&) = delete;
  CProcessEnvironment& operator=(const CProcessEnvironment&) = delete;

  bool Held() const { return m_bHeld; }

  // What %name% stands for while this lease lives (names compared without
  // regard to case; a later definition of a name replaces the earlier).
  void Define(const std::wstring& name, const std::wstring& value);
  // The text of %name% in the innermost lease of the calling thread that
  // defines it; false when none does (or the thread holds no lease).
  static bool FindDefinition(const std::wstring& name, std::wstring* value);

  // Makes the environment what the snapshot holds again, whole: variables
  // added since are removed, every other one gets its old value back
  // whatever its length.
  void Restore();

 private:
  struct Variable {
    std::wstring name;
    std::wstring value;
  };
  struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const;
  };
  static void ReadAll(std::vector<Variable>& out);

  std::vector<Variable> m_Snapshot;
  std::map<std::wstring, std::wstring, NoCase> m_Definitions;
  bool m_bHeld = false;
  bool m_bRestored = false;
};
