// CTextProgress: a progress bar that prints its window text over the bar and
// runs a highlight sweep across the filled part. The owner starts timer 1
// (kSweepPause); each sweep then crosses the bar on timer 2 in steps of
// kSweepStep pixels and the next starts kSweepPause after it ends.
#pragma once
#include "ui/Window.h"

class CTextProgress : public CWindow {
 public:
  static const UINT_PTR kPauseTimer = 1, kStepTimer = 2;
  static const UINT kSweepPause = 1025, kSweepInterval = 36;
  static const int kSweepStart = -120, kSweepStep = 12;

  CTextProgress(HWND progressBar, CWindow* owner);
  LRESULT OnPaint() override;
  void OnTimer(UINT_PTR id) override;
  void OnDestroy() override;

  int m_sweepOffset;
  BOOL m_sweepRunning;
};
