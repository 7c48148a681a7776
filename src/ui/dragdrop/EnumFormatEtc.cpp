#include <new>

#include "ui/dragdrop/OleObjects.h"

CEnumFormatEtc::CEnumFormatEtc(const std::vector<FORMATETC>& formats, size_t position)
    : m_formats(formats), m_position(position) {}

HRESULT CEnumFormatEtc::QueryInterface(REFIID iid, void** out) {
  return AnswerQueryInterface(static_cast<IEnumFORMATETC*>(this), IID_IEnumFORMATETC, iid, out);
}

ULONG CEnumFormatEtc::AddRef() {
  return ULONG(InterlockedIncrement(&m_refs));
}

ULONG CEnumFormatEtc::Release() {
  LONG left = InterlockedDecrement(&m_refs);
  if (left == 0) delete this;
  return ULONG(left);
}

HRESULT CEnumFormatEtc::Next(ULONG count, FORMATETC* out, ULONG* fetched) {
  if (fetched) *fetched = 0;
  if (!out || count == 0 || m_position >= m_formats.size() || (!fetched && count != 1))
    return S_FALSE;
  ULONG given = 0;
  while (given < count && m_position < m_formats.size()) out[given++] = m_formats[m_position++];
  if (fetched) *fetched = given;
  return given == count ? S_OK : S_FALSE;
}

HRESULT CEnumFormatEtc::Skip(ULONG count) {
  if (m_position + count >= m_formats.size()) return S_FALSE;
  m_position += count;
  return S_OK;
}

HRESULT CEnumFormatEtc::Reset() {
  m_position = 0;
  return S_OK;
}

HRESULT CEnumFormatEtc::Clone(IEnumFORMATETC** out) {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) CEnumFormatEtc(m_formats, m_position);
  return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT AnswerQueryInterface(IUnknown* self, REFIID own, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IUnknown || iid == own) {
    *out = self;
    self->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}
