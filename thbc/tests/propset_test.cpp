// Property set: the walk that creates the UI items, the size checks and dispatch of
// parameter records, the text answers and the reference counting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "thbc/thbc.h"
#include "vtable_slot.h"

namespace {

// The UI side: hands out handles 1000, 1001, ... and records each request; fails the
// request numbered failAt (0-based) if set.
class FakeProvider : public INXPropertyUIProvider {
 public:
  struct Call {
    DWORD parent;
    DWORD code;
    NXPROPTREEITEM* item;
    DWORD size;
    DWORD providerField;
  };

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE InsertItem(DWORD parent, NXPROPUIITEM* item, DWORD* handle) override {
    calls.push_back({parent, item->dwCode, item->pItem, item->cbSize, item->dwProvider});
    if (static_cast<int>(calls.size()) - 1 == failAt) return E_OUTOFMEMORY;
    *handle = nextHandle++;
    return S_OK;
  }

  std::vector<Call> calls;
  int failAt = -1;
  DWORD nextHandle = 1000;
  ULONG refs = 1;
};

// Records which hooks ran; the hooks answer through the base class unless told otherwise.
class TestPropSet : public NXPropSet {
 public:
  TestPropSet(NXPROPTREEITEM* items, int count, int* destroyed = nullptr)
      : NXPropSet(items, count), destroyed_(destroyed) {}
  TestPropSet(const TestPropSet&) = default;
  ~TestPropSet() override {
    if (destroyed_) ++*destroyed_;
  }

  ULONG RefCount() const { return m_cRef; }
  INXPropertyUIProvider* Provider() const { return m_pUIProvider; }

  std::vector<std::string> hooks;
  std::vector<DWORD> levels;  // the parent of every uInitUI call
  HRESULT mainAnswer = S_OK;  // what the main-part hooks answer once their size check passed
  HRESULT textAnswer = S_OK;  // what the text hooks answer (the base hooks: S_FALSE)
  bool baseTextHooks = false;

 protected:
  HRESULT uInitUI(DWORD parent, NXPROPTREEITEM* items, DWORD count) override {
    levels.push_back(parent);
    return NXPropSet::uInitUI(parent, items, count);
  }
  HRESULT uGetStringValue(NXPROPTREEITEM* item, NXSTRINGREQUEST* request) override {
    return Text("value", NXPropSet::uGetStringValue(item, request));
  }
  HRESULT uGetPropLabel(NXPROPTREEITEM* item, NXSTRINGREQUEST* request) override {
    return Text("label", NXPropSet::uGetPropLabel(item, request));
  }
  HRESULT uGetPropTip(NXPROPTREEITEM* item, NXSTRINGREQUEST* request) override {
    return Text("tip", NXPropSet::uGetPropTip(item, request));
  }
  HRESULT uGetMainParam(NXCFGPARAMHDR* p, NXPROPTREEITEM* item) override {
    return Main("getMain", NXPropSet::uGetMainParam(p, item));
  }
  HRESULT uGetSSParam(NXCFGSSPARAM* p, NXPROPTREEITEM* item) override {
    return Note("getSS", NXPropSet::uGetSSParam(p, item));
  }
  HRESULT uGetIntParam(NXCFGINTPARAM* p, NXPROPTREEITEM* item) override {
    return Note("getInt", NXPropSet::uGetIntParam(p, item));
  }
  HRESULT uSetMainParam(NXCFGPARAMHDR* p, NXPROPTREEITEM* item) override {
    return Main("setMain", NXPropSet::uSetMainParam(p, item));
  }
  HRESULT uSetSSParam(NXCFGSSPARAM* p, NXPROPTREEITEM* item) override {
    return Note("setSS", NXPropSet::uSetSSParam(p, item));
  }
  HRESULT uSetIntParam(NXCFGINTPARAM* p, NXPROPTREEITEM* item) override {
    return Note("setInt", NXPropSet::uSetIntParam(p, item));
  }

 private:
  HRESULT Note(const char* hook, HRESULT hr) {
    hooks.push_back(hook);
    return hr;
  }
  HRESULT Main(const char* hook, HRESULT hr) { return Note(hook, hr == S_OK ? mainAnswer : hr); }
  HRESULT Text(const char* hook, HRESULT base) { return Note(hook, baseTextHooks ? base : textAnswer); }

  int* destroyed_;
};

// A tree of two top-level items; the first has one child (id 5) with a child of its own.
struct Tree {
  NXPROPTREEITEM grandchild[1] = {{9, 0, nullptr, 0, 0, 0, 0, 0}};
  NXPROPTREEITEM child[1] = {{5, 0, grandchild, 1, 0, 0, 0, 0}};
  NXPROPTREEITEM top[2] = {{1, 0, child, 1, 0, 0, 0, 0}, {2, 0, nullptr, 0, 0, 0, 0, 0}};
};

TEST(NXPropSetTest, ConnectCreatesTheUiItemsDepthFirst) {
  Tree tree;
  TestPropSet set(tree.top, 2);
  FakeProvider provider;
  EXPECT_EQ(set.Status(), S_OK);
  ASSERT_EQ(set.Connect(&provider), S_OK);
  EXPECT_EQ(provider.refs, 1u) << "the provider is kept without a reference";

  ASSERT_EQ(provider.calls.size(), 4u);
  // First item (parent 0), its child under it, the grandchild, then the second item.
  EXPECT_EQ(provider.calls[0].item, &tree.top[0]);
  EXPECT_EQ(provider.calls[0].parent, 0u);
  EXPECT_EQ(provider.calls[1].item, &tree.child[0]);
  EXPECT_EQ(provider.calls[1].parent, 1000u);
  EXPECT_EQ(provider.calls[2].item, &tree.grandchild[0]);
  EXPECT_EQ(provider.calls[2].parent, 1001u);
  EXPECT_EQ(provider.calls[3].item, &tree.top[1]);
  EXPECT_EQ(provider.calls[3].parent, 0u);
  EXPECT_EQ(provider.calls[1].code, 65541u) << "id 5 with bit 16";
  for (const auto& call : provider.calls) {
    EXPECT_EQ(call.size, sizeof(NXPROPUIITEM));
    EXPECT_EQ(call.providerField, 0u);
  }
  EXPECT_EQ(tree.top[0].dwUIHandle, 1000u);
  EXPECT_EQ(tree.child[0].dwUIHandle, 1001u);
  EXPECT_EQ(tree.grandchild[0].dwUIHandle, 1002u);
  EXPECT_EQ(tree.top[1].dwUIHandle, 1003u);
  EXPECT_EQ(set.levels, (std::vector<DWORD>{0, 1000, 1001})) << "each level goes through the virtual uInitUI";

  // A second connection creates everything anew and overwrites the handles.
  FakeProvider other;
  other.nextHandle = 50;
  ASSERT_EQ(set.Connect(&other), S_OK);
  EXPECT_EQ(set.Provider(), &other);
  EXPECT_EQ(other.calls.size(), 4u);
  EXPECT_EQ(tree.top[1].dwUIHandle, 53u);
}

TEST(NXPropSetTest, AProviderFailureStopsTheWalk) {
  Tree tree;
  TestPropSet set(tree.top, 2);
  FakeProvider provider;
  provider.failAt = 1;  // the child
  EXPECT_EQ(set.Connect(&provider), E_OUTOFMEMORY);
  EXPECT_EQ(provider.calls.size(), 2u) << "neither the grandchild nor the second item is created";
  EXPECT_EQ(tree.top[0].dwUIHandle, 1000u) << "items already created stay created";
  EXPECT_EQ(tree.top[1].dwUIHandle, 0u);
}

TEST(NXPropSetTest, EmptyOrBrokenTreesCreateNothing) {
  FakeProvider provider;
  TestPropSet none(nullptr, 0);
  EXPECT_EQ(none.Status(), E_INVALIDARG);
  EXPECT_EQ(none.Connect(&provider), S_OK);

  TestPropSet nullItems(nullptr, 3);
  EXPECT_EQ(nullItems.Status(), E_INVALIDARG);
  EXPECT_EQ(nullItems.Connect(&provider), E_INVALIDARG);

  Tree tree;
  TestPropSet negative(tree.top, -1);
  EXPECT_EQ(negative.Status(), E_INVALIDARG);
  EXPECT_EQ(negative.Connect(&provider), E_INVALIDARG);

  TestPropSet zero(tree.top, 0);
  EXPECT_EQ(zero.Status(), E_INVALIDARG);
  EXPECT_EQ(zero.Connect(&provider), S_OK);

  NXPROPTREEITEM childless[1] = {{1, 0, nullptr, 3, 0, 0, 0, 0}};  // a count without children
  TestPropSet broken(childless, 1);
  EXPECT_EQ(broken.Connect(&provider), S_OK);
  EXPECT_EQ(provider.calls.size(), 1u);

  TestPropSet unconnected(tree.top, 2);
  EXPECT_EQ(unconnected.Connect(nullptr), E_POINTER);
  EXPECT_EQ(provider.calls.size(), 1u);
}

// One GetParameter/SetParameter case: the record's flags and size, the result and the
// hooks that ran (get names; set runs the matching set hooks).
struct ParamCase {
  const char* what;
  DWORD flags;
  DWORD size;
  HRESULT result;
  std::vector<std::string> getHooks;
};

std::string SetName(std::string get) { return "set" + get.substr(3); }

TEST(NXPropSetTest, ParameterRecordsAreCheckedAndDispatched) {
  const DWORD typed = NXCFG_TYPEDPART;
  const DWORD main = NXCFG_MAINPART;
  const DWORD intType = NxCfgFlags(NXCFG_TYPE_INT);
  const DWORD ssType = NxCfgFlags(NXCFG_TYPE_SS);
  const std::vector<ParamCase> cases = {
      {"integer record one byte short", typed | intType, sizeof(NXCFGINTPARAM) - 1, E_INVALIDARG, {"getInt"}},
      {"integer record", typed | intType, sizeof(NXCFGINTPARAM), S_OK, {"getInt"}},
      {"SS record one byte short", typed | ssType, sizeof(NXCFGSSPARAM) - 1, E_INVALIDARG, {"getSS"}},
      {"SS record", typed | ssType, sizeof(NXCFGSSPARAM), S_OK, {"getSS"}},
      {"main part alone", main, sizeof(NXCFGPARAMHDR), S_OK, {"getMain"}},
      {"main part alone, short", main, sizeof(NXCFGPARAMHDR) - 1, E_INVALIDARG, {"getMain"}},
      {"main part of an integer record without its typed part", main | intType, sizeof(NXCFGPARAMHDR), S_OK,
       {"getMain"}},
      {"main and typed parts", main | typed | intType, sizeof(NXCFGINTPARAM), S_OK, {"getMain", "getInt"}},
      {"a failing main part stops", main | typed | intType, sizeof(NXCFGPARAMHDR) - 1, E_INVALIDARG, {"getMain"}},
      {"unknown type", typed | NxCfgFlags(3), sizeof(NXCFGINTPARAM), E_INVALIDARG, {}},
      {"type 0", typed, sizeof(NXCFGINTPARAM), E_INVALIDARG, {}},
      {"neither part", intType, 0, S_OK, {}},
  };
  for (const ParamCase& c : cases) {
    for (bool set : {false, true}) {
      TestPropSet ps(nullptr, 0);
      NXCFGINTPARAM record{};
      record.hdr.cbSize = c.size;
      record.hdr.dwFlags = c.flags;
      HRESULT hr = set ? ps.SetParameter(&record.hdr) : ps.GetParameter(&record.hdr);
      std::vector<std::string> expected = c.getHooks;
      if (set)
        for (auto& h : expected) h = SetName(h);
      EXPECT_EQ(hr, c.result) << c.what << (set ? " (set)" : " (get)");
      EXPECT_EQ(ps.hooks, expected) << c.what << (set ? " (set)" : " (get)");
    }
  }

  TestPropSet ps(nullptr, 0);
  EXPECT_EQ(ps.GetParameter(nullptr), E_INVALIDARG);
  EXPECT_EQ(ps.SetParameter(nullptr), E_INVALIDARG);
  EXPECT_TRUE(ps.hooks.empty());

  // Any answer of the main-part hook other than S_OK is the result.
  ps.mainAnswer = S_FALSE;
  NXCFGINTPARAM record{};
  record.hdr.cbSize = sizeof(record);
  record.hdr.dwFlags = main | typed | intType;
  EXPECT_EQ(ps.GetParameter(&record.hdr), S_FALSE);
  EXPECT_EQ(ps.hooks, (std::vector<std::string>{"getMain"}));
}

TEST(NXPropSetTest, TextRequestsAnswerWithStringIdsOrTheHooks) {
  // Fields: id, -, children, child count, -, label id, tip id, UI handle.
  NXPROPTREEITEM items[2] = {{1, 0, nullptr, 0, 0, 7, 0, 0}, {2, 0, nullptr, 0, 0, 7, 9, 0}};
  TestPropSet set(items, 2);
  const HMODULE thbcModule = GetModuleHandleW(u"libthbc.so");
  ASSERT_NE(thbcModule, nullptr);

  auto request = [](WORD kind, NXPROPTREEITEM* item) {
    NXSTRINGREQUEST r{};
    r.wKind = kind;
    r.pItem = item;
    return r;
  };

  // A label id: a string resource of thbc's own module.
  NXSTRINGREQUEST r = request(NXSTR_KIND_LABEL, &items[0]);
  EXPECT_EQ(set.GetText(&r), S_OK);
  EXPECT_EQ(r.wForm, NXSTR_FORM_RESOURCE);
  EXPECT_EQ(r.wStringID, 7);
  EXPECT_EQ(r.hModule, thbcModule);
  EXPECT_NE(r.hModule, NxThisModule());

  // The tip kind takes the tip id; with none it goes to the tip hook, not the label.
  r = request(NXSTR_KIND_TIP, &items[1]);
  EXPECT_EQ(set.GetText(&r), S_OK);
  EXPECT_EQ(r.wStringID, 9);
  r = request(NXSTR_KIND_TIP, &items[0]);
  set.textAnswer = E_NOTIMPL;
  EXPECT_EQ(set.GetText(&r), E_NOTIMPL);
  EXPECT_EQ(r.wForm, 0);
  EXPECT_EQ(r.wKind, NXSTR_KIND_TIP);
  EXPECT_EQ(r.hModule, nullptr);

  // The value kind always goes to its hook; kinds other than tip and value are labels.
  r = request(NXSTR_KIND_VALUE, &items[1]);
  EXPECT_EQ(set.GetText(&r), E_NOTIMPL);
  r = request(5, &items[1]);
  EXPECT_EQ(set.GetText(&r), S_OK);
  EXPECT_EQ(r.wStringID, 7);
  EXPECT_EQ(set.hooks, (std::vector<std::string>{"tip", "value"}));

  items[0].wLabelID = 0;
  set.hooks.clear();
  set.baseTextHooks = true;
  for (WORD kind : {NXSTR_KIND_LABEL, NXSTR_KIND_TIP, NXSTR_KIND_VALUE}) {
    r = request(kind, &items[0]);
    EXPECT_EQ(set.GetText(&r), S_FALSE) << "nothing answers kind " << kind;
  }
  EXPECT_EQ(set.hooks, (std::vector<std::string>{"label", "tip", "value"}));

  EXPECT_EQ(set.GetText(nullptr), E_POINTER);
  r = request(NXSTR_KIND_LABEL, nullptr);
  EXPECT_EQ(set.GetText(&r), E_INVALIDARG);
  r = request(NXSTR_KIND_VALUE, nullptr);
  EXPECT_EQ(set.GetText(&r), S_FALSE) << "the value hook decides about a missing item";
}

TEST(NXPropSetTest, BaseAnswersOfTheRemainingOperations) {
  Tree tree;
  TestPropSet set(tree.top, 2);
  HIMAGELIST list = reinterpret_cast<HIMAGELIST>(0x42);
  EXPECT_EQ(set.GetImageList(0, &list), S_FALSE);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(set.GetImageList(1, nullptr), E_INVALIDARG);
  EXPECT_EQ(set.Check(nullptr), TRUE);
  EXPECT_EQ(set.Apply(), S_OK);
}

TEST(NXPropSetTest, ReferenceCountingQueryInterfaceAndCopies) {
  Tree tree;
  int destroyed = 0;
  auto* set = new TestPropSet(tree.top, 2, &destroyed);
  EXPECT_EQ(set->RefCount(), 0u);
  void* out = nullptr;
  ASSERT_EQ(set->QueryInterface(IID_INXPropertySet, &out), S_OK);
  auto* iface = static_cast<INXPropertySet*>(out);
  EXPECT_EQ(iface, static_cast<INXPropertySet*>(set));
  ASSERT_EQ(iface->QueryInterface(IID_IUnknown, &out), S_OK);
  EXPECT_EQ(set->RefCount(), 2u);
  out = set;
  EXPECT_EQ(iface->QueryInterface(IID_IClassFactory, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(iface->QueryInterface(IID_INXPropertySet, nullptr), E_INVALIDARG);

  FakeProvider provider;
  ASSERT_EQ(iface->Connect(&provider), S_OK);
  auto* copy = new TestPropSet(*set);
  EXPECT_EQ(copy->RefCount(), 0u) << "the reference count is never copied";
  EXPECT_EQ(copy->Provider(), &provider);
  EXPECT_EQ(copy->Status(), S_OK);
  copy->AddRef();
  EXPECT_EQ(copy->Release(), 0u);
  EXPECT_EQ(destroyed, 1);

  EXPECT_EQ(iface->Release(), 1u);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(iface->Release(), 0u);
  EXPECT_EQ(destroyed, 2);
}

// Reaches the protected hooks' pointers to members.
struct SlotProbe : NXPropSet {
  static void Check() {
    EXPECT_EQ(VtableSlot(&NXPropSet::QueryInterface), 0);
    EXPECT_EQ(VtableSlot(&NXPropSet::Release), 2);
    EXPECT_EQ(VtableSlot(&NXPropSet::Connect), 3);
    EXPECT_EQ(VtableSlot(&NXPropSet::GetParameter), 4);
    EXPECT_EQ(VtableSlot(&NXPropSet::SetParameter), 5);
    EXPECT_EQ(VtableSlot(&NXPropSet::GetImageList), 6);
    EXPECT_EQ(VtableSlot(&NXPropSet::GetText), 7);
    EXPECT_EQ(VtableSlot(&NXPropSet::Check), 8);
    EXPECT_EQ(VtableSlot(&NXPropSet::Apply), 9);
    // The destructor's two forms (complete, deleting) take slots 10 and 11 in this ABI.
    EXPECT_EQ(VtableSlot(&NXPropSet::Status), 12);
    EXPECT_EQ(VtableSlot(&SlotProbe::uInitUI), 13);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetStringValue), 14);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetPropLabel), 15);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetPropTip), 16);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetMainParam), 17);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetSSParam), 18);
    EXPECT_EQ(VtableSlot(&SlotProbe::uGetIntParam), 19);
    EXPECT_EQ(VtableSlot(&SlotProbe::uSetMainParam), 20);
    EXPECT_EQ(VtableSlot(&SlotProbe::uSetSSParam), 21);
    EXPECT_EQ(VtableSlot(&SlotProbe::uSetIntParam), 22);
  }
};

TEST(NXPropSetTest, VirtualSlotsKeepTheirOrder) { SlotProbe::Check(); }

}  // namespace
