// A small in-process COM server for the CoCreateInstance tests: one class with a
// counter interface, a class factory per DllGetClassObject call, no aggregation.
#include <atomic>

#include "com_test_server.h"

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_factories{0};

// QueryInterface, AddRef and Release of an object with one interface besides IUnknown.
template <typename Derived, typename Interface, const IID& kIid>
class Unknown : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == kIid) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class Counter final : public Unknown<Counter, ITestCounter, IID_ITestCounter> {
 public:
  Counter() { ++g_objects; }
  ~Counter() { --g_objects; }
  LONG Add(LONG value) override { return total_ += value; }
  LONG LiveObjects() override { return g_objects; }
  LONG LiveFactories() override { return g_factories; }

 private:
  LONG total_ = 0;
};

class Factory final : public Unknown<Factory, IClassFactory, IID_IClassFactory> {
 public:
  Factory() { ++g_factories; }
  ~Factory() { --g_factories; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* counter = new Counter;
    HRESULT hr = counter->QueryInterface(riid, ppv);
    counter->Release();  // the creation reference; QueryInterface added the caller's
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

}  // namespace

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new Factory;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

// Lets the library without the export depend on this one (see com_test_noexport.cpp).
NX_EXTERN_C NX_EXPORT LONG ComTestServerObjects() { return g_objects; }
