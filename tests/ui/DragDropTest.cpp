// The drag-and-drop objects' COM contracts, the CF_HDROP layout, the
// refusal to drop back on the source window, the drop source's answers, the
// drop-effect decision, and the shell's drag loop cancelled with Escape.
#include <windows.h>
#include <ole2.h>
#include <shlobj.h>
#include <shellapi.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>
#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "UiTestUtil.h"
#include "ui/dragdrop/OleDrag.h"

namespace {

const wchar_t kPaths[] = L"C:\\a\\one.txt\0C:\\a\\two.bin\0";
const int kPathsLength = 27;  // both paths, their NULs and the final NUL

FORMATETC Format(CLIPFORMAT cf, DWORD tymed = TYMED_HGLOBAL, DWORD aspect = DVASPECT_CONTENT) {
  FORMATETC f = {cf, nullptr, aspect, -1, tymed};
  return f;
}

class DragDropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OleInitialize(nullptr);
    host_ = uitest::MakeHost(300, 200);
    SetCursorPos(900, 900);  // away from the source window
    uitest::Pump();
  }
  void TearDown() override {
    DestroyWindow(host_);
    OleUninitialize();
  }
  HWND host_ = nullptr;
};

TEST_F(DragDropTest, ReferenceCountsNeverFree) {
  CDataObject* data = new CDataObject(host_, kPaths, kPathsLength, nullptr, 0);
  EXPECT_EQ(0, data->RefCount());
  IDataObject* asData = nullptr;
  EXPECT_EQ(S_OK, data->QueryInterface(IID_IDataObject, reinterpret_cast<void**>(&asData)));
  EXPECT_EQ(1, data->RefCount());
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, data->QueryInterface(IID_IDropTarget, &other));
  EXPECT_EQ(nullptr, other);
  {
    CDropSource source(data);
    EXPECT_EQ(2, data->RefCount());
    EXPECT_EQ(0, source.RefCount());
  }
  EXPECT_EQ(1, data->RefCount());
  EXPECT_EQ(0u, data->Release());
  EXPECT_EQ(ULONG(-1), data->Release()) << "below zero, and nothing freed";
  FORMATETC hdrop = Format(CF_HDROP);
  EXPECT_EQ(S_OK, data->QueryGetData(&hdrop)) << "still alive";
  delete data;

  CDropTarget target(host_, nullptr, 0);
  EXPECT_EQ(1u, target.AddRef());
  EXPECT_EQ(0u, target.Release());
}

TEST_F(DragDropTest, HdropLayoutAndCopiesHandedOut) {
  CDataObject data(host_, kPaths, kPathsLength, nullptr, 0);
  FORMATETC hdrop = Format(CF_HDROP);
  STGMEDIUM medium = {};
  ASSERT_EQ(S_OK, data.GetData(&hdrop, &medium));
  EXPECT_NE(data.FindStored(CF_HDROP)->hGlobal, medium.hGlobal) << "a copy";
  EXPECT_EQ(20u + 2 * kPathsLength, GlobalSize(medium.hGlobal));
  const DROPFILES* drop = static_cast<const DROPFILES*>(GlobalLock(medium.hGlobal));
  EXPECT_EQ(20u, drop->pFiles);
  EXPECT_EQ(0, drop->pt.x);
  EXPECT_EQ(0, drop->pt.y);
  EXPECT_TRUE(drop->fNC);
  EXPECT_TRUE(drop->fWide);
  EXPECT_EQ(0, memcmp(reinterpret_cast<const BYTE*>(drop) + 20, kPaths, 2 * kPathsLength));
  GlobalUnlock(medium.hGlobal);
  HDROP files = static_cast<HDROP>(medium.hGlobal);
  wchar_t name[MAX_PATH];
  EXPECT_EQ(2u, DragQueryFileW(files, 0xFFFFFFFF, nullptr, 0));
  DragQueryFileW(files, 1, name, MAX_PATH);
  EXPECT_STREQ(L"C:\\a\\two.bin", name);
  ReleaseStgMedium(&medium);  // the receiver frees its copy
  ASSERT_EQ(S_OK, data.GetData(&hdrop, &medium));
  ReleaseStgMedium(&medium);

  // Over the source window itself nothing can be had.
  RECT r;
  GetWindowRect(host_, &r);
  SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  EXPECT_EQ(DV_E_FORMATETC, data.GetData(&hdrop, &medium));
  SetCursorPos(900, 900);
  CDataObject sourceless(nullptr, kPaths, kPathsLength, nullptr, 0);
  EXPECT_EQ(DV_E_FORMATETC, sourceless.GetData(&hdrop, &medium));

  FORMATETC stream = Format(CF_HDROP, TYMED_ISTREAM), text = Format(CF_TEXT),
            icon = Format(CF_HDROP, TYMED_HGLOBAL, DVASPECT_ICON);
  EXPECT_EQ(DV_E_TYMED, data.QueryGetData(&stream));
  EXPECT_EQ(DV_E_CLIPFORMAT, data.QueryGetData(&text));
  EXPECT_EQ(DV_E_DVASPECT, data.QueryGetData(&icon));
  EXPECT_EQ(E_INVALIDARG, data.QueryGetData(nullptr));
  EXPECT_EQ(E_NOTIMPL, data.GetDataHere(&hdrop, &medium));
  FORMATETC canonical;
  EXPECT_EQ(DATA_S_SAMEFORMATETC, data.GetCanonicalFormatEtc(&hdrop, &canonical));
  EXPECT_EQ(OLE_E_ADVISENOTSUPPORTED, data.EnumDAdvise(nullptr));
}

TEST_F(DragDropTest, FormatEnumerator) {
  CDataObject data(host_, kPaths, kPathsLength, nullptr, 0);
  ASSERT_TRUE(AddFileNameFormats(&data, L"C:\\a\\one.txt"));
  ASSERT_TRUE(SetDropDescription(&data, DROPEFFECT_COPY, L"Copy"));
  ASSERT_TRUE(AddFileNameFormats(&data, L"C:\\a\\two.bin")) << "stored again, not twice";
  IEnumFORMATETC* e = nullptr;
  ASSERT_EQ(S_OK, data.EnumFormatEtc(DATADIR_GET, &e));
  FORMATETC got[8];
  ULONG fetched = 0;
  EXPECT_EQ(S_OK, e->Next(1, got, &fetched));
  EXPECT_EQ(CF_HDROP, got[0].cfFormat);
  EXPECT_EQ(S_FALSE, e->Next(8, got, &fetched));
  EXPECT_EQ(3u, fetched) << "CF_HDROP, DropDescription, FileName, FileNameW";
  EXPECT_EQ(S_FALSE, e->Next(1, got, &fetched));
  EXPECT_EQ(S_OK, e->Reset());
  EXPECT_EQ(S_FALSE, e->Next(2, got, nullptr)) << "more than one needs a count";
  EXPECT_EQ(S_FALSE, e->Next(0, got, &fetched));
  EXPECT_EQ(S_FALSE, e->Skip(4)) << "reaching the end";
  EXPECT_EQ(S_OK, e->Next(1, got, nullptr)) << "the position stayed";
  EXPECT_EQ(CF_HDROP, got[0].cfFormat);
  EXPECT_EQ(S_OK, e->Skip(2));
  IEnumFORMATETC* clone = nullptr;
  EXPECT_EQ(E_POINTER, e->Clone(nullptr));
  ASSERT_EQ(S_OK, e->Clone(&clone));
  EXPECT_EQ(S_OK, clone->Next(1, got, nullptr));
  EXPECT_EQ(UINT(RegisterClipboardFormatW(CFSTR_FILENAMEW)), UINT(got[0].cfFormat));
  EXPECT_EQ(S_FALSE, clone->Next(1, got, nullptr));
  clone->Release();
  e->Release();
}

// The owner of a drop target: copies or moves what has a folder, and says so.
DWORD g_answer;
int g_asked;
DWORD Owner(LPARAM context, HWND, const wchar_t* path, wchar_t* description, int size, BOOL drop) {
  ++g_asked;
  _snwprintf(description, size, L"%s %s", drop ? L"Dropping" : L"Over", path);
  description[size - 1] = 0;
  return g_answer;
}

TEST_F(DragDropTest, DropEffectDecision) {
  const wchar_t mixed[] = L"bare\0C:\\x\\y.txt\0";
  CDataObject data(host_, mixed, 17, nullptr, 0);
  CDropTarget target(uitest::MakeHost(), Owner, 0);
  g_answer = DROPEFFECT_COPY | DROPEFFECT_MOVE;
  g_asked = 0;
  EXPECT_EQ(DWORD(DROPEFFECT_COPY | DROPEFFECT_MOVE), DecideDropEffect(&target, &data, TRUE));
  EXPECT_EQ(1, g_asked) << "a bare name is no path";
  EXPECT_EQ(DWORD(DROPEFFECT_COPY), target.m_effect);
  const STGMEDIUM* stored =
      data.FindStored(CLIPFORMAT(RegisterClipboardFormatW(CFSTR_DROPDESCRIPTION)));
  ASSERT_NE(nullptr, stored);
  const DROPDESCRIPTION* d = static_cast<const DROPDESCRIPTION*>(GlobalLock(stored->hGlobal));
  EXPECT_EQ(DROPIMAGE_COPY, d->type);
  EXPECT_STREQ(L"Over C:\\x\\y.txt", d->szMessage);
  GlobalUnlock(stored->hGlobal);
  stored = data.FindStored(CLIPFORMAT(RegisterClipboardFormatW(CFSTR_FILENAMEW)));
  ASSERT_NE(nullptr, stored);
  EXPECT_STREQ(L"C:\\x\\y.txt", static_cast<const wchar_t*>(GlobalLock(stored->hGlobal)));
  GlobalUnlock(stored->hGlobal);

  g_answer = DROPEFFECT_LINK | DROPEFFECT_MOVE;
  EXPECT_EQ(DWORD(DROPEFFECT_LINK | DROPEFFECT_MOVE), DecideDropEffect(&target, &data, FALSE));
  EXPECT_EQ(DWORD(DROPEFFECT_MOVE), target.m_effect);
  EXPECT_EQ(3, g_asked);

  // Through the drop target's own calls; a window the drag started from
  // takes nothing.
  DWORD effect = DROPEFFECT_COPY;
  POINTL point = {900, 900};
  EXPECT_EQ(E_INVALIDARG, target.DragEnter(&data, 0, point, nullptr));
  g_answer = DROPEFFECT_COPY;
  EXPECT_EQ(S_OK, target.DragEnter(&data, 0, point, &effect));
  EXPECT_EQ(DWORD(DROPEFFECT_COPY), effect);
  EXPECT_EQ(1, data.RefCount()) << "held while the drag is over the window";
  SetPropW(target.m_target, kStartDropProperty, HANDLE(1));
  EXPECT_EQ(S_OK, target.DragOver(0, point, &effect));
  EXPECT_EQ(DWORD(DROPEFFECT_NONE), effect);
  RemovePropW(target.m_target, kStartDropProperty);
  effect = DROPEFFECT_COPY;
  EXPECT_EQ(S_OK, target.Drop(&data, 0, point, &effect));
  EXPECT_EQ(DWORD(DROPEFFECT_COPY), effect);
  EXPECT_EQ(0, data.RefCount());
  DestroyWindow(target.m_target);
}

HWND g_droppedFrom;
void SourceOwner(LPARAM, HWND source, STGMEDIUM* medium) {
  g_droppedFrom = medium && medium->tymed == TYMED_HGLOBAL ? source : nullptr;
}

TEST_F(DragDropTest, ListDragNeedsASelection) {
  HWND list = CreateWindowExW(0, L"SysListView32", L"", WS_CHILD | LVS_REPORT, 0, 0, 100, 100,
                              host_, nullptr, nullptr, nullptr);
  LVITEMW item = {LVIF_TEXT};
  item.pszText = const_cast<wchar_t*>(L"..");
  SendMessageW(list, LVM_INSERTITEMW, 0, LPARAM(&item));
  EXPECT_EQ(0, BeginListDrag(list, L"C:\\a", SourceOwner, 0));
  LVITEMW state = {LVIF_STATE, 0, 0, LVIS_SELECTED, LVIS_SELECTED};
  SendMessageW(list, LVM_SETITEMSTATE, 0, LPARAM(&state));
  EXPECT_EQ(0, BeginListDrag(list, L"C:\\a", SourceOwner, 0)) << "\"..\" is never dragged";
}

TEST_F(DragDropTest, DropSourceDecisions) {
  CDataObject* data = new CDataObject(host_, kPaths, kPathsLength, SourceOwner, 0);
  CDropSource source(data);
  EXPECT_EQ(DRAGDROP_S_CANCEL, source.QueryContinueDrag(TRUE, MK_LBUTTON));
  EXPECT_EQ(S_OK, source.QueryContinueDrag(FALSE, MK_LBUTTON));
  HWND other = uitest::MakeHost(100, 100);
  RECT r;
  GetWindowRect(other, &r);
  SetCursorPos(r.left + 50, r.top + 50);
  g_droppedFrom = nullptr;
  EXPECT_EQ(DRAGDROP_S_DROP, source.QueryContinueDrag(FALSE, 0));
  EXPECT_EQ(host_, g_droppedFrom) << "the owner hears of a drop on another window";
  EXPECT_EQ(DRAGDROP_S_USEDEFAULTCURSORS, source.GiveFeedback(DROPEFFECT_COPY));
  DestroyWindow(other);
  source.m_data = nullptr;
  data->Release();
  delete data;
}

// The shell's drag loop runs with the left button held on the display; a
// second thread presses Escape once the loop has taken the mouse.
TEST_F(DragDropTest, DragCancelledWithEscapeAnswersZero) {
  if (vt::Sh("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool is missing";
  RECT r;
  GetWindowRect(host_, &r);
  SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  ASSERT_EQ(0, vt::Sh("xdotool mousedown 1"));
  // The thread's own key state learns of the button from its messages.
  BYTE keys[256] = {};
  uitest::WaitFor(
      [&keys] {
        GetKeyboardState(keys);
        return (keys[VK_LBUTTON] & 0x80) != 0;
      },
      5000);
  ASSERT_TRUE(keys[VK_LBUTTON] & 0x80) << "the button press did not arrive";

  DWORD dragging = GetCurrentThreadId();
  HWND window = host_;
  std::atomic<bool> ended(false);
  std::thread escape([dragging, window, &ended] {
    GUITHREADINFO info = {sizeof info};
    for (int i = 0; i < 500; ++i) {
      if (GetGUIThreadInfo(dragging, &info) && info.hwndCapture && info.hwndCapture != window)
        break;  // the drag loop's tracker holds the mouse
      Sleep(10);
    }
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    for (int i = 0; i < 100 && !ended; ++i) Sleep(50);
    if (!ended) vt::Sh("xdotool mouseup 1");  // ends a loop that missed the key
  });
  g_droppedFrom = nullptr;
  EXPECT_EQ(0, StartOleDrag(host_, kPaths, kPathsLength, SourceOwner, 0));
  ended = true;
  vt::Sh("xdotool mouseup 1");
  escape.join();
  EXPECT_EQ(nullptr, g_droppedFrom) << "nothing was dropped";
}

}  // namespace
