#include <cstring>
#include <new>

#include "ui/dragdrop/OleDrag.h"

namespace {

const UINT kBlockFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_DDESHARE;

bool SameStored(const FORMATETC& a, const FORMATETC& b) {
  return (a.tymed & b.tymed) && a.dwAspect == b.dwAspect && a.cfFormat == b.cfFormat;
}

}  // namespace

HRESULT CopyMedium(const STGMEDIUM& from, CLIPFORMAT, STGMEDIUM* to) {
  *to = from;
  to->pUnkForRelease = nullptr;
  switch (from.tymed) {
    case TYMED_HGLOBAL: {
      SIZE_T size = GlobalSize(from.hGlobal);
      HGLOBAL copy = GlobalAlloc(kBlockFlags, size);
      if (!copy) return E_OUTOFMEMORY;
      const void* source = GlobalLock(from.hGlobal);
      void* target = GlobalLock(copy);
      if (source && target) memcpy(target, source, size);
      GlobalUnlock(copy);
      GlobalUnlock(from.hGlobal);
      to->hGlobal = copy;
      return S_OK;
    }
    case TYMED_ISTREAM:
      if (from.pstm) from.pstm->AddRef();
      return S_OK;
    case TYMED_ISTORAGE:
      if (from.pstg) from.pstg->AddRef();
      return S_OK;
  }
  ZeroMemory(to, sizeof *to);
  return DV_E_TYMED;
}

CDataObject::CDataObject(HWND sourceWindow, const wchar_t* paths, int length,
                         OleDropCallback callback, LPARAM context)
    : m_sourceWindow(sourceWindow), m_callback(callback), m_context(context) {
  const SIZE_T bytes = sizeof(DROPFILES) + 2 * SIZE_T(length > 0 ? length : 0);
  HGLOBAL block = GlobalAlloc(kBlockFlags, bytes);
  if (DROPFILES* drop = block ? static_cast<DROPFILES*>(GlobalLock(block)) : nullptr) {
    drop->pFiles = sizeof(DROPFILES);
    drop->fNC = TRUE;
    drop->fWide = TRUE;
    if (length > 0) memcpy(drop + 1, paths, 2 * length);
    GlobalUnlock(block);
    FORMATETC format = {CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    STGMEDIUM medium = {TYMED_HGLOBAL};
    medium.hGlobal = block;
    if (FAILED(SetData(&format, &medium, TRUE))) GlobalFree(block);
  }
  IDragSourceHelper2* helper = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_DragDropHelper, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_IDragSourceHelper2, reinterpret_cast<void**>(&helper)))) {
    helper->SetFlags(DSH_ALLOWDROPDESCRIPTIONTEXT);
    helper->Release();
  }
}

CDataObject::~CDataObject() {
  for (Pair& p : m_pairs) ReleaseStgMedium(&p.medium);
}

HRESULT CDataObject::QueryInterface(REFIID iid, void** out) {
  return AnswerQueryInterface(static_cast<IDataObject*>(this), IID_IDataObject, iid, out);
}

const STGMEDIUM* CDataObject::FindStored(CLIPFORMAT format) const {
  for (const Pair& p : m_pairs)
    if (p.format.cfFormat == format) return &p.medium;
  return nullptr;
}

HRESULT CDataObject::GetData(FORMATETC* format, STGMEDIUM* medium) {
  if (!format || !medium) return E_INVALIDARG;
  ZeroMemory(medium, sizeof *medium);
  // Nothing is dropped back onto the window the drag came from.
  POINT cursor;
  GetCursorPos(&cursor);
  if (!m_sourceWindow || WindowFromPoint(cursor) == m_sourceWindow) return DV_E_FORMATETC;
  for (const Pair& p : m_pairs)
    if (SameStored(p.format, *format)) return CopyMedium(p.medium, p.format.cfFormat, medium);
  return DV_E_FORMATETC;
}

HRESULT CDataObject::GetDataHere(FORMATETC* format, STGMEDIUM* medium) {
  return !format || !medium ? E_INVALIDARG : E_NOTIMPL;
}

HRESULT CDataObject::QueryGetData(FORMATETC* format) {
  if (!format) return E_INVALIDARG;
  if (!(format->dwAspect & DVASPECT_CONTENT)) return DV_E_DVASPECT;
  bool otherTymed = false;
  for (const Pair& p : m_pairs) {
    if (p.format.cfFormat != format->cfFormat) continue;
    if (p.format.tymed & format->tymed) return S_OK;
    otherTymed = true;
  }
  return otherTymed ? DV_E_TYMED : DV_E_CLIPFORMAT;
}

HRESULT CDataObject::GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) {
  if (!in || !out) return E_INVALIDARG;
  *out = *in;
  out->ptd = nullptr;
  return DATA_S_SAMEFORMATETC;
}

HRESULT CDataObject::SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) {
  if (!format || !medium) return E_INVALIDARG;
  for (auto it = m_pairs.begin(); it != m_pairs.end(); ++it) {
    if (SameStored(it->format, *format)) {
      ReleaseStgMedium(&it->medium);
      m_pairs.erase(it);
      break;
    }
  }
  Pair pair;
  pair.format = *format;
  pair.format.ptd = nullptr;
  if (release) {
    pair.medium = *medium;
  } else {
    HRESULT hr = CopyMedium(*medium, format->cfFormat, &pair.medium);
    if (FAILED(hr)) return hr;
  }
  try {
    m_pairs.push_back(pair);
  } catch (...) {
    if (!release) ReleaseStgMedium(&pair.medium);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CDataObject::EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (direction != DATADIR_GET) return E_NOTIMPL;
  std::vector<FORMATETC> formats;
  for (const Pair& p : m_pairs) formats.push_back(p.format);
  *out = new (std::nothrow) CEnumFormatEtc(formats, 0);
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDataObject::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) {
  return E_NOTIMPL;
}
HRESULT CDataObject::DUnadvise(DWORD) {
  return E_NOTIMPL;
}
HRESULT CDataObject::EnumDAdvise(IEnumSTATDATA**) {
  return OLE_E_ADVISENOTSUPPORTED;
}
