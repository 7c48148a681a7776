#include "ui/dragdrop/OleDrag.h"

#include <shellapi.h>

namespace {

IDropTargetHelper* CreateHelper() {
  IDropTargetHelper* helper = nullptr;
  if (FAILED(CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IDropTargetHelper, reinterpret_cast<void**>(&helper))))
    return nullptr;
  IDragSourceHelper2* source = nullptr;
  if (SUCCEEDED(
          helper->QueryInterface(IID_IDragSourceHelper2, reinterpret_cast<void**>(&source)))) {
    source->SetFlags(DSH_ALLOWDROPDESCRIPTIONTEXT);
    source->Release();
  }
  return helper;
}

bool StartedHere(HWND window) {
  return GetPropW(window, kStartDropProperty) != nullptr;
}

}  // namespace

CDropTarget::CDropTarget(HWND target, DropTargetCallback callback, LPARAM context)
    : m_target(target),
      m_effect(DROPEFFECT_NONE),
      m_callback(callback),
      m_context(context),
      m_data(nullptr),
      m_helper(nullptr),
      m_dropping(FALSE) {
  m_description[0] = 0;
}

CDropTarget::~CDropTarget() {
  if (m_data) m_data->Release();
  if (m_helper) m_helper->Release();
}

HRESULT CDropTarget::QueryInterface(REFIID iid, void** out) {
  return AnswerQueryInterface(static_cast<IDropTarget*>(this), IID_IDropTarget, iid, out);
}

HRESULT CDropTarget::DragEnter(IDataObject* data, DWORD keyState, POINTL point, DWORD* effect) {
  if (!effect) return E_INVALIDARG;
  if (!m_helper) m_helper = CreateHelper();
  POINT pt = {point.x, point.y};
  if (m_helper) m_helper->DragEnter(m_target, data, &pt, *effect);
  if (m_data) m_data->Release();
  m_data = data;
  if (m_data) m_data->AddRef();
  return DragOver(keyState, point, effect);
}

HRESULT CDropTarget::DragOver(DWORD, POINTL point, DWORD* effect) {
  if (!effect) return E_INVALIDARG;
  POINT pt = {point.x, point.y};
  if (m_helper) m_helper->DragOver(&pt, *effect);
  if (m_data) {
    m_effect = DROPEFFECT_NONE;
    if (!StartedHere(m_target)) {
      DWORD decided = DecideDropEffect(this, m_data, FALSE);
      if (decided) {
        *effect = m_effect;
        return S_OK;
      }
    }
  }
  *effect = DROPEFFECT_NONE;
  return S_OK;
}

HRESULT CDropTarget::DragLeave() {
  if (m_data) m_data->Release();
  m_data = nullptr;
  if (m_helper) {
    m_helper->DragLeave();
    m_helper->Release();
    m_helper = nullptr;
  }
  return S_OK;
}

HRESULT CDropTarget::Drop(IDataObject* data, DWORD, POINTL point, DWORD* effect) {
  POINT pt = {point.x, point.y};
  if (m_helper && effect) m_helper->Drop(data, &pt, *effect);
  if (m_data && !StartedHere(m_target)) {
    m_dropping = TRUE;
    DecideDropEffect(this, m_data, FALSE);
    m_dropping = FALSE;
    if (effect) *effect = m_effect;
  } else if (effect) {
    *effect = DROPEFFECT_NONE;
  }
  if (m_data) m_data->Release();
  m_data = nullptr;
  if (m_helper) {
    m_helper->Release();
    m_helper = nullptr;
  }
  return S_OK;
}

DWORD DecideDropEffect(CDropTarget* target, IDataObject* data, BOOL pathsOnly) {
  DWORD effect = DROPEFFECT_NONE;
  target->m_description[0] = 0;
  FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
  STGMEDIUM medium = {};
  wchar_t first[MAX_PATH] = L"";
  if (SUCCEEDED(data->GetData(&format, &medium))) {
    HDROP drop = static_cast<HDROP>(medium.hGlobal);
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count && target->m_callback; ++i) {
      wchar_t name[MAX_PATH];
      if (!DragQueryFileW(drop, i, name, MAX_PATH) || !name[0]) continue;
      if (pathsOnly && !wcschr(name, L'\\') && !wcschr(name, L'/')) continue;
      effect = target->m_callback(target->m_context, target->m_target, name, target->m_description,
                                  MAX_PATH, target->m_dropping);
      if (!first[0]) lstrcpynW(first, name, MAX_PATH);
    }
    ReleaseStgMedium(&medium);
  }
  DWORD one = DROPEFFECT_NONE;
  if (effect) {
    AddFileNameFormats(data, first);
    one = effect & DROPEFFECT_COPY   ? DROPEFFECT_COPY
          : effect & DROPEFFECT_MOVE ? DROPEFFECT_MOVE
          : effect & DROPEFFECT_LINK ? DROPEFFECT_LINK
                                     : DROPEFFECT_NONE;
  }
  target->m_effect = one;
  SetDropDescription(data, one, target->m_description);
  return effect;
}
