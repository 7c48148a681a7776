#include "ui/dragdrop/OleObjects.h"

namespace {

const UINT kDragWindowEffect = WM_USER + 2;

// A 32-bit value the shell's drag helper stored in the data object.
bool StoredValue(const CDataObject* data, const wchar_t* name, DWORD* value) {
  const STGMEDIUM* medium = data->FindStored(CLIPFORMAT(RegisterClipboardFormatW(name)));
  if (!medium || medium->tymed != TYMED_HGLOBAL || GlobalSize(medium->hGlobal) < sizeof(DWORD))
    return false;
  const DWORD* p = static_cast<const DWORD*>(GlobalLock(medium->hGlobal));
  if (!p) return false;
  *value = *p;
  GlobalUnlock(medium->hGlobal);
  return true;
}

bool ThemesActive() {
  HMODULE theme = LoadLibraryW(L"UxTheme.dll");
  if (!theme) return false;
  typedef BOOL(WINAPI * IsAppThemedFn)();
  IsAppThemedFn isAppThemed = reinterpret_cast<IsAppThemedFn>(
      reinterpret_cast<void*>(GetProcAddress(theme, "IsAppThemed")));
  return isAppThemed && isAppThemed();
}

}  // namespace

CDropSource::CDropSource(CDataObject* data) : m_data(data) {
  if (m_data) m_data->AddRef();
}

CDropSource::~CDropSource() {
  if (m_data) m_data->Release();
}

HRESULT CDropSource::QueryInterface(REFIID iid, void** out) {
  return AnswerQueryInterface(static_cast<IDropSource*>(this), IID_IDropSource, iid, out);
}

HRESULT CDropSource::QueryContinueDrag(BOOL escapePressed, DWORD keyState) {
  if (escapePressed) return DRAGDROP_S_CANCEL;
  if (keyState & MK_LBUTTON) return S_OK;
  POINT cursor;
  GetCursorPos(&cursor);
  HWND under = WindowFromPoint(cursor);
  if (m_data && under && under != m_data->m_sourceWindow && m_data->m_callback) {
    const STGMEDIUM* drop = m_data->FindStored(CF_HDROP);
    if (drop)
      m_data->m_callback(m_data->m_context, m_data->m_sourceWindow, const_cast<STGMEDIUM*>(drop));
  }
  return DRAGDROP_S_DROP;
}

HRESULT CDropSource::GiveFeedback(DWORD effect) {
  DWORD layered = 0, dragWindow = 0;
  if (!m_data || !ThemesActive() || !StoredValue(m_data, L"IsShowingLayered", &layered) ||
      !layered || !StoredValue(m_data, L"DragWindow", &dragWindow) || !dragWindow)
    return DRAGDROP_S_USEDEFAULTCURSORS;
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  WPARAM kind = effect & DROPEFFECT_COPY   ? 3
                : effect & DROPEFFECT_MOVE ? 2
                : effect & DROPEFFECT_LINK ? 4
                                           : 1;
  SendMessageW(reinterpret_cast<HWND>(ULONG_PTR(dragWindow)), kDragWindowEffect, kind, 0);
  return S_OK;
}
