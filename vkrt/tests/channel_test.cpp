// Channel access records against mock channel objects that log every call: the steps
// and their order, the data format swap, the context call, the write modes, failures
// part-way, and the release order of each free function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "vkrt.h"

namespace {

using Calls = std::vector<std::string>;

std::string IidName(REFIID iid) {
  static const std::pair<const IID*, const char*> names[] = {
      {&IID_IUnknown, "IUnknown"},
      {&IID_ILinkChannel, "ILinkChannel"},
      {&IID_ILinkChannelAccess, "ILinkChannelAccess"},
      {&IID_ILinkChannelAccess2, "ILinkChannelAccess2"},
      {&IID_ILinkChannelWriter, "ILinkChannelWriter"},
      {&IID_IStreamChannel, "IStreamChannel"},
      {&IID_LinkDefaultFormat, "Default"},
      {&IID_LinkAltFormat, "Alt"},
      {&IID_IDataStream, "IDataStream"},
      {&IID_IDataStreamReader, "Reader"},
      {&IID_IDataStreamWriter, "Writer"},
      {&IID_IDataStreamControl, "Control"},
  };
  for (const auto& [known, name] : names)
    if (IsEqualGUID(*known, iid)) return name;
  WCHAR text[NX_GUID_STRING_CCH];
  nx::FormatGuid(iid, text);
  return std::string(text, text + NX_GUID_STRING_LEN);
}

// A data IID of the caller's own.
constexpr IID kOtherFormat = nx::Guid("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// The objects of one test share a call log. Each mock answers requests for interfaces
// (QueryInterface, and GetChannel or OpenAccess where it has them) from a table of
// objects, or fails with a given result.
struct World {
  Calls calls;
  void Log(const std::string& s) { calls.push_back(s); }
};

template <typename Interface>
class Mock : public Interface {
 public:
  Mock(World& world, std::string name) : world_(world), name_(std::move(name)) {}
  void Answer(REFIID iid, IUnknown* object) { answers_[IidName(iid)] = object; }
  void Fail(REFIID iid, HRESULT hr) { failures_[IidName(iid)] = hr; }
  int Refs() const { return refs_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    world_.Log(name_ + ".QueryInterface(" + IidName(riid) + ")");
    return Hand(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    world_.Log(name_ + ".Release");
    EXPECT_GT(refs_, 0) << name_ << " released more often than referenced";
    return static_cast<ULONG>(--refs_);
  }

 protected:
  HRESULT Hand(REFIID riid, void** ppv) {
    *ppv = nullptr;
    std::string key = IidName(riid);
    if (auto f = failures_.find(key); f != failures_.end()) return f->second;
    auto a = answers_.find(key);
    if (a == answers_.end()) return E_NOINTERFACE;
    if (a->second) {
      a->second->AddRef();
      *ppv = a->second;
    }
    return S_OK;  // an answer of null is an object that claims success without a pointer
  }
  void Log(const std::string& s) { world_.Log(name_ + "." + s); }

  World& world_;
  std::string name_;
  int refs_ = 0;
  std::map<std::string, IUnknown*> answers_;
  std::map<std::string, HRESULT> failures_;
};

using Plain = Mock<IUnknown>;

struct Source : Mock<IChannelSource> {
  using Mock::Mock;
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetChannel(DWORD index, REFIID riid, void** ppv) override {
    Log("GetChannel(" + std::to_string(index) + "," + IidName(riid) + ")");
    return Hand(riid, ppv);
  }
};

struct Link : Mock<ILinkChannel> {
  using Mock::Mock;
  HRESULT STDMETHODCALLTYPE OpenAccess(REFIID riid, void** ppv) override {
    Log("OpenAccess(" + IidName(riid) + ")");
    return Hand(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  DWORD STDMETHODCALLTYPE GetAttributes() override {
    Log("GetAttributes");
    return attributes;
  }
  DWORD attributes = 0;
};

struct Access : Mock<ILinkChannelAccess> {
  using Mock::Mock;
  DWORD STDMETHODCALLTYPE GetCount() override {
    Log("GetCount");
    return count;
  }
  HRESULT STDMETHODCALLTYPE SetContext(DWORD a, DWORD b) override {
    Log("SetContext(" + std::to_string(a) + "," + std::to_string(b) + ")");
    return E_FAIL;  // ignored
  }
  DWORD STDMETHODCALLTYPE GetState() override {
    Log("GetState");
    return state;
  }
  DWORD count = 0;
  DWORD state = 0;
};

using Access2 = Mock<ILinkChannelAccess2>;
using LinkWriter = Mock<ILinkChannelWriter>;
using StmChannel = Mock<IStreamChannel>;

struct DataStream : Mock<IDataStream> {
  using Mock::Mock;
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenAccess(void** ppv, REFIID riid, DWORD flags) override {
    Log("OpenAccess(" + IidName(riid) + "," + std::to_string(flags) + ")");
    return Hand(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  DWORD STDMETHODCALLTYPE GetLength(DWORD) override { return 0; }
};

struct StreamReader : Mock<IDataStreamReader> {
  using Mock::Mock;
  HRESULT STDMETHODCALLTYPE LockSamples(DWORD, DWORD, DWORD, DWORD, const SHORT**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnlockSamples() override { return E_NOTIMPL; }
};
struct StreamWriter : Mock<IDataStreamWriter> {
  using Mock::Mock;
  LONG STDMETHODCALLTYPE GetBuffer(DWORD, SHORT**) override { return static_cast<LONG>(E_NOTIMPL); }
  HRESULT STDMETHODCALLTYPE CommitBuffer(DWORD) override { return E_NOTIMPL; }
};
struct StreamControl : Mock<IDataStreamControl> {
  using Mock::Mock;
  HRESULT STDMETHODCALLTYPE SetContext(DWORD a, DWORD b) override {
    Log("SetContext(" + std::to_string(a) + "," + std::to_string(b) + ")");
    return E_FAIL;  // ignored
  }
};

// A link channel with everything a reader or writer may ask for.
struct LinkWorld : World {
  LinkWorld() {
    source.Answer(IID_ILinkChannel, &link);
    link.Answer(IID_ILinkChannelAccess, &access);
    link.Answer(IID_ILinkChannelWriter, &writer);
    access.Answer(IID_LinkDefaultFormat, &defaultData);
    access.Answer(IID_LinkAltFormat, &altData);
    access.Answer(kOtherFormat, &otherData);
    access.Answer(IID_ILinkChannelAccess2, &access2);
    writer.Answer(IID_ILinkChannelAccess, &access);
    writer.Answer(IID_LinkDefaultFormat, &defaultData);
    writer.Answer(kOtherFormat, &otherData);
    writer.Answer(IID_ILinkChannelAccess2, &access2);
    channelObject.Answer(IID_ILinkChannel, &link);
    access.count = 1234;
  }
  int Refs() const {
    return link.Refs() + access.Refs() + access2.Refs() + writer.Refs() + defaultData.Refs() + altData.Refs() +
           otherData.Refs() + channelObject.Refs();
  }
  Source source{*this, "source"};
  Link link{*this, "link"};
  Access access{*this, "access"};
  Access2 access2{*this, "access2"};
  LinkWriter writer{*this, "writer"};
  Plain defaultData{*this, "default"};
  Plain altData{*this, "alt"};
  Plain otherData{*this, "other"};
  Plain channelObject{*this, "object"};
};

// A stream channel with its stream and access objects.
struct StreamWorld : World {
  StreamWorld() {
    source.Answer(IID_IStreamChannel, &channel);
    channel.Answer(IID_IDataStream, &stream);
    object.Answer(IID_IDataStream, &stream);
    stream.Answer(IID_IDataStreamReader, &reader);
    stream.Answer(IID_IDataStreamWriter, &writer);
    stream.Answer(IID_IDataStreamControl, &control);
  }
  int Refs() const { return channel.Refs() + stream.Refs() + reader.Refs() + writer.Refs() + control.Refs(); }
  Source source{*this, "source"};
  StmChannel channel{*this, "channel"};
  Plain object{*this, "object"};
  DataStream stream{*this, "stream"};
  StreamReader reader{*this, "reader"};
  StreamWriter writer{*this, "writer"};
  StreamControl control{*this, "control"};
};

template <typename Record>
Record Garbage() {
  Record r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

template <typename Record>
bool Untouched(const Record& r) {
  const Record garbage = Garbage<Record>();
  return std::memcmp(&r, &garbage, sizeof r) == 0;
}

template <typename Record>
bool IsZero(const Record& r) {
  Record zero{};
  return std::memcmp(&r, &zero, sizeof r) == 0;
}

// ---- reading a link channel ----------------------------------------------------------------

TEST(LinkReadTest, StepsInOrderThenReleasedInReverse) {
  LinkWorld w;
  auto r = Garbage<VKLINKACCESSRD>();
  r.channel = 5;
  ASSERT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 7, 9), S_OK);
  EXPECT_EQ(w.calls, (Calls{"source.GetChannel(5,ILinkChannel)", "link.OpenAccess(ILinkChannelAccess)",
                            "access.QueryInterface({0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0})", "access.SetContext(7,9)",
                            "access.GetCount", "access.GetState"}));
  EXPECT_EQ(r.channel, 5u);
  EXPECT_EQ(r.link, &w.link);
  EXPECT_EQ(r.access, &w.access);
  EXPECT_EQ(r.data, &w.otherData);
  EXPECT_EQ(r.count, 1234u);
  EXPECT_EQ(r.stateFlag, FALSE);
  EXPECT_EQ(w.Refs(), 3);

  w.calls.clear();
  EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, TRUE), TRUE);
  EXPECT_EQ(w.calls, (Calls{"other.Release", "access.Release", "link.Release"}));
  EXPECT_TRUE(IsZero(r)) << "the channel index is cleared too";
  EXPECT_EQ(w.Refs(), 0);
}

TEST(LinkReadTest, DefaultFormatBecomesTheAlternativeOnlyWithBit17) {
  struct Case {
    const IID* asked;
    DWORD attributes;
    bool second;  // the "2" variant
    const char* data;
    bool attributesAsked;
  };
  const Case cases[] = {
      {&IID_LinkDefaultFormat, VK_LINK_ATTR_ALTFORMAT, false, "alt", true},
      {&IID_LinkDefaultFormat, 0xFFFFFFFF, false, "alt", true},
      {&IID_LinkDefaultFormat, ~VK_LINK_ATTR_ALTFORMAT, false, "default", true},
      {&IID_LinkDefaultFormat, 0, false, "default", true},
      {&kOtherFormat, VK_LINK_ATTR_ALTFORMAT, false, "other", false},
      {&IID_LinkAltFormat, 0, false, "alt", false},
      {&IID_LinkDefaultFormat, VK_LINK_ATTR_ALTFORMAT, true, "default", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(IidName(*c.asked) + " attributes " + std::to_string(c.attributes) + (c.second ? " (2)" : ""));
    LinkWorld w;
    w.link.attributes = c.attributes;
    IUnknown* data = nullptr;
    if (c.second) {
      VKLINKACCESSRD2 r{};
      ASSERT_EQ(vkInitLinkChannelAccessRd2(&w.source, &r, c.asked, 0, 0), S_OK);
      data = r.data;
      vkFreeLinkChannelAccessRd2(&r, TRUE);
    } else {
      VKLINKACCESSRD r{};
      ASSERT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, c.asked, 0, 0), S_OK);
      data = r.data;
      vkFreeLinkChannelAccessRd(&r, TRUE);
    }
    const std::map<std::string, IUnknown*> objects = {
        {"alt", &w.altData}, {"default", &w.defaultData}, {"other", &w.otherData}};
    EXPECT_EQ(data, objects.at(c.data));
    bool asked = std::find(w.calls.begin(), w.calls.end(), "link.GetAttributes") != w.calls.end();
    EXPECT_EQ(asked, c.attributesAsked);
    EXPECT_EQ(w.Refs(), 0);
  }
}

TEST(LinkReadTest, ContextZeroMeansNoSetContext) {
  LinkWorld w;
  VKLINKACCESSRD r{};
  ASSERT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 0, 55), S_OK);
  VKLINKACCESSRD2 r2{};
  ASSERT_EQ(vkInitLinkChannelAccessRd2(&w.source, &r2, &kOtherFormat, 0, 55), S_OK);
  for (const auto& call : w.calls) EXPECT_EQ(call.find("SetContext"), std::string::npos) << call;
  vkFreeLinkChannelAccessRd(&r, TRUE);
  vkFreeLinkChannelAccessRd2(&r2, TRUE);
  // A value with a zero parameter still sets it.
  w.calls.clear();
  ASSERT_EQ(vkInitLinkChannelAccessRd2(&w.source, &r2, &kOtherFormat, 3, 0), S_OK);
  EXPECT_NE(std::find(w.calls.begin(), w.calls.end(), "access.SetContext(3,0)"), w.calls.end());
  vkFreeLinkChannelAccessRd2(&r2, TRUE);
  EXPECT_EQ(w.Refs(), 0);
}

TEST(LinkReadTest, FreeResultFollowsAccessAndState) {
  LinkWorld w;
  w.access.state = 2;
  VKLINKACCESSRD r{};
  ASSERT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 0, 0), S_OK);
  EXPECT_EQ(r.stateFlag, TRUE);
  EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, TRUE), FALSE);

  w.access.state = 3;  // only 2 counts
  ASSERT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 0, 0), S_OK);
  EXPECT_EQ(r.stateFlag, FALSE);
  // Without clearing the fields stay as they were (released, not to be freed again).
  EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, FALSE), TRUE);
  EXPECT_EQ(r.access, &w.access);
  EXPECT_EQ(r.count, 1234u);
  EXPECT_EQ(w.Refs(), 0);
  EXPECT_EQ(vkFreeLinkChannelAccessRd(nullptr, TRUE), FALSE);
}

TEST(LinkReadTest, FailureKeepsWhatWasObtained) {
  {
    // GetChannel fails: nothing obtained, every field but the channel 0, nothing released.
    LinkWorld w;
    w.source.Fail(IID_ILinkChannel, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    auto r = Garbage<VKLINKACCESSRD>();
    r.channel = 2;
    EXPECT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 1, 1), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(r.channel, 2u);
    r.channel = 0;
    EXPECT_TRUE(IsZero(r));
    r.channel = 2;
    w.calls.clear();
    EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, FALSE), FALSE);
    EXPECT_TRUE(w.calls.empty());
  }
  {
    // The data interface is refused: link and access stay for the free function.
    LinkWorld w;
    w.access.Fail(IID_LinkDefaultFormat, E_NOINTERFACE);
    auto r = Garbage<VKLINKACCESSRD>();
    EXPECT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &IID_LinkDefaultFormat, 1, 1), E_NOINTERFACE);
    EXPECT_EQ(r.link, &w.link);
    EXPECT_EQ(r.access, &w.access);
    EXPECT_EQ(r.data, nullptr);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(w.calls.back(), "access.QueryInterface(Default)") << "later steps skipped";
    w.calls.clear();
    EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, TRUE), TRUE) << "access obtained, state not 2";
    EXPECT_EQ(w.calls, (Calls{"access.Release", "link.Release"}));
    EXPECT_EQ(w.Refs(), 0);
  }
  {
    // A success without an object ends the steps rather than calling through null.
    LinkWorld w;
    w.link.Answer(IID_ILinkChannelAccess, nullptr);
    VKLINKACCESSRD r{};
    EXPECT_EQ(vkInitLinkChannelAccessRd(&w.source, &r, &kOtherFormat, 0, 0), E_POINTER);
    EXPECT_EQ(vkFreeLinkChannelAccessRd(&r, TRUE), FALSE);
    EXPECT_EQ(w.Refs(), 0);
  }
  {
    // The "2" variant stops at ILinkChannelAccess2 with the others kept.
    LinkWorld w;
    w.access.Fail(IID_ILinkChannelAccess2, E_NOINTERFACE);
    VKLINKACCESSRD2 r{};
    EXPECT_EQ(vkInitLinkChannelAccessRd2(&w.source, &r, &kOtherFormat, 1, 1), E_NOINTERFACE);
    EXPECT_EQ(r.data, &w.otherData);
    EXPECT_EQ(r.access2, nullptr);
    EXPECT_EQ(w.calls.back(), "access.QueryInterface(ILinkChannelAccess2)");
    vkFreeLinkChannelAccessRd2(&r, TRUE);
    EXPECT_EQ(w.Refs(), 0);
  }
}

TEST(LinkReadTest, SecondVariantOrderAndRelease) {
  LinkWorld w;
  auto r = Garbage<VKLINKACCESSRD2>();
  r.channel = 1;
  ASSERT_EQ(vkInitLinkChannelAccessRd2(&w.source, &r, &IID_LinkDefaultFormat, 4, 6), S_OK);
  EXPECT_EQ(w.calls, (Calls{"source.GetChannel(1,ILinkChannel)", "link.OpenAccess(ILinkChannelAccess)",
                            "access.QueryInterface(Default)", "access.QueryInterface(ILinkChannelAccess2)",
                            "access.SetContext(4,6)", "access.GetCount", "access.GetState"}));
  EXPECT_EQ(r.access2, &w.access2);
  EXPECT_EQ(r.count, 1234u);
  w.calls.clear();
  vkFreeLinkChannelAccessRd2(&r, TRUE);
  EXPECT_EQ(w.calls, (Calls{"access2.Release", "default.Release", "access.Release", "link.Release"}));
  EXPECT_TRUE(IsZero(r));
  vkFreeLinkChannelAccessRd2(nullptr, TRUE);
}

// ---- writing a link channel -------------------------------------------------------------------

TEST(LinkWriteTest, StepsInOrderThenReleasedInReverse) {
  LinkWorld w;
  auto r = Garbage<VKLINKACCESSWR>();
  ASSERT_EQ(vkInitLinkChannelAccessWr(&w.channelObject, &r, &IID_LinkDefaultFormat), S_OK);
  EXPECT_EQ(w.calls, (Calls{"object.QueryInterface(ILinkChannel)", "link.OpenAccess(ILinkChannelWriter)",
                            "writer.QueryInterface(ILinkChannelAccess)", "writer.QueryInterface(Default)"}));
  EXPECT_EQ(r.link, &w.link);
  EXPECT_EQ(r.linkWriter, &w.writer);
  EXPECT_EQ(r.access, &w.access);
  EXPECT_EQ(r.data, &w.defaultData);
  w.calls.clear();
  vkFreeLinkChannelAccessWr(&r, TRUE);
  EXPECT_EQ(w.calls, (Calls{"default.Release", "access.Release", "writer.Release", "link.Release"}));
  EXPECT_TRUE(IsZero(r));
  EXPECT_EQ(w.Refs(), 0);

  auto r2 = Garbage<VKLINKACCESSWR2>();
  w.calls.clear();
  ASSERT_EQ(vkInitLinkChannelAccessWr2(&w.channelObject, &r2, &kOtherFormat), S_OK);
  EXPECT_EQ(w.calls.back(), "writer.QueryInterface(ILinkChannelAccess2)");
  EXPECT_EQ(w.calls.size(), 5u);
  EXPECT_EQ(r2.access2, &w.access2);
  w.calls.clear();
  vkFreeLinkChannelAccessWr2(&r2, FALSE);
  EXPECT_EQ(w.calls, (Calls{"access2.Release", "other.Release", "access.Release", "writer.Release", "link.Release"}));
  EXPECT_EQ(r2.link, &w.link) << "kept without clearing";
  EXPECT_EQ(w.Refs(), 0);
}

TEST(LinkWriteTest, FailureKeepsWhatWasObtained) {
  LinkWorld w;
  w.link.Fail(IID_ILinkChannelWriter, E_ACCESSDENIED);
  auto r = Garbage<VKLINKACCESSWR2>();
  EXPECT_EQ(vkInitLinkChannelAccessWr2(&w.channelObject, &r, &kOtherFormat), E_ACCESSDENIED);
  EXPECT_EQ(r.link, &w.link);
  r.link = nullptr;
  EXPECT_TRUE(IsZero(r));
  r.link = &w.link;
  w.calls.clear();
  vkFreeLinkChannelAccessWr2(&r, TRUE);
  EXPECT_EQ(w.calls, Calls{"link.Release"});
  EXPECT_EQ(w.Refs(), 0);
  vkFreeLinkChannelAccessWr(nullptr, TRUE);
  vkFreeLinkChannelAccessWr2(nullptr, TRUE);
}

// ---- stream channels ------------------------------------------------------------------------

TEST(StreamChannelTest, ReadStepsInOrderThenReleasedInReverse) {
  StreamWorld w;
  auto r = Garbage<VKSTMACCESSRD>();
  r.channel = 3;
  ASSERT_EQ(vkInitStmChannelAccessRd(&w.source, &r, 11, 12), S_OK);
  EXPECT_EQ(w.calls,
            (Calls{"source.GetChannel(3,IStreamChannel)", "channel.QueryInterface(IDataStream)",
                   "stream.OpenAccess(Reader,0)", "stream.OpenAccess(Control,0)", "control.SetContext(11,12)"}));
  EXPECT_EQ(r.stmChannel, &w.channel);
  EXPECT_EQ(r.stream, &w.stream);
  EXPECT_EQ(r.reader, &w.reader);
  EXPECT_EQ(r.control, &w.control);
  w.calls.clear();
  vkFreeStmChannelAccessRd(&r, TRUE);
  EXPECT_EQ(w.calls, (Calls{"control.Release", "reader.Release", "stream.Release", "channel.Release"}));
  EXPECT_EQ(r.channel, 3u) << "the channel index stays";
  r.channel = 0;
  EXPECT_TRUE(IsZero(r));
  EXPECT_EQ(w.Refs(), 0);

  // Context 0: no SetContext, whatever the parameter.
  w.calls.clear();
  ASSERT_EQ(vkInitStmChannelAccessRd(&w.source, &r, 0, 12), S_OK);
  EXPECT_EQ(w.calls.back(), "stream.OpenAccess(Control,0)");
  vkFreeStmChannelAccessRd(&r, TRUE);

  // A refused control object keeps the reader for the free function.
  w.calls.clear();
  w.stream.Fail(IID_IDataStreamControl, E_NOTIMPL);
  EXPECT_EQ(vkInitStmChannelAccessRd(&w.source, &r, 0, 12), E_NOTIMPL);
  EXPECT_EQ(w.calls.back(), "stream.OpenAccess(Control,0)");
  EXPECT_EQ(r.reader, &w.reader);
  EXPECT_EQ(r.control, nullptr);
  vkFreeStmChannelAccessRd(&r, TRUE);
  EXPECT_EQ(w.Refs(), 0);
  vkFreeStmChannelAccessRd(nullptr, TRUE);
}

TEST(StreamChannelTest, WriteModesAndReader) {
  struct Case {
    DWORD mode;
    BOOL wantReader;
    Calls opens;
  };
  const Case cases[] = {
      {0, FALSE, {}},
      {0, TRUE, {"stream.OpenAccess(Reader,0)"}},
      {1, FALSE, {"stream.OpenAccess(Writer,0)"}},
      {2, TRUE, {"stream.OpenAccess(Writer,1)", "stream.OpenAccess(Reader,0)"}},
      {0x80000000, FALSE, {"stream.OpenAccess(Writer,1)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + (c.wantReader ? " with reader" : ""));
    StreamWorld w;
    auto r = Garbage<VKSTMACCESSWR>();
    ASSERT_EQ(vkInitStmChannelAccessWr(&w.object, &r, c.mode, c.wantReader), S_OK);
    Calls expected = {"object.QueryInterface(IDataStream)"};
    expected.insert(expected.end(), c.opens.begin(), c.opens.end());
    EXPECT_EQ(w.calls, expected);
    EXPECT_EQ(r.stream, &w.stream);
    EXPECT_EQ(r.writer, c.mode ? &w.writer : nullptr);
    EXPECT_EQ(r.reader, c.wantReader ? &w.reader : nullptr);
    w.calls.clear();
    vkFreeStmChannelAccessWr(&r, TRUE);
    Calls released;
    if (c.wantReader) released.push_back("reader.Release");
    if (c.mode) released.push_back("writer.Release");
    released.push_back("stream.Release");
    EXPECT_EQ(w.calls, released);
    EXPECT_TRUE(IsZero(r));
    EXPECT_EQ(w.Refs(), 0);
  }
  vkFreeStmChannelAccessWr(nullptr, TRUE);
}

// ---- arguments ------------------------------------------------------------------------------

TEST(ChannelArgumentsTest, NullRequiredPointersLeaveTheRecordAlone) {
  LinkWorld w;
  StreamWorld s;
  auto rd = Garbage<VKLINKACCESSRD>();
  auto rd2 = Garbage<VKLINKACCESSRD2>();
  auto wr = Garbage<VKLINKACCESSWR>();
  auto wr2 = Garbage<VKLINKACCESSWR2>();
  auto srd = Garbage<VKSTMACCESSRD>();
  auto swr = Garbage<VKSTMACCESSWR>();
  EXPECT_EQ(vkInitLinkChannelAccessRd(nullptr, &rd, &kOtherFormat, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessRd(&w.source, nullptr, &kOtherFormat, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessRd(&w.source, &rd, nullptr, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessRd2(nullptr, &rd2, &kOtherFormat, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessRd2(&w.source, &rd2, nullptr, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessWr(nullptr, &wr, &kOtherFormat), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessWr(&w.channelObject, &wr, nullptr), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessWr2(&w.channelObject, nullptr, &kOtherFormat), E_POINTER);
  EXPECT_EQ(vkInitLinkChannelAccessWr2(&w.channelObject, &wr2, nullptr), E_POINTER);
  EXPECT_EQ(vkInitStmChannelAccessRd(nullptr, &srd, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitStmChannelAccessRd(&s.source, nullptr, 0, 0), E_POINTER);
  EXPECT_EQ(vkInitStmChannelAccessWr(nullptr, &swr, 1, TRUE), E_POINTER);
  EXPECT_EQ(vkInitStmChannelAccessWr(&s.object, nullptr, 1, TRUE), E_POINTER);
  EXPECT_TRUE(w.calls.empty());
  EXPECT_TRUE(s.calls.empty());
  EXPECT_TRUE(Untouched(rd));
  EXPECT_TRUE(Untouched(rd2));
  EXPECT_TRUE(Untouched(wr));
  EXPECT_TRUE(Untouched(wr2));
  EXPECT_TRUE(Untouched(srd));
  EXPECT_TRUE(Untouched(swr));
}

}  // namespace
