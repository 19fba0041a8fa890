// COM helper classes: the factory's server counts, reference counting and
// QueryInterface, and context-menu holders sharing one menu and its command ids.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "thbc/thbc.h"
#include "vtable_slot.h"

namespace {

// ---- class factory and advise sink ---------------------------------------------------------

class TestFactory : public NXClsObj {
 public:
  TestFactory(ULONG* objects, ULONG* locks, int* destroyed) : NXClsObj(objects, locks), destroyed_(destroyed) {}
  TestFactory(const TestFactory& other) = default;
  TestFactory& operator=(const TestFactory& other) = default;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
  }
  ULONG RefCount() const { return m_cRef; }
  ~TestFactory() override {
    if (destroyed_) ++*destroyed_;
  }

 private:
  int* destroyed_;
};

class TestSink : public NXDataSync {
 public:
  explicit TestSink(int* destroyed) : destroyed_(destroyed) {}
  TestSink(const TestSink&) = default;
  ULONG RefCount() const { return m_cRef; }
  ~TestSink() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(NXClsObjTest, CountsItselfAmongTheServersObjectsAndKeepsTheLockCount) {
  ULONG objects = 3, locks = 0;  // the server has other objects already
  int destroyed = 0;
  auto* factory = new TestFactory(&objects, &locks, &destroyed);
  EXPECT_EQ(objects, 4u);
  EXPECT_EQ(factory->RefCount(), 0u) << "the creator takes the first reference";

  IClassFactory* cf = factory;
  EXPECT_EQ(cf->AddRef(), 1u);
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(locks, 1u);

  EXPECT_EQ(cf->AddRef(), 2u);
  EXPECT_EQ(cf->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(cf->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(objects, 3u);
  EXPECT_EQ(locks, 1u) << "the lock count is the server's, not the factory's";
}

TEST(NXClsObjTest, WithoutCountsItCountsNothing) {
  int destroyed = 0;
  auto* factory = new TestFactory(nullptr, nullptr, &destroyed);
  factory->AddRef();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(NXClsObjTest, QueryInterfaceAnswersItsInterfaceAndIUnknownOnly) {
  ULONG objects = 0, locks = 0;
  auto* factory = new TestFactory(&objects, &locks, nullptr);
  void* out = nullptr;
  ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, &out), S_OK);
  EXPECT_EQ(out, static_cast<IClassFactory*>(factory));
  ASSERT_EQ(factory->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(factory));
  EXPECT_EQ(factory->RefCount(), 2u);

  out = factory;
  EXPECT_EQ(factory->QueryInterface(IID_IAdviseSink, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->QueryInterface(IID_IClassFactory, nullptr), E_INVALIDARG);
  EXPECT_EQ(factory->RefCount(), 2u) << "failed requests add no reference";

  factory->Release();
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(objects, 0u);
}

TEST(NXClsObjTest, CopiesAreNewObjectsOfTheirServer) {
  ULONG objectsA = 0, objectsB = 0, locks = 0;
  int destroyed = 0;
  auto* a = new TestFactory(&objectsA, &locks, &destroyed);
  a->AddRef();
  a->AddRef();
  auto* copy = new TestFactory(*a);
  EXPECT_EQ(objectsA, 2u);
  EXPECT_EQ(copy->RefCount(), 0u) << "the reference count is never copied";

  auto* b = new TestFactory(&objectsB, &locks, &destroyed);
  b->AddRef();
  *b = *a;  // b now belongs to a's server
  EXPECT_EQ(objectsA, 3u);
  EXPECT_EQ(objectsB, 0u);
  EXPECT_EQ(b->RefCount(), 1u) << "assignment keeps the target's own count";

  copy->AddRef();
  copy->Release();
  b->Release();
  a->Release();
  a->Release();
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(objectsA, 0u);
  EXPECT_EQ(objectsB, 0u);
}

TEST(NXDataSyncTest, AnswersIAdviseSinkAndIUnknownAndRefusesOthers) {
  int destroyed = 0;
  auto* sink = new TestSink(&destroyed);
  void* out = sink;
  EXPECT_EQ(sink->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(sink->QueryInterface(IID_IContextMenu, &out), E_NOINTERFACE);
  EXPECT_EQ(sink->QueryInterface(IID_IAdviseSink, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->RefCount(), 0u);

  ASSERT_EQ(sink->QueryInterface(IID_IAdviseSink, &out), S_OK);
  auto* advise = static_cast<IAdviseSink*>(out);
  EXPECT_EQ(advise, static_cast<IAdviseSink*>(sink));
  // The base notifications do nothing and keep the object alive.
  advise->OnDataChange(nullptr, nullptr);
  advise->OnViewChange(1, -1);
  advise->OnRename(nullptr);
  advise->OnSave();
  advise->OnClose();
  EXPECT_EQ(sink->RefCount(), 1u);

  auto* copy = new TestSink(*sink);
  EXPECT_EQ(copy->RefCount(), 0u);
  copy->AddRef();
  EXPECT_EQ(copy->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(advise->Release(), 0u);
  EXPECT_EQ(destroyed, 2);
}

TEST(ComHelpersTest, VirtualSlotsKeepTheirOrder) {
  EXPECT_EQ(VtableSlot(&NXClsObj::QueryInterface), 0);
  EXPECT_EQ(VtableSlot(&NXClsObj::AddRef), 1);
  EXPECT_EQ(VtableSlot(&NXClsObj::Release), 2);
  EXPECT_EQ(VtableSlot(&NXClsObj::CreateInstance), 3);
  EXPECT_EQ(VtableSlot(&NXClsObj::LockServer), 4);

  EXPECT_EQ(VtableSlot(&NXDataSync::QueryInterface), 0);
  EXPECT_EQ(VtableSlot(&NXDataSync::OnDataChange), 3);
  EXPECT_EQ(VtableSlot(&NXDataSync::OnViewChange), 4);
  EXPECT_EQ(VtableSlot(&NXDataSync::OnRename), 5);
  EXPECT_EQ(VtableSlot(&NXDataSync::OnSave), 6);
  EXPECT_EQ(VtableSlot(&NXDataSync::OnClose), 7);

  // The virtual destructor comes first; it takes two slots in this ABI (complete and
  // deleting forms), so Status follows in slot 2.
  EXPECT_EQ(VtableSlot(&NXContextMenuHolder::Status), 2);
  EXPECT_EQ(VtableSlot(&NXContextMenuHolder::InitMenu), 3);
  EXPECT_EQ(VtableSlot(&NXContextMenuHolder::GetTipText), 4);
  EXPECT_EQ(VtableSlot(&NXContextMenuHolder::Command), 5);
}

// ---- context menu holders ------------------------------------------------------------------

// A shell object's context menu: inserts its items where and with the ids it is told,
// and records what it was asked.
class FakeMenu : public IContextMenu {
 public:
  FakeMenu(std::vector<std::u16string> items, HRESULT failure = S_OK) : items_(std::move(items)), failure_(failure) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IContextMenu || riid == IID_IUnknown) {
      *ppv = static_cast<IContextMenu*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack

  HRESULT STDMETHODCALLTYPE QueryContextMenu(HMENU hmenu, UINT indexMenu, UINT idCmdFirst, UINT idCmdLast,
                                             UINT uFlags) override {
    ++queries;
    index = indexMenu;
    first = idCmdFirst;
    last = idCmdLast;
    flags = uFlags;
    if (FAILED(failure_)) return failure_;
    UINT used = 0;
    for (const auto& text : items_) {
      if (idCmdFirst + used > idCmdLast) break;
      if (!InsertMenuW(hmenu, indexMenu + used, MF_BYPOSITION | MF_STRING, idCmdFirst + used, text.c_str()))
        return E_FAIL;
      ++used;
    }
    return MAKE_HRESULT(0, 0, used);
  }
  HRESULT STDMETHODCALLTYPE InvokeCommand(CMINVOKECOMMANDINFO* pici) override {
    invoked = *pici;
    ++invocations;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetCommandString(UINT_PTR idCmd, UINT uType, UINT* pReserved, CHAR* pszName,
                                             UINT cchMax) override {
    if (uType != GCS_HELPTEXTW || pReserved || idCmd >= items_.size()) return E_INVALIDARG;
    std::u16string tip = u"Tip: " + items_[idCmd];
    if (cchMax <= tip.size()) return E_INVALIDARG;
    auto* out = reinterpret_cast<WCHAR*>(pszName);
    tip.copy(out, tip.size());
    out[tip.size()] = 0;
    return S_OK;
  }

  ULONG refs = 1;
  int queries = 0;
  UINT index = 0, first = 0, last = 0, flags = 0;
  int invocations = 0;
  CMINVOKECOMMANDINFO invoked{};

 private:
  std::vector<std::u16string> items_;
  HRESULT failure_;
};

// The menu's items as text, separators as "-".
std::vector<std::u16string> Items(HMENU menu) {
  std::vector<std::u16string> out;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    if (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR) {
      out.push_back(u"-");
      continue;
    }
    WCHAR text[64];
    int n = GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION);
    out.emplace_back(text, static_cast<size_t>(n));
  }
  return out;
}

std::vector<UINT> Ids(HMENU menu) {
  std::vector<UINT> ids;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) ids.push_back(GetMenuItemID(menu, i));
  return ids;
}

using Texts = std::vector<std::u16string>;

class ContextMenuHolderTest : public ::testing::Test {
 protected:
  void SetUp() override { menu = CreatePopupMenu(); }
  void TearDown() override { DestroyMenu(menu); }

  HMENU menu = nullptr;
  NXContextMenuHolder* head = nullptr;
  HWND window = reinterpret_cast<HWND>(0x1234);
};

TEST_F(ContextMenuHolderTest, HoldersShareTheMenuAndTheIdsNewestFirst) {
  FakeMenu a({u"A0", u"A1"});
  FakeMenu b({u"B0", u"B1", u"B2"});
  auto* holderA = new NXContextMenuHolder(&head, &a);
  auto* holderB = new NXContextMenuHolder(&head, &b);
  ASSERT_EQ(head, holderB);
  EXPECT_EQ(holderA->Status(), S_OK);
  EXPECT_EQ(a.refs, 2u) << "the holder keeps a reference";

  EXPECT_EQ(head->InitMenu(menu, 100, 200, CMF_EXPLORE), 5);
  EXPECT_EQ(Items(menu), (Texts{u"B0", u"B1", u"B2", u"-", u"A0", u"A1"}));
  EXPECT_EQ(Ids(menu), (std::vector<UINT>{100, 101, 102, 0, 103, 104}));
  EXPECT_EQ(b.index, 0u);
  EXPECT_EQ(b.first, 100u);
  EXPECT_EQ(a.index, 4u) << "after B's items and the separator";
  EXPECT_EQ(a.first, 103u);
  EXPECT_EQ(a.last, 200u);
  EXPECT_EQ(a.flags, CMF_EXPLORE);

  // Commands reach the owning holder's menu with the offset from its first id.
  EXPECT_EQ(head->Command(window, 104), S_OK);
  ASSERT_EQ(a.invocations, 1);
  EXPECT_EQ(b.invocations, 0);
  EXPECT_EQ(a.invoked.cbSize, sizeof(CMINVOKECOMMANDINFO));
  EXPECT_EQ(a.invoked.hwnd, window);
  EXPECT_TRUE(IS_INTRESOURCE(a.invoked.lpVerb));
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(a.invoked.lpVerb), 1u);
  EXPECT_EQ(a.invoked.fMask, 0u);
  EXPECT_EQ(a.invoked.lpParameters, nullptr);
  EXPECT_EQ(head->Command(window, 100), S_OK);
  ASSERT_EQ(b.invocations, 1);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(b.invoked.lpVerb), 0u);

  WCHAR tip[32] = {};
  EXPECT_EQ(head->GetTipText(103, tip, 32), S_OK);
  EXPECT_EQ(std::u16string(tip), u"Tip: A0");
  EXPECT_EQ(head->GetTipText(102, tip, 32), S_OK);
  EXPECT_EQ(std::u16string(tip), u"Tip: B2");

  for (USHORT id : {USHORT{99}, USHORT{105}, USHORT{200}, USHORT{0}}) {
    EXPECT_EQ(head->Command(window, id), E_INVALIDARG) << id;
    EXPECT_EQ(head->GetTipText(id, tip, 32), E_INVALIDARG) << id;
  }
  EXPECT_EQ(a.invocations + b.invocations, 2);

  delete holderA;
  delete holderB;
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(a.refs, 1u);
  EXPECT_EQ(b.refs, 1u);
}

TEST_F(ContextMenuHolderTest, AMenuWithItemsGetsASeparatorBeforeEachHolder) {
  ASSERT_TRUE(AppendMenuW(menu, MF_STRING, 1, u"Open"));
  FakeMenu a({u"A0"});
  FakeMenu b({u"B0"});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &b);
  EXPECT_EQ(head->InitMenu(menu, 10, 20, CMF_NORMAL), 2);
  EXPECT_EQ(Items(menu), (Texts{u"Open", u"-", u"B0", u"-", u"A0"}));
  EXPECT_EQ(b.index, 2u);
  EXPECT_EQ(a.index, 4u);
}

TEST_F(ContextMenuHolderTest, AHolderThatUsedNoIdsOwnsNone) {
  FakeMenu a({u"A0", u"A1"});
  FakeMenu b({});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &b);

  // Before any InitMenu no holder owns an id, not even 0.
  EXPECT_EQ(head->Command(window, 0), E_INVALIDARG);
  EXPECT_EQ(a.invocations + b.invocations, 0);

  EXPECT_EQ(head->InitMenu(menu, 0, 50, CMF_NORMAL), 2);
  EXPECT_EQ(Items(menu), (Texts{u"A0", u"A1"})) << "B added nothing, so no separator";
  EXPECT_EQ(a.first, 0u);
  EXPECT_EQ(head->Command(window, 0), S_OK);
  EXPECT_EQ(b.invocations, 0);
  EXPECT_EQ(a.invocations, 1);
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(a.invoked.lpVerb), 0u);
}

TEST_F(ContextMenuHolderTest, AFailingMenuEndsTheWalk) {
  FakeMenu a({u"A0"});
  FakeMenu b({u"B0"}, E_ACCESSDENIED);
  FakeMenu c({u"C0", u"C1"});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &b);
  NXContextMenuHolder holderC(&head, &c);

  EXPECT_EQ(head->InitMenu(menu, 100, 200, CMF_NORMAL), E_ACCESSDENIED);
  EXPECT_EQ(a.queries, 0) << "holders after the failure are not asked";
  EXPECT_EQ(Items(menu), (Texts{u"C0", u"C1", u"-"}));
  EXPECT_EQ(head->Command(window, 101), S_OK) << "C's range was set before the failure";
  EXPECT_EQ(c.invocations, 1);
  EXPECT_EQ(head->Command(window, 102), E_INVALIDARG) << "B and A own nothing";

  // Called on the failing holder itself.
  EXPECT_EQ(holderB.InitMenu(menu, 0, 10, CMF_NORMAL), E_ACCESSDENIED);
  EXPECT_EQ(a.queries, 0);
}

TEST_F(ContextMenuHolderTest, HoldersWithoutAMenuArePassedOver) {
  struct NotAMenu : NXDataSync {
  } plain;
  FakeMenu a({u"A0"});
  FakeMenu c({u"C0"});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &plain);
  NXContextMenuHolder holderNull(&head, nullptr);
  NXContextMenuHolder holderC(&head, &c);
  EXPECT_EQ(holderB.Status(), E_NOINTERFACE);
  EXPECT_EQ(holderNull.Status(), E_POINTER);

  EXPECT_EQ(head->InitMenu(menu, 100, 200, CMF_NORMAL), 2);
  EXPECT_EQ(Items(menu), (Texts{u"C0", u"-", u"A0"}));
  EXPECT_EQ(a.first, 101u);
  EXPECT_EQ(head->Command(window, 101), S_OK);
  EXPECT_EQ(a.invocations, 1);
  EXPECT_EQ(holderB.Command(window, 100), E_INVALIDARG) << "B holds no menu; A does not own 100";
}

TEST_F(ContextMenuHolderTest, HoldersUnlinkThemselvesInAnyOrder) {
  FakeMenu a({u"A0"});
  FakeMenu b({u"B0"});
  FakeMenu c({u"C0"});
  auto* holderA = new NXContextMenuHolder(&head, &a);
  auto* holderB = new NXContextMenuHolder(&head, &b);
  auto* holderC = new NXContextMenuHolder(&head, &c);

  delete holderB;  // from the middle
  EXPECT_EQ(b.refs, 1u);
  EXPECT_EQ(head->InitMenu(menu, 1, 9, CMF_NORMAL), 2);
  EXPECT_EQ(Items(menu), (Texts{u"C0", u"-", u"A0"}));

  delete holderC;  // the head
  EXPECT_EQ(head, holderA);
  EXPECT_EQ(head->Command(window, 2), S_OK) << "A keeps its range";
  EXPECT_EQ(head->Command(window, 1), E_INVALIDARG);
  delete holderA;
  EXPECT_EQ(head, nullptr);

  // A holder in no list works on its own.
  NXContextMenuHolder alone(nullptr, &a);
  EXPECT_EQ(alone.InitMenu(menu, 40, 50, CMF_NORMAL), 1);
  EXPECT_EQ(alone.Command(window, 40), S_OK);
}

TEST_F(ContextMenuHolderTest, ADeadMenuHandleIsRefused) {
  FakeMenu a({u"A0"});
  NXContextMenuHolder holder(&head, &a);
  HMENU dead = CreatePopupMenu();
  DestroyMenu(dead);
  EXPECT_EQ(holder.InitMenu(dead, 1, 9, CMF_NORMAL), HRESULT_FROM_WIN32(ERROR_INVALID_MENU_HANDLE));
  EXPECT_EQ(a.queries, 0);
}

TEST_F(ContextMenuHolderTest, IdsEndAtTheLastIdGiven) {
  FakeMenu a({u"A0", u"A1"});
  FakeMenu b({u"B0", u"B1", u"B2"});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &b);
  EXPECT_EQ(head->InitMenu(menu, 0xFFFB, 0xFFFE, CMF_NORMAL), 4);
  EXPECT_EQ(Ids(menu), (std::vector<UINT>{0xFFFB, 0xFFFC, 0xFFFD, 0, 0xFFFE}));
  EXPECT_EQ(head->Command(window, 0xFFFE), S_OK);
  EXPECT_EQ(a.invocations, 1);
  EXPECT_EQ(head->Command(window, 0xFFFF), E_INVALIDARG);
}

TEST_F(ContextMenuHolderTest, IdsNeverWrapPastTheHighestId) {
  FakeMenu a({u"A0", u"A1"});
  FakeMenu b({u"B0", u"B1", u"B2", u"B3"});
  NXContextMenuHolder holderA(&head, &a);
  NXContextMenuHolder holderB(&head, &b);
  HMENU earlier = CreatePopupMenu();
  ASSERT_EQ(head->InitMenu(earlier, 1, 9, CMF_NORMAL), 6);  // A owned 5 and 6 there
  DestroyMenu(earlier);

  EXPECT_EQ(head->InitMenu(menu, 0xFFFC, 0xFFFF, CMF_NORMAL), 4);
  EXPECT_EQ(a.queries, 1) << "no id is left for A";
  EXPECT_EQ(Items(menu), (Texts{u"B0", u"B1", u"B2", u"B3"}));
  EXPECT_EQ(head->Command(window, 0xFFFF), S_OK);
  EXPECT_EQ(b.invocations, 1);
  for (USHORT id : {USHORT{0}, USHORT{5}, USHORT{6}}) EXPECT_EQ(head->Command(window, id), E_INVALIDARG) << id;
  EXPECT_EQ(a.invocations, 0);
}

}  // namespace
