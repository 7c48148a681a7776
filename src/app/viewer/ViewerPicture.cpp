#include "app/viewer/ViewerPicture.h"

// The few flat GDI+ functions the viewer calls.
extern "C" {
struct ViewerGdiplusStartupInput {
  UINT32 version;
  void* debugEventCallback;
  BOOL suppressBackgroundThread;
  BOOL suppressExternalCodecs;
};
int WINAPI GdiplusStartup(ULONG_PTR* token, const ViewerGdiplusStartupInput* input, void* output);
int WINAPI GdipLoadImageFromStream(IStream* stream, void** image);
int WINAPI GdipGetImageWidth(void* image, UINT* width);
int WINAPI GdipGetImageHeight(void* image, UINT* height);
int WINAPI GdipDisposeImage(void* image);
int WINAPI GdipCreateFromHDC(HDC dc, void** graphics);
int WINAPI GdipDeleteGraphics(void* graphics);
int WINAPI GdipDrawImageRectRectI(void* graphics, void* image, INT dstX, INT dstY, INT dstWidth,
                                  INT dstHeight, INT srcX, INT srcY, INT srcWidth, INT srcHeight,
                                  int srcUnit, void* attributes, void* callback, void* data);
}

namespace {

constexpr int kUnitPixel = 2;

// GDI+ is started once for the process and left running.
bool StartGdiplus() {
  static LONG state = 0;  // 0 not tried, 1 running, 2 failed
  if (state == 0) {
    ULONG_PTR token = 0;
    ViewerGdiplusStartupInput input = {1, nullptr, FALSE, FALSE};
    state = GdiplusStartup(&token, &input, nullptr) == 0 ? 1 : 2;
  }
  return state == 1;
}

}  // namespace

bool LoadViewerPicture(const BYTE* bytes, DWORD size, ViewerPicture* picture) {
  *picture = ViewerPicture();
  if (!size || !StartGdiplus()) return false;
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (!block) return false;
  void* target = GlobalLock(block);
  if (!target) {
    GlobalFree(block);
    return false;
  }
  memcpy(target, bytes, size);
  GlobalUnlock(block);
  IStream* stream = nullptr;
  void* image = nullptr;
  if (FAILED(CreateStreamOnHGlobal(block, FALSE, &stream)) ||
      GdipLoadImageFromStream(stream, &image) != 0 || !image) {
    if (stream) stream->Release();
    GlobalFree(block);
    return false;
  }
  picture->image = image;
  picture->block = block;
  picture->stream = stream;
  GdipGetImageWidth(image, &picture->width);
  GdipGetImageHeight(image, &picture->height);
  return true;
}

void FreeViewerPicture(ViewerPicture* picture) {
  if (picture->image) GdipDisposeImage(picture->image);
  if (picture->stream) picture->stream->Release();
  if (picture->block) GlobalFree(picture->block);
  *picture = ViewerPicture();
}

void FitPictureSize(int w, int h, int areaWidth, int areaHeight, int* width, int* height) {
  int cx = w, cy = h;
  if (cx > areaWidth && cx > 0) {
    cy = int((long long)h * areaWidth / w);
    cx = areaWidth;
  }
  if (cy > areaHeight && h > 0) {
    cx = int((long long)w * areaHeight / h);
    cy = areaHeight;
  }
  if (cx > areaWidth && w > 0) {
    cy = int((long long)h * areaWidth / w);
    cx = areaWidth;
  }
  *width = cx;
  *height = cy;
}

void DrawViewerPicture(HDC dc, const ViewerPicture& picture, const RECT& area) {
  const int areaWidth = area.right - area.left, areaHeight = area.bottom - area.top;
  if (!picture.image || areaWidth <= 0 || areaHeight <= 0) return;
  int cx, cy;
  FitPictureSize(int(picture.width), int(picture.height), areaWidth, areaHeight, &cx, &cy);
  void* graphics = nullptr;
  if (GdipCreateFromHDC(dc, &graphics) != 0) return;
  GdipDrawImageRectRectI(graphics, picture.image, area.left + (areaWidth - cx) / 2,
                         area.top + (areaHeight - cy) / 2, cx, cy, 0, 0, int(picture.width),
                         int(picture.height), kUnitPixel, nullptr, nullptr, nullptr);
  GdipDeleteGraphics(graphics);
}
