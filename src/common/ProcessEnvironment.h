// The process environment as a resource that one operation at a time may
// change: INF strings and directory ids travel as environment variables for
// the length of a driver installation or a driver-store import, and two of
// them at once would see each other's variables.
#pragma once
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

  // Removes every variable whose name is not one of `keep` (compared
  // without regard to case). The per-drive entries ("=C:=...") stay.
  void KeepOnly(const wchar_t* const* keep, size_t count);
  // Makes the environment what the snapshot holds again, whole: variables
  // added since are removed, every other one gets its old value back
  // whatever its length.
  void Restore();

 private:
  struct Variable {
    std::wstring name;
    std::wstring value;
  };
  static void ReadAll(std::vector<Variable>& out);

  std::vector<Variable> m_Snapshot;
  bool m_bHeld = false;
  bool m_bRestored = false;
};
