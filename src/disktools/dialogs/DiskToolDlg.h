// CDiskToolDlg: what the backup, clone, convert and create dialogs share:
// the running and stop flags of their worker, the progress callback of the
// copy engines, the host volume lists, the file-name combo boxes and the
// status text.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>

#include <string>

#include "ui/Window.h"
#include "ui/WindowThread.h"

class CDiskToolDlg : public CWindow {
 public:
  CDiskToolDlg();

  // The engines' progress callback (context: the dialog, may be null):
  // moves the progress bar when the percentage changes; false once the
  // stop flag is set.
  static int __stdcall DialogEngineProgress(uint32_t done, uint32_t total, void* context);

  // A row of a host volume list: the name ("label (X:)", or "(X:)"), the
  // drive letter as item data and, when sizeMiB is not -1, "%I64u MB".
  static void AddVolumeRow(HWND list, wchar_t letter, const wchar_t* label, int64_t sizeMiB);
  // The drive letter of the list's selected row, 0 without one.
  static wchar_t SelectedLetter(HWND list);

  // While a worker runs the window only asks it to stop.
  LRESULT OnClose(WPARAM wParam) override;
  LRESULT OnNotify(int controlId, NMHDR* header) override;
  LRESULT OnCtlColor(HDC dc, HWND control, int kind) override;

  volatile LONG m_running;
  volatile LONG m_stop;
  int m_lastPercent;
  // A 32-bit process on 64-bit Windows cannot back up or clone; set from
  // the system when the dialog is made.
  BOOL m_wow64;

 protected:
  // Icons, list views (full-row select, explorer theme, name and size
  // columns), and each file-name combo's text limit and cue text.
  void InitControls(const int* lists, int listCount, const int* combos, int comboCount);
  // Every fixed NTFS drive as a row of the list.
  static void FillNtfsVolumeList(HWND list);
  // The combo's selected string, else its edit text (360 characters).
  void GetComboPath(int comboId, wchar_t* out);
  // Enables or disables the controls and the close box together.
  void EnableControls(const int* ids, int count, BOOL enable);
  // The question whether an existing file may be replaced (string 215 and
  // the path); true when it does not exist or the answer is Yes.
  bool ConfirmOverwrite(const wchar_t* path);
  // The status text: a string, or empty for 0.
  void SetStatus(UINT stringId);
  // Starts worker on a new thread with the controls disabled; the running
  // flag is set from here until the worker has finished, and the stop flag
  // is cleared, so that closing the window from now on stops the run.
  template <class T>
  void StartWorker(T* self, DWORD (T::*worker)(LPARAM), const int* controls, int count);
  // Progress to 0..100 at 0, status cleared.
  void BeginRun();
  // The worker's last step: after a copy (outcome 1 succeeded, 0 failed)
  // the progress goes back to 0 and a failure shows the stop or error
  // message, and a box with the lines that name its cause (`why`, the lines
  // the run gave: common/ConsoleOutput.h) unless it was stopped; the
  // controls are enabled again and the running flag cleared; a success
  // closes the dialog. The object may be gone afterwards.
  enum { RUN_NOTHING = -1, RUN_FAILED = 0, RUN_SUCCEEDED = 1 };
  void FinishWorker(int outcome, const int* controls, int count, const std::wstring& why = L"");
  // The list's custom draw: selected rows keep the highlight colours when
  // the list has no focus.
  LRESULT DrawVolumeRow(NMLVCUSTOMDRAW* draw);
};

template <class T>
void CDiskToolDlg::StartWorker(T* self, DWORD (T::*worker)(LPARAM), const int* controls,
                               int count) {
  if (InterlockedExchange(&m_running, 1)) return;
  InterlockedExchange(&m_stop, 0);
  EnableControls(controls, count, FALSE);
  HANDLE thread = StartWindowThread(self, worker, 0);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  EnableControls(controls, count, TRUE);
  InterlockedExchange(&m_running, 0);
}

// SetWindowTheme(window, "explorer") from uxtheme.dll when the host Windows
// is newer than version 5.
void SetExplorerListTheme(HWND list, DWORD windowsVersion);
