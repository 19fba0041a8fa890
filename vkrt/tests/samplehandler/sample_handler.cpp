// A data class handler for the tests: an in-process COM server with three handler
// classes (one that describes two classes, one that knows none, one that always
// fails), its own string table and icon, and a class factory on thbc's NXClsObj.
#include "sample_handler.h"

#include <atomic>

#include "thbc/thbc.h"

namespace {

// Trivially destructible, so that a late Release at process exit finds them intact.
std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_created{0};
std::atomic<LONG> g_describeCalls{0};
// The server's counts kept by NXClsObj (factories alive, LockServer locks).
ULONG g_serverObjects = 0;
ULONG g_serverLocks = 0;

template <typename Interface>
class RefCounted : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == Iid()) {
      *ppv = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~RefCounted() = default;
  virtual const IID& Iid() const = 0;

 private:
  std::atomic<ULONG> refs_{1};
};

class Handler final : public RefCounted<IDataClassHandler> {
 public:
  explicit Handler(const CLSID& clsid) : clsid_(clsid) {
    ++g_objects;
    ++g_created;
  }
  ~Handler() override { --g_objects; }

  HRESULT STDMETHODCALLTYPE DescribeClass(VKDATACLASSREQUEST* request) override {
    ++g_describeCalls;
    if (clsid_ == CLSID_FailingHandler) return E_FAIL;
    if (clsid_ != CLSID_SampleHandler || !request || !request->dataClass) return S_FALSE;
    request->module = NxThisModule();
    request->iconId = 128;
    if (*request->dataClass == kSampleEcgClass) {
      request->nameId = 100;
      request->nameLength = 64;
      request->attributes = kSampleEcgAttributes;
      request->guidA = &kSampleGuidA;
      request->guidB = nullptr;
      request->descriptionId = 101;
      request->descriptionLength = 8;
      return S_OK;
    }
    if (*request->dataClass == kSampleNotesClass) {
      request->nameId = 102;
      request->nameLength = 0;
      request->attributes = kSampleNotesAttributes;
      request->guidA = nullptr;
      request->guidB = nullptr;
      request->descriptionId = 0;
      return S_OK;
    }
    return S_FALSE;
  }

 protected:
  const IID& Iid() const override { return IID_IDataClassHandler; }

 private:
  CLSID clsid_;
};

class Factory final : public NXClsObj {
 public:
  explicit Factory(const CLSID& clsid) : NXClsObj(&g_serverObjects, &g_serverLocks), clsid_(clsid) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* handler = new Handler(clsid_);
    HRESULT hr = handler->QueryInterface(riid, ppv);
    handler->Release();  // the creation reference; QueryInterface added the caller's
    return hr;
  }

 private:
  CLSID clsid_;
};

}  // namespace

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_SampleHandler && rclsid != CLSID_SilentHandler && rclsid != CLSID_FailingHandler)
    return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new Factory(rclsid);  // NXClsObj starts at 0 references
  factory->AddRef();
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

LONG SampleHandlerObjects() { return g_objects; }
LONG SampleHandlerCreated() { return g_created; }
LONG SampleHandlerDescribeCalls() { return g_describeCalls; }
