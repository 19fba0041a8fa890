// COM basics: the task allocator, PROPVARIANT clearing and copying, and CoCreateInstance
// of a test server registered in a temporary registry, with each of its failures.
#include <gtest/gtest.h>

#include "nxtest/temp.h"
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com_test_server.h"
#include "nxpal/windows.h"

#ifndef NX_TEST_COMSERVER
#error "the build passes the paths of the test server libraries"
#endif

namespace {

// ---- task allocator -------------------------------------------------------------------

TEST(TaskAllocatorTest, SizesAndReallocationKeepContent) {
  IMalloc* malloc = nullptr;
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &malloc), S_OK);
  ASSERT_NE(malloc, nullptr);

  auto* p = static_cast<unsigned char*>(CoTaskMemAlloc(100));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(malloc->GetSize(p), 100u);
  for (int i = 0; i < 100; ++i) p[i] = static_cast<unsigned char>(i * 7);

  p = static_cast<unsigned char*>(CoTaskMemRealloc(p, 5000));  // grows (most likely moves)
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(malloc->GetSize(p), 5000u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7)) << i;
  p[4999] = 1;  // the whole new size is usable

  p = static_cast<unsigned char*>(malloc->Realloc(p, 10));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(malloc->GetSize(p), 10u);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(p[i], static_cast<unsigned char>(i * 7)) << i;
  malloc->Free(p);  // the IMalloc and CoTaskMem* functions share their blocks

  // Zero-size blocks are real blocks; reallocating null allocates; to 0 frees.
  void* zero = malloc->Alloc(0);
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(malloc->GetSize(zero), 0u);
  CoTaskMemFree(zero);
  void* q = CoTaskMemRealloc(nullptr, 24);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(malloc->GetSize(q), 24u);
  EXPECT_EQ(CoTaskMemRealloc(q, 0), nullptr);
  CoTaskMemFree(nullptr);

  EXPECT_EQ(malloc->GetSize(nullptr), static_cast<SIZE_T>(-1));
  EXPECT_EQ(malloc->DidAlloc(nullptr), -1);
  // An impossible size fails instead of wrapping around.
  EXPECT_EQ(CoTaskMemAlloc(static_cast<SIZE_T>(-8)), nullptr);
  malloc->Release();
}

TEST(TaskAllocatorTest, OneProcessAllocatorWithItsInterfaces) {
  IMalloc* a = nullptr;
  IMalloc* b = nullptr;
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &a), S_OK);
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &b), S_OK);
  EXPECT_EQ(a, b);
  void* unk = nullptr;
  EXPECT_EQ(a->QueryInterface(IID_IUnknown, &unk), S_OK);
  EXPECT_EQ(unk, static_cast<IUnknown*>(a));
  static_cast<IUnknown*>(unk)->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(a->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  a->Release();
  b->Release();
  // Releasing more than was taken never frees the process's allocator.
  a->Release();
  void* p = a->Alloc(8);
  EXPECT_NE(p, nullptr);
  a->Free(p);

  IMalloc* bad = reinterpret_cast<IMalloc*>(1);
  EXPECT_EQ(CoGetMalloc(0, &bad), E_INVALIDARG);
  EXPECT_EQ(bad, nullptr);
  EXPECT_EQ(CoGetMalloc(MEMCTX_TASK, nullptr), E_INVALIDARG);
}

// ---- PROPVARIANT ------------------------------------------------------------------------

// A counted IUnknown living on the test's stack.
class Counted final : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  std::atomic<ULONG> refs{1};
};

template <typename T>
T* TaskCopy(const T* src, size_t count) {
  auto* p = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
  std::memcpy(p, src, count * sizeof(T));
  return p;
}

LPWSTR TaskString(const char16_t* s) { return TaskCopy(s, nx::WStrLen(s) + 1); }

bool IsZero(const PROPVARIANT& pv) {
  PROPVARIANT zero;
  PropVariantInit(&zero);
  return std::memcmp(&pv, &zero, sizeof(pv)) == 0;
}

TEST(PropVariantTest, LayoutIsWindows) {
  EXPECT_EQ(offsetof(PROPVARIANT, vt), 0u);
  EXPECT_EQ(offsetof(PROPVARIANT, wReserved1), 2u);
  EXPECT_EQ(offsetof(PROPVARIANT, hVal), 8u);
  EXPECT_EQ(offsetof(PROPVARIANT, blob), 8u);
  EXPECT_EQ(offsetof(PROPVARIANT, calpwstr), 8u);
  EXPECT_EQ(offsetof(BLOB, pBlobData), 8u);
  EXPECT_EQ(VT_VECTOR | VT_UI1, 0x1011);
  EXPECT_EQ(VT_LPWSTR, 31);
  EXPECT_EQ(VT_CLSID, 72);
  EXPECT_EQ(VT_FILETIME, 64);
}

// Every case leaves VT_EMPTY with all bytes zero; what was owned is freed (a leak fails
// the run under LeakSanitizer) and interfaces lose exactly one reference.
TEST(PropVariantTest, ClearFreesWhatEachTypeOwns) {
  PROPVARIANT pv;

  PropVariantInit(&pv);
  const BYTE flags[] = {1, 5, 32};
  pv.vt = VT_VECTOR | VT_UI1;
  pv.caub.cElems = 3;
  pv.caub.pElems = TaskCopy(flags, 3);
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_TRUE(IsZero(pv));

  pv.vt = VT_LPWSTR;
  pv.pwszVal = TaskString(u"Отчет");
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_TRUE(IsZero(pv));

  pv.vt = VT_LPSTR;
  pv.pszVal = TaskCopy("text", 5);
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_TRUE(IsZero(pv));

  pv.vt = VT_CLSID;
  pv.puuid = TaskCopy(&CLSID_TestCounter, 1);
  EXPECT_EQ(PropVariantClear(&pv), S_OK);

  pv.vt = VT_BLOB;
  pv.blob.cbSize = 3;
  pv.blob.pBlobData = TaskCopy(flags, 3);
  EXPECT_EQ(PropVariantClear(&pv), S_OK);

  Counted unk;
  unk.refs = 2;
  pv.vt = VT_UNKNOWN;
  pv.punkVal = &unk;
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_EQ(unk.refs, 1u);
  EXPECT_TRUE(IsZero(pv));
  pv.vt = VT_UNKNOWN;  // a null interface is allowed
  EXPECT_EQ(PropVariantClear(&pv), S_OK);

  // Vectors of strings free each string; vectors of values clear each value.
  pv.vt = VT_VECTOR | VT_LPWSTR;
  pv.calpwstr.cElems = 3;
  pv.calpwstr.pElems = static_cast<LPWSTR*>(CoTaskMemAlloc(3 * sizeof(LPWSTR)));
  pv.calpwstr.pElems[0] = TaskString(u"один");
  pv.calpwstr.pElems[1] = nullptr;
  pv.calpwstr.pElems[2] = TaskString(u"три");
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_TRUE(IsZero(pv));

  unk.refs = 2;
  pv.vt = VT_VECTOR | VT_VARIANT;
  pv.capropvar.cElems = 2;
  pv.capropvar.pElems = static_cast<PROPVARIANT*>(CoTaskMemAlloc(2 * sizeof(PROPVARIANT)));
  PropVariantInit(&pv.capropvar.pElems[0]);
  PropVariantInit(&pv.capropvar.pElems[1]);
  pv.capropvar.pElems[0].vt = VT_UNKNOWN;
  pv.capropvar.pElems[0].punkVal = &unk;
  pv.capropvar.pElems[1].vt = VT_LPSTR;
  pv.capropvar.pElems[1].pszVal = TaskCopy("x", 2);
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_EQ(unk.refs, 1u);
  EXPECT_TRUE(IsZero(pv));

  // Plain values own nothing; a null PROPVARIANT is fine.
  pv.vt = VT_R8;
  pv.dblVal = 2.5;
  EXPECT_EQ(PropVariantClear(&pv), S_OK);
  EXPECT_TRUE(IsZero(pv));
  EXPECT_EQ(PropVariantClear(nullptr), S_OK);
}

TEST(PropVariantTest, ClearRefusesTypesItCannotFree) {
  PROPVARIANT pv;
  for (VARTYPE vt : {VARTYPE(VT_BSTR), VARTYPE(VT_ARRAY | VT_UI1), VARTYPE(VT_BYREF | VT_I4), VARTYPE(VT_VECTOR | VT_INT),
                     VARTYPE(VT_VECTOR | VT_BSTR), VARTYPE(0x77), VARTYPE(VT_ILLEGAL)}) {
    PropVariantInit(&pv);
    pv.vt = vt;
    pv.lVal = 42;
    EXPECT_EQ(PropVariantClear(&pv), STG_E_INVALIDPARAMETER) << std::hex << vt;
    EXPECT_TRUE(IsZero(pv)) << std::hex << vt;  // zeroed all the same, as on Windows
  }
}

TEST(PropVariantTest, CopyIsDeepAndIndependent) {
  PROPVARIANT src, dst;
  PropVariantInit(&src);
  src.vt = VT_VECTOR | VT_LPWSTR;
  src.calpwstr.cElems = 2;
  src.calpwstr.pElems = static_cast<LPWSTR*>(CoTaskMemAlloc(2 * sizeof(LPWSTR)));
  src.calpwstr.pElems[0] = TaskString(u"Параметры сеанса");
  src.calpwstr.pElems[1] = TaskString(u"");
  std::memset(&dst, 0xCD, sizeof(dst));  // overwritten, not cleared first
  ASSERT_EQ(PropVariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(dst.vt, VT_VECTOR | VT_LPWSTR);
  ASSERT_EQ(dst.calpwstr.cElems, 2u);
  EXPECT_NE(dst.calpwstr.pElems, src.calpwstr.pElems);
  EXPECT_NE(dst.calpwstr.pElems[0], src.calpwstr.pElems[0]);
  EXPECT_EQ(PropVariantClear(&src), S_OK);  // the copy survives its source
  EXPECT_EQ(std::u16string(dst.calpwstr.pElems[0]), u"Параметры сеанса");
  EXPECT_EQ(std::u16string(dst.calpwstr.pElems[1]), u"");
  EXPECT_EQ(PropVariantClear(&dst), S_OK);

  Counted unk;
  src.vt = VT_VECTOR | VT_VARIANT;
  src.capropvar.cElems = 2;
  src.capropvar.pElems = static_cast<PROPVARIANT*>(CoTaskMemAlloc(2 * sizeof(PROPVARIANT)));
  PropVariantInit(&src.capropvar.pElems[0]);
  PropVariantInit(&src.capropvar.pElems[1]);
  src.capropvar.pElems[0].vt = VT_UNKNOWN;
  src.capropvar.pElems[0].punkVal = &unk;
  src.capropvar.pElems[1].vt = VT_BLOB;
  src.capropvar.pElems[1].blob.cbSize = 3;
  src.capropvar.pElems[1].blob.pBlobData = TaskCopy(reinterpret_cast<const BYTE*>("abc"), 3);
  ASSERT_EQ(PropVariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(unk.refs, 2u);
  EXPECT_EQ(dst.capropvar.pElems[0].punkVal, &unk);
  EXPECT_NE(dst.capropvar.pElems[1].blob.pBlobData, src.capropvar.pElems[1].blob.pBlobData);
  EXPECT_EQ(std::memcmp(dst.capropvar.pElems[1].blob.pBlobData, "abc", 3), 0);
  EXPECT_EQ(PropVariantClear(&dst), S_OK);
  EXPECT_EQ(PropVariantClear(&src), S_OK);
  EXPECT_EQ(unk.refs, 0u);

  src.vt = VT_BSTR;
  EXPECT_EQ(PropVariantCopy(&dst, &src), STG_E_INVALIDPARAMETER);
  EXPECT_TRUE(IsZero(dst));
  EXPECT_EQ(PropVariantCopy(nullptr, &src), E_INVALIDARG);
  EXPECT_EQ(PropVariantCopy(&dst, nullptr), E_INVALIDARG);
}

// ---- CoCreateInstance -------------------------------------------------------------------

std::u16string KeyOf(REFCLSID clsid) {
  WCHAR text[NX_GUID_STRING_CCH];
  nx::FormatGuid(clsid, text);
  return u"Software\\Classes\\CLSID\\" + std::u16string(text) + u"\\InprocServer32";
}

// Each test gets an empty registry of its own in a temporary folder.
class CoCreateInstanceTest : public ::testing::Test {
 protected:
  // Writes the server of a class; a null path creates the key without a default value.
  static void Register(REFCLSID clsid, const char* path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyOf(clsid).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    if (path) {
      std::u16string value = nx::Utf8ToUtf16(path);
      ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))),
                static_cast<LSTATUS>(ERROR_SUCCESS));
    }
    RegCloseKey(key);
  }

  // CoCreateInstance with *ppv preset to garbage, which every failure must null.
  static HRESULT Create(REFCLSID clsid, IUnknown* outer, DWORD ctx, REFIID riid, void** ppv) {
    *ppv = reinterpret_cast<void*>(0x5A5A);
    return CoCreateInstance(clsid, outer, ctx, riid, ppv);
  }

  nxtest::TempRegistry registry_;
};

TEST_F(CoCreateInstanceTest, CreatesObjectsOfARegisteredServer) {
  Register(CLSID_TestCounter, NX_TEST_COMSERVER);
  ITestCounter* a = nullptr;
  ASSERT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter, reinterpret_cast<void**>(&a)),
            S_OK);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->Add(5), 5);
  EXPECT_EQ(a->LiveObjects(), 1);
  EXPECT_EQ(a->LiveFactories(), 0);  // the class factory was released after use

  // A second object is a separate instance; asking for IUnknown works as well.
  IUnknown* unk = nullptr;
  ASSERT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
  ITestCounter* b = nullptr;
  ASSERT_EQ(unk->QueryInterface(IID_ITestCounter, reinterpret_cast<void**>(&b)), S_OK);
  unk->Release();
  EXPECT_EQ(b->Add(1), 1);
  EXPECT_EQ(a->Add(2), 7);
  EXPECT_EQ(a->LiveObjects(), 2);
  b->Release();
  EXPECT_EQ(a->LiveObjects(), 1);
  a->Release();
}

TEST_F(CoCreateInstanceTest, ConcurrentCreationsShareOneLoad) {
  Register(CLSID_TestCounter, NX_TEST_COMSERVER);
  constexpr int kThreads = 4;
  HRESULT results[kThreads];
  ITestCounter* objects[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      results[t] = CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_ITestCounter,
                                    reinterpret_cast<void**>(&objects[t]));
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) ASSERT_EQ(results[t], S_OK) << t;
  // All objects come from one copy of the server: they count each other.
  EXPECT_EQ(objects[0]->LiveObjects(), kThreads);
  for (ITestCounter* o : objects) o->Release();
}

TEST_F(CoCreateInstanceTest, ServerFailuresPassThrough) {
  Register(CLSID_TestCounter, NX_TEST_COMSERVER);
  Register(CLSID_TestUnserved, NX_TEST_COMSERVER);
  void* p = nullptr;
  // The class factory refuses the interface.
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IMalloc, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  // The library is registered for a class it does not make.
  EXPECT_EQ(Create(CLSID_TestUnserved, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(p, nullptr);
  // Aggregation is refused by the class.
  Counted outer;
  EXPECT_EQ(Create(CLSID_TestCounter, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(outer.refs, 1u);
}

TEST_F(CoCreateInstanceTest, UnregisteredClassesAndContexts) {
  void* p = nullptr;
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  // The key without a default value is no registration either.
  Register(CLSID_TestCounter, nullptr);
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  // Registered, but only an in-process server can be made here.
  Register(CLSID_TestCounter, NX_TEST_COMSERVER);
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_HANDLER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstance(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(CoCreateInstanceTest, LibrariesThatCannotServe) {
  void* p = nullptr;
  Register(CLSID_TestCounter, "/nonexistent/libnxpal_no_such_server.so");
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
            static_cast<HRESULT>(0x8007007E));  // HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
  EXPECT_EQ(p, nullptr);
  // A library without its own DllGetClassObject, though a library it depends on has one.
  Register(CLSID_TestCounter, NX_TEST_COMNOEXPORT);
  EXPECT_EQ(Create(CLSID_TestCounter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CO_E_ERRORINDLL);
  EXPECT_EQ(p, nullptr);
}

}  // namespace
