#include "ui/DialogTemplateFont.h"

#include <cstring>

namespace {

// Walks the template's WORDs without passing its end.
class TemplateReader {
 public:
  TemplateReader(const void* data, DWORD size)
      : m_p(static_cast<const WORD*>(data)), m_end(m_p + size / sizeof(WORD)) {}
  bool Skip(size_t words) {
    if (size_t(m_end - m_p) < words) return false;
    m_p += words;
    return true;
  }
  bool Word(WORD* out) {
    if (m_p >= m_end) return false;
    *out = *m_p++;
    return true;
  }
  // A menu or class field: 0 (none), 0xFFFF and an ordinal, or a text.
  bool SkipNameOrOrdinal() {
    WORD first = 0;
    if (!Word(&first)) return false;
    if (first == 0) return true;
    if (first == 0xFFFF) return Skip(1);
    return SkipText();
  }
  bool SkipText() {
    while (m_p < m_end)
      if (*m_p++ == 0) return true;
    return false;
  }
  // Copies a text into `out` (`chars` with its terminator), cut to fit.
  bool Text(wchar_t* out, int chars) {
    int n = 0;
    while (m_p < m_end) {
      const WORD c = *m_p++;
      if (c == 0) {
        out[n] = 0;
        return true;
      }
      if (n < chars - 1) out[n++] = wchar_t(c);
    }
    return false;
  }

 private:
  const WORD* m_p;
  const WORD* m_end;
};

}  // namespace

int ReadDialogTemplateFont(const void* tpl, DWORD size, HWND window, LOGFONTW* out) {
  if (!out) return 0;
  memset(out, 0, sizeof *out);
  if (!tpl || size < 26) return 0;
  const WORD* w = static_cast<const WORD*>(tpl);
  if (w[0] != 1 || w[1] != 0xFFFF) return 0;
  DWORD style = 0;
  memcpy(&style, w + 6, sizeof style);
  // The font fields exist only with DS_SETFONT (DS_SHELLFONT includes it).
  if (!(style & DS_SETFONT)) return 0;
  TemplateReader reader(tpl, size);
  // Version, signature, help id, extended style, style, item count and the
  // four coordinates; then menu, class and title.
  WORD points = 0, weight = 0, italicCharset = 0;
  if (!reader.Skip(13) || !reader.SkipNameOrOrdinal() || !reader.SkipNameOrOrdinal() ||
      !reader.SkipText() || !reader.Word(&points) || !reader.Word(&weight) ||
      !reader.Word(&italicCharset))
    return 0;
  wchar_t face[LF_FACESIZE];
  if (!reader.Text(face, LF_FACESIZE) || !face[0]) return 0;
  HDC dc = GetDC(window);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(window, dc);
  out->lfHeight = -MulDiv(points, dpi, 72);
  out->lfWeight = weight;
  out->lfItalic = BYTE(italicCharset & 0xFF);
  out->lfCharSet = BYTE(italicCharset >> 8);
  lstrcpynW(out->lfFaceName, face, LF_FACESIZE);
  return 1;
}
