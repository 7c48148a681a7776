// Lines that tell the operator what happened to an image file the program
// refused or started afresh: printed by the command that met it.
#pragma once

enum VroOverlayNoticeKind {
  VRO_NOTICE_DAMAGED_MAP,        // an own-format file whose map fails its checks
  VRO_NOTICE_DAMAGED_HEADER,     // an own-format file whose header fails its checks
  VRO_NOTICE_NOT_OVERLAY,        // an overlay path that holds no own-format overlay
  VRO_NOTICE_NOT_LINKED,         // an overlay that belongs to another base
  VRO_NOTICE_STALE_KEPT,         // a write-back of another base state, kept (read-only open)
  VRO_NOTICE_STALE_DISCARDED,    // a write-back of another base state, started afresh
  VRO_NOTICE_UNUSABLE_DISCARDED  // a write-back marked unusable, started afresh
};

typedef void (*VroOverlayNoticeFn)(const wchar_t* path, int kind);

// Prints (or hands to the installed function) one line naming the file.
void VroOverlayNotice(const wchar_t* path, int kind);
// Installs fn (null: the standard output); returns the one before.
VroOverlayNoticeFn VroSetOverlayNotice(VroOverlayNoticeFn fn);
