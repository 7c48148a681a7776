// Pictures of the file viewer through GDI+ (its flat interface): decoding
// from bytes in memory and drawing shrunk to fit.
#pragma once
#include <windows.h>
#include <objidl.h>

struct ViewerPicture {
  void* image = nullptr;  // the GDI+ image; null when none
  UINT width = 0, height = 0;
  HGLOBAL block = nullptr;  // the bytes the stream reads
  IStream* stream = nullptr;
};

// Decodes the bytes as any picture GDI+ knows; false (and nothing kept)
// when they are none.
bool LoadViewerPicture(const BYTE* bytes, DWORD size, ViewerPicture* picture);
void FreeViewerPicture(ViewerPicture* picture);

// The size a w x h picture is drawn at in a W x H area: shrunk to fit with
// its proportions, never enlarged.
void FitPictureSize(int w, int h, int areaWidth, int areaHeight, int* width, int* height);

// Draws the picture centred in `area` of the device context.
void DrawViewerPicture(HDC dc, const ViewerPicture& picture, const RECT& area);
