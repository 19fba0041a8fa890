// Set-up servers: registration, the enumeration with its zero entries and its stop on
// a missing value, freeing, unregistration; and the input device server test.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "nxtest/temp.h"
#include "regtest.h"
#include "sample_handler.h"
#include "vkrt.h"

#ifndef VKRT_SAMPLE_HANDLER
#error "the build passes the path of the sample handler library"
#endif

namespace {

using namespace vkrttest;

constexpr CLSID kServer1 = nx::Guid("5E000000-0000-0000-0000-000000000001");
constexpr CLSID kServer2 = nx::Guid("5E000000-0000-0000-0000-000000000002");
constexpr CLSID kServer3 = nx::Guid("5E000000-0000-0000-0000-000000000003");

std::u16string ServerKey(const CLSID& clsid) { return kServers + u"\\" + GuidText(clsid); }

class SetupServerTest : public ::testing::Test {
 protected:
  static void RegisterW(const CLSID& clsid, std::u16string name, std::u16string description) {
    VKDATAASQSETSVRINFOW info{clsid, name.data(), description.data()};
    ASSERT_EQ(vkRegisterDataAsqSetSvrW(&info), S_OK);
  }
  nxtest::TempRegistry registry_;
};

TEST_F(SetupServerTest, TwoServersRoundTripInRegistryOrder) {
  RegisterW(kServer2, u"Настройка VR-03", u"Параметры регистратора");
  std::string name = "Имитатор";
  std::string description = "Виртуальный регистратор";
  VKDATAASQSETSVRINFOA narrow{kServer1, name.data(), description.data()};
  ASSERT_EQ(vkRegisterDataAsqSetSvrA(&narrow), S_OK);
  EXPECT_EQ(GetString(ServerKey(kServer2), nullptr), u"Настройка VR-03");
  EXPECT_EQ(GetString(ServerKey(kServer2), u"Descript"), u"Параметры регистратора");

  VKDATAASQSETSVRINFOW* servers = nullptr;
  DWORD count = 0;
  ASSERT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(servers[0].clsid, kServer1);
  EXPECT_EQ(std::u16string(servers[0].name), W("Имитатор"));
  EXPECT_EQ(std::u16string(servers[0].description), W("Виртуальный регистратор"));
  EXPECT_EQ(servers[1].clsid, kServer2);
  EXPECT_EQ(std::u16string(servers[1].name), u"Настройка VR-03");
  vkFreeDataAsqSetSvrInfoW(servers, count);

  VKDATAASQSETSVRINFOA* ansi = nullptr;
  ASSERT_EQ(vkEnumDataAsqSetSvrA(&ansi, &count), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_STREQ(ansi[1].description, "Параметры регистратора");
  vkFreeDataAsqSetSvrInfoA(ansi, count);
}

TEST_F(SetupServerTest, ASubkeyThatIsNotAGuidGivesAZeroEntry) {
  RegisterW(kServer1, u"one", u"first");
  PutString(kServers + u"\\Legacy", nullptr, u"old server");
  RegisterW(kServer3, u"three", u"third");
  VKDATAASQSETSVRINFOW* servers = nullptr;
  DWORD count = 0;
  ASSERT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), S_OK);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(servers[0].clsid, GUID_NULL) << "\"Legacy\" sorts before \"{\"";
  EXPECT_EQ(servers[0].name, nullptr);
  EXPECT_EQ(servers[0].description, nullptr);
  EXPECT_EQ(servers[1].clsid, kServer1);
  EXPECT_EQ(std::u16string(servers[2].description), u"third");
  vkFreeDataAsqSetSvrInfoW(servers, count);
}

TEST_F(SetupServerTest, AMissingValueStopsTheEnumerationWithCompleteEarlierEntries) {
  RegisterW(kServer1, u"one", u"first");
  PutString(ServerKey(kServer2), nullptr, u"two without Descript");
  RegisterW(kServer3, u"three", u"third");
  VKDATAASQSETSVRINFOW* servers = nullptr;
  DWORD count = 0;
  EXPECT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_NE(servers, nullptr) << "the array comes with the error";
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(std::u16string(servers[0].description), u"first");
  EXPECT_EQ(std::u16string(servers[1].name), u"two without Descript");
  EXPECT_EQ(servers[1].description, nullptr);
  EXPECT_EQ(servers[2].name, nullptr) << "not reached";
  vkFreeDataAsqSetSvrInfoW(servers, count);
}

TEST_F(SetupServerTest, StringsStoredWithoutTerminatorAreHandedOutTerminated) {
  RegisterW(kServer1, u"one", u"first");
  Put(ServerKey(kServer1), u"Descript", REG_SZ, u"bare", 8);
  VKDATAASQSETSVRINFOW* servers = nullptr;
  DWORD count = 0;
  ASSERT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), S_OK);
  EXPECT_EQ(std::u16string(servers[0].description), u"bare");
  vkFreeDataAsqSetSvrInfoW(servers, count);
}

TEST_F(SetupServerTest, NoServersAndBadArguments) {
  VKDATAASQSETSVRINFOW* servers = reinterpret_cast<VKDATAASQSETSVRINFOW*>(1);
  DWORD count = 5;
  EXPECT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(servers, nullptr);
  EXPECT_EQ(count, 0u);
  Put(kServers);
  EXPECT_EQ(vkEnumDataAsqSetSvrW(&servers, &count), S_OK);
  EXPECT_EQ(servers, nullptr) << "nothing to free";
  EXPECT_EQ(count, 0u);

  EXPECT_EQ(vkEnumDataAsqSetSvrW(nullptr, &count), E_INVALIDARG);
  EXPECT_EQ(vkEnumDataAsqSetSvrA(reinterpret_cast<VKDATAASQSETSVRINFOA**>(&servers), nullptr), E_INVALIDARG);
  EXPECT_EQ(vkRegisterDataAsqSetSvrW(nullptr), E_INVALIDARG);
  std::u16string name = u"n";
  VKDATAASQSETSVRINFOW noDescription{kServer1, name.data(), nullptr};
  EXPECT_EQ(vkRegisterDataAsqSetSvrW(&noDescription), E_INVALIDARG);
  EXPECT_FALSE(KeyExists(ServerKey(kServer1)));
  EXPECT_EQ(vkUnregisterDataAsqSetSvr(nullptr), E_INVALIDARG);
}

TEST_F(SetupServerTest, FreeingWithCountZeroFreesNothing) {
  auto* array = static_cast<VKDATAASQSETSVRINFOW*>(CoTaskMemAlloc(sizeof(VKDATAASQSETSVRINFOW)));
  std::memset(static_cast<void*>(array), 0, sizeof *array);
  vkFreeDataAsqSetSvrInfoW(array, 0);
  array->clsid = kServer1;  // still ours: a freed block would trip the address checker
  CoTaskMemFree(array);
  vkFreeDataAsqSetSvrInfoA(nullptr, 3);
}

TEST_F(SetupServerTest, UnregisteringTheLastServerRemovesTheRoot) {
  RegisterW(kServer1, u"one", u"first");
  RegisterW(kServer2, u"two", u"second");
  EXPECT_EQ(vkUnregisterDataAsqSetSvr(&kServer1), S_OK);
  EXPECT_FALSE(KeyExists(ServerKey(kServer1)));
  EXPECT_TRUE(KeyExists(kServers));
  EXPECT_EQ(vkUnregisterDataAsqSetSvr(&kServer2), S_OK);
  EXPECT_FALSE(KeyExists(kServers));
  EXPECT_EQ(vkUnregisterDataAsqSetSvr(&kServer2), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

// ---- input device servers -------------------------------------------------------------

class InputDeviceServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vkFreeDataClassHandlers();
    RegisterServer(CLSID_SampleHandler, VKRT_SAMPLE_HANDLER);
    ListHandler(kSampleEcgClass, CLSID_SampleHandler);  // attributes 0x100
    ListHandler(kSampleNotesClass, CLSID_SampleHandler);  // attributes 0x17E
  }
  void TearDown() override { vkFreeDataClassHandlers(); }
  nxtest::TempRegistry registry_;
};

TEST_F(InputDeviceServerTest, DecidedByInputsAndTheLowAttributeByteOfOutputClasses) {
  std::u16string d = u"provider";
  VKDATAPROVIDEROUTPUTW ecg{kSampleEcgClass, nullptr};
  VKDATAPROVIDEROUTPUTW session{VKDC_SESSION_PARAMETERS, nullptr};  // built in, 0x17E
  VKDATAPROVIDEROUTPUTW notes{kSampleNotesClass, nullptr};
  VKDATAPROVIDEROUTPUTW mixed[2] = {session, ecg};
  VKDATAPROVIDERINPUT input{kSampleNotesClass, 0, nullptr};

  VKDATAPROVIDERINFOW device{GUID_NULL, d.data(), 0, 1, nullptr, &ecg};
  EXPECT_EQ(vkIsInputDeviceServerW(&device), S_OK);
  VKDATAPROVIDERINFOW builtIn{GUID_NULL, d.data(), 0, 1, nullptr, &session};
  EXPECT_EQ(vkIsInputDeviceServerW(&builtIn), S_FALSE);
  VKDATAPROVIDERINFOW handled{GUID_NULL, d.data(), 0, 1, nullptr, &notes};
  EXPECT_EQ(vkIsInputDeviceServerW(&handled), S_FALSE);
  VKDATAPROVIDERINFOW second{GUID_NULL, d.data(), 0, 2, nullptr, mixed};
  EXPECT_EQ(vkIsInputDeviceServerW(&second), S_OK) << "any output may qualify";
  VKDATAPROVIDERINFOW consumer{GUID_NULL, d.data(), 1, 1, &input, &ecg};
  EXPECT_EQ(vkIsInputDeviceServerW(&consumer), S_FALSE) << "one input rules it out";
  VKDATAPROVIDERINFOW empty{GUID_NULL, d.data(), 0, 0, nullptr, nullptr};
  EXPECT_EQ(vkIsInputDeviceServerW(&empty), S_FALSE);

  // Through the A form, with a block read back from the registry.
  ASSERT_EQ(vkRegisterDataProviderW(&device), S_OK);
  VKDATAPROVIDERINFOA* block = nullptr;
  ASSERT_EQ(vkGetDataProviderInfoA(&GUID_NULL, &block), S_OK);
  EXPECT_EQ(vkIsInputDeviceServerA(block), S_OK);
  CoTaskMemFree(block);
}

TEST_F(InputDeviceServerTest, ClassErrorsAndUnreadableRecords) {
  std::u16string d = u"provider";
  constexpr GUID unknown = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7D99");
  VKDATAPROVIDEROUTPUTW outs[2] = {{unknown, nullptr}, {kSampleEcgClass, nullptr}};
  VKDATAPROVIDERINFOW info{GUID_NULL, d.data(), 0, 2, nullptr, outs};
  EXPECT_EQ(vkIsInputDeviceServerW(&info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) << "the first error ends it";

  EXPECT_EQ(vkIsInputDeviceServerW(nullptr), E_POINTER);
  EXPECT_EQ(vkIsInputDeviceServerA(nullptr), E_POINTER);
  // A record that ends in a page without access, and one whose outputs lie there.
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<BYTE*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  auto* straddling = reinterpret_cast<VKDATAPROVIDERINFOW*>(base + page - 16);
  EXPECT_EQ(vkIsInputDeviceServerW(straddling), E_POINTER);
  VKDATAPROVIDERINFOW badOutputs{GUID_NULL, d.data(), 0, 1, nullptr,
                                 reinterpret_cast<VKDATAPROVIDEROUTPUTW*>(base + page)};
  EXPECT_EQ(vkIsInputDeviceServerW(&badOutputs), E_POINTER);
  munmap(map, 2 * page);
}

}  // namespace
