// The COM objects with which the file lists take part in OLE drag and drop:
// a data object carrying host paths as CF_HDROP, a drop source, a format
// enumerator and a drop target. The data object, the drop source and the
// drop target are freed by their owners: their Release only counts. The
// enumerator, which nobody else holds, goes with its last reference.
#pragma once
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>

#include <vector>

// What the drag source's owner is told when the items are dropped on a
// window other than the source (the stored CF_HDROP medium).
typedef void (*OleDropCallback)(LPARAM context, HWND sourceWindow, STGMEDIUM* medium);

// Asked by a drop target for each dragged path: the effect a drop would have
// (DROPEFFECT_*), and the text of the drop description in `description`
// (`descriptionSize` characters). `drop` is TRUE on the drop itself.
typedef DWORD (*DropTargetCallback)(LPARAM context, HWND target, const wchar_t* path,
                                    wchar_t* description, int descriptionSize, BOOL drop);

// QueryInterface of the four: IUnknown and the object's own interface, with
// a reference; anything else E_NOINTERFACE and a null out.
HRESULT AnswerQueryInterface(IUnknown* self, REFIID own, REFIID iid, void** out);

// One AddRef and Release body: interlocked counts; Release never deletes.
template <class Interface>
class COleCounted : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&m_refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return ULONG(InterlockedDecrement(&m_refs)); }
  LONG RefCount() const { return m_refs; }
  virtual ~COleCounted() {}

 protected:
  LONG m_refs = 0;
};

class CDataObject : public COleCounted<IDataObject> {
 public:
  // Stores the path list (`length` characters, double-NUL ended) as CF_HDROP.
  CDataObject(HWND sourceWindow, const wchar_t* paths, int length, OleDropCallback callback,
              LPARAM context);
  ~CDataObject() override;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* format, STGMEDIUM* medium) override;
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override;
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* in, FORMATETC* out) override;
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* format, STGMEDIUM* medium, BOOL release) override;
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD direction, IEnumFORMATETC** out) override;
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override;
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override;
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override;

  // The stored medium of a format (no copy), or null.
  const STGMEDIUM* FindStored(CLIPFORMAT format) const;

  HWND m_sourceWindow;
  OleDropCallback m_callback;
  LPARAM m_context;

 private:
  struct Pair {
    FORMATETC format;
    STGMEDIUM medium;
  };
  std::vector<Pair> m_pairs;
};

class CEnumFormatEtc : public IEnumFORMATETC {
 public:
  CEnumFormatEtc(const std::vector<FORMATETC>& formats, size_t position);
  virtual ~CEnumFormatEtc() {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Next(ULONG count, FORMATETC* out, ULONG* fetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(IEnumFORMATETC** out) override;

 private:
  LONG m_refs = 1;
  std::vector<FORMATETC> m_formats;
  size_t m_position;
};

class CDropSource : public COleCounted<IDropSource> {
 public:
  explicit CDropSource(CDataObject* data);  // holds a reference
  ~CDropSource() override;                  // lets it go
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE QueryContinueDrag(BOOL escapePressed, DWORD keyState) override;
  HRESULT STDMETHODCALLTYPE GiveFeedback(DWORD effect) override;

  CDataObject* m_data;
};

class CDropTarget : public COleCounted<IDropTarget> {
 public:
  CDropTarget(HWND target, DropTargetCallback callback, LPARAM context);
  ~CDropTarget() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE DragEnter(IDataObject* data, DWORD keyState, POINTL point,
                                      DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragOver(DWORD keyState, POINTL point, DWORD* effect) override;
  HRESULT STDMETHODCALLTYPE DragLeave() override;
  HRESULT STDMETHODCALLTYPE Drop(IDataObject* data, DWORD keyState, POINTL point,
                                 DWORD* effect) override;

  HWND m_target;
  DWORD m_effect;  // the effect last decided
  DropTargetCallback m_callback;
  LPARAM m_context;
  IDataObject* m_data;  // the drag over the window, held with a reference
  IDropTargetHelper* m_helper;
  wchar_t m_description[MAX_PATH];
  BOOL m_dropping;
};

// The window property that marks the window a drag started from.
constexpr wchar_t kStartDropProperty[] = L"STARTDROP";
