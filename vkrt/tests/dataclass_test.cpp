// Data classes: the built-in classes from vkrt's resources, classes described by the
// sample handler (loading, the cache and its bounds, failures), freeing the cache,
// removing a handler's registrations, and edited data sets.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/temp.h"
#include "regtest.h"
#include "sample_handler.h"
#include "vkrt.h"

#ifndef VKRT_SAMPLE_HANDLER
#error "the build passes the path of the sample handler library"
#endif

namespace {

using namespace vkrttest;

constexpr GUID kUnknownClass = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7DFF");
constexpr GUID kOtherClass = nx::Guid("0D1F3A77-8E21-4C55-B0A4-6E2C9F1B7D20");

// Frees what a class information call allocated.
template <typename Info>
void Release(Info* info) {
  CoTaskMemFree(info->name);
  CoTaskMemFree(info->description);
  if (info->icon) DestroyIcon(info->icon);
  info->name = nullptr;
  info->description = nullptr;
  info->icon = nullptr;
}

VKDATACLASSINFOW Ask(DWORD mask, INT iconSize = 32) {
  VKDATACLASSINFOW info{};
  info.cbSize = sizeof info;
  info.mask = mask;
  info.iconSize = iconSize;
  return info;
}

// Pixel (x, y) of an icon as 0xAARRGGBB, premultiplied.
DWORD Pixel(HICON icon, int x, int y) {
  int w = 0, h = 0;
  if (!NxGetIconPixels(icon, &w, &h, nullptr, 0)) return 0;
  std::vector<DWORD> px(static_cast<size_t>(w) * h);
  NxGetIconPixels(icon, &w, &h, px.data(), static_cast<DWORD>(px.size()));
  return px[static_cast<size_t>(y) * w + x];
}

// ---- built-in classes -----------------------------------------------------------------

TEST(BuiltInClassTest, EveryRowWithItsNameAttributesGuidsAndIcon) {
  struct Row {
    GUID dataClass;
    const char16_t* name;
    DWORD attributes;
    GUID guidB;
  } rows[] = {
      {VKDC_PATIENT_INFO, u"Информация о пациенте", 0x7E, nx::Guid("CFC9142F-6F66-4BE1-BB4C-F9EB77950D24")},
      {VKDC_REPORT, u"Отчет", 0x407F, GUID_NULL},
      {VKDC_STUDY_STATISTICS, u"Статистика исследования", 0x287E, nx::Guid("CFC9142F-6F66-4BE1-BB4C-F9EB77950D24")},
      {VKDC_SESSION_PARAMETERS, u"Параметры сеанса", 0x17E, nx::Guid("CFC9142F-6F66-4BE1-BB4C-F9EB77950D24")},
      {VKDC_RECORDER_EVENTS, u"События регистратора", 0x404, nx::Guid("CFC9142D-6F66-4BE1-BB4C-F9EB77950D24")},
      {VKDC_STUDY_EVENTS, u"События исследования", 0x401, nx::Guid("CFC9142C-6F66-4BE1-BB4C-F9EB77950D24")},
  };
  std::vector<DWORD> centres;
  for (const Row& row : rows) {
    VKDATACLASSINFOW info = Ask(0x3F, 16);
    info.guidA = kOtherClass;  // overwritten with GUID_NULL
    ASSERT_EQ(vkGetDataClassInfoW(&row.dataClass, &info), S_OK) << nx::Utf16ToUtf8(row.name);
    EXPECT_EQ(std::u16string(info.name), row.name);
    EXPECT_EQ(info.nameLength, std::u16string(row.name).size());
    EXPECT_EQ(info.attributes, row.attributes);
    EXPECT_EQ(info.guidA, GUID_NULL);
    EXPECT_EQ(info.guidB, row.guidB);
    EXPECT_EQ(info.description, nullptr);
    EXPECT_EQ(info.descriptionLength, 0u);
    int w = 0, h = 0;
    ASSERT_TRUE(NxGetIconPixels(info.icon, &w, &h, nullptr, 0));
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 16);
    centres.push_back(Pixel(info.icon, 8, 8));
    Release(&info);
  }
  // Each row has an icon of its own.
  for (size_t i = 0; i < centres.size(); ++i)
    for (size_t j = i + 1; j < centres.size(); ++j) EXPECT_NE(centres[i], centres[j]) << i << " and " << j;
}

TEST(BuiltInClassTest, OnlyTheAskedFieldsAreFilled) {
  VKDATACLASSINFOW info = Ask(VKDCI_NAME | VKDCI_ICON | VKDCI_DESCRIPTION, 48);
  info.attributes = 0xABCD;
  info.guidB = kOtherClass;
  ASSERT_EQ(vkGetDataClassInfoW(&VKDC_REPORT, &info), S_OK);
  EXPECT_EQ(std::u16string(info.name), u"Отчет");
  EXPECT_EQ(info.nameLength, 5u);
  EXPECT_NE(info.icon, nullptr);
  EXPECT_EQ(info.description, nullptr);
  EXPECT_EQ(info.attributes, 0xABCDu);
  EXPECT_EQ(info.guidB, kOtherClass);
  Release(&info);

  // Icons come at the size asked for, also between the drawn sizes.
  VKDATACLASSINFOW icon24 = Ask(VKDCI_ICON, 24);
  ASSERT_EQ(vkGetDataClassInfoW(&VKDC_PATIENT_INFO, &icon24), S_OK);
  int w = 0, h = 0;
  ASSERT_TRUE(NxGetIconPixels(icon24.icon, &w, &h, nullptr, 0));
  EXPECT_EQ(w, 24);
  Release(&icon24);
}

TEST(BuiltInClassTest, AnsiNamesAreUtf8) {
  VKDATACLASSINFOA info{};
  info.mask = VKDCI_NAME | VKDCI_ATTRIBUTES;
  ASSERT_EQ(vkGetDataClassInfoA(&VKDC_STUDY_STATISTICS, &info), S_OK);
  EXPECT_STREQ(info.name, "Статистика исследования");
  EXPECT_EQ(info.nameLength, std::string("Статистика исследования").size());
  EXPECT_EQ(info.attributes, 0x287Eu);
  Release(&info);
}

TEST(BuiltInClassTest, AFailingIconKeepsTheFieldsFilledBeforeIt) {
  VKDATACLASSINFOW info = Ask(VKDCI_NAME | VKDCI_ICON | VKDCI_GUIDB, -5);
  EXPECT_EQ(vkGetDataClassInfoW(&VKDC_PATIENT_INFO, &info), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(std::u16string(info.name), u"Информация о пациенте") << "filled before the icon";
  EXPECT_EQ(info.icon, nullptr);
  EXPECT_EQ(info.guidB, GUID_NULL) << "not reached";
  Release(&info);

  EXPECT_EQ(vkGetDataClassInfoW(nullptr, &info), E_INVALIDARG);
  EXPECT_EQ(vkGetDataClassInfoA(&VKDC_REPORT, nullptr), E_INVALIDARG);
}

// ---- classes described by handlers ------------------------------------------------------

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vkFreeDataClassHandlers();
    for (const CLSID& c : {CLSID_SampleHandler, CLSID_SilentHandler, CLSID_FailingHandler, CLSID_MissingHandler})
      RegisterServer(c, VKRT_SAMPLE_HANDLER);
  }
  void TearDown() override {
    vkFreeDataClassHandlers();
    EXPECT_EQ(SampleHandlerObjects(), 0) << "every cached handler is released";
  }
  nxtest::TempRegistry registry_;
};

TEST_F(HandlerTest, AHandlersClassIsDescribedFromItsModule) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  VKDATACLASSINFOW info = Ask(0x3F, 32);
  info.guidB = kOtherClass;
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);
  EXPECT_EQ(std::u16string(info.name), u"Холтеровская запись");
  EXPECT_EQ(info.nameLength, 19u);
  EXPECT_EQ(info.attributes, kSampleEcgAttributes);
  EXPECT_EQ(info.guidA, kSampleGuidA);
  EXPECT_EQ(info.guidB, GUID_NULL) << "the handler gave no guidB";
  // The description's buffer holds 8 characters: 7 and the terminator.
  EXPECT_EQ(std::u16string(info.description), u"Запись ");
  EXPECT_EQ(info.descriptionLength, 7u);
  // The handler's own icon (an opaque yellow centre), not one of vkrt's.
  EXPECT_EQ(Pixel(info.icon, 16, 16), 0xFFFFD933u);
  Release(&info);

  VKDATACLASSINFOA narrow{};
  narrow.mask = VKDCI_NAME | VKDCI_DESCRIPTION;
  ListHandler(kSampleNotesClass, CLSID_SampleHandler);
  ASSERT_EQ(vkGetDataClassInfoA(&kSampleNotesClass, &narrow), S_OK);
  EXPECT_STREQ(narrow.name, "Заметки врача") << "no buffer size given: the whole name";
  EXPECT_EQ(narrow.description, nullptr);
  EXPECT_EQ(narrow.descriptionLength, 0u);
  Release(&narrow);
}

TEST_F(HandlerTest, ASecondQuestionIsServedFromTheCache) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  const LONG created = SampleHandlerCreated();
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);
  EXPECT_EQ(SampleHandlerCreated(), created + 1);

  // Neither the class key nor the server registration is needed any more.
  Delete(kHandlers + u"\\" + GuidText(kSampleEcgClass));
  Delete(u"Software\\Classes\\CLSID\\" + GuidText(CLSID_SampleHandler) + u"\\InprocServer32");
  info = Ask(VKDCI_ATTRIBUTES);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);
  EXPECT_EQ(info.attributes, kSampleEcgAttributes);
  EXPECT_EQ(SampleHandlerCreated(), created + 1);

  // Freeing the cache releases the handler; the next question needs the registry again.
  vkFreeDataClassHandlers();
  EXPECT_EQ(SampleHandlerObjects(), 0);
  EXPECT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(HandlerTest, TwoClassesOfOneHandlerShareOneRecord) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  ListHandler(kSampleNotesClass, CLSID_SampleHandler);
  const LONG created = SampleHandlerCreated();
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleNotesClass, &info), S_OK);
  EXPECT_EQ(info.attributes, kSampleNotesAttributes);
  EXPECT_EQ(SampleHandlerCreated(), created + 1);
  EXPECT_EQ(SampleHandlerObjects(), 1);
}

// A handler further back answers and moves to the front past another: both stay cached
// (asked again, neither is created twice) and both are released when the cache goes.
TEST_F(HandlerTest, AHandlerMovingForwardKeepsTheOthersCached) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  ListHandler(kOtherClass, CLSID_SilentHandler);
  const LONG created = SampleHandlerCreated();
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);  // cache: sample
  EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));  // silent, sample
  EXPECT_EQ(SampleHandlerCreated(), created + 2);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK) << round;  // sample moves forward
    EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) << round;
  }
  EXPECT_EQ(SampleHandlerCreated(), created + 2) << "both handlers served from the cache";
  EXPECT_EQ(SampleHandlerObjects(), 2);
  vkFreeDataClassHandlers();
  EXPECT_EQ(SampleHandlerObjects(), 0) << "no handler fell out of the cache unreleased";
}

TEST_F(HandlerTest, TheSearchEndsAfterOneLoad) {
  // Only a handler that knows no class: one load, then "not found".
  ListHandler(kOtherClass, CLSID_SilentHandler);
  const LONG calls = SampleHandlerDescribeCalls();
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(SampleHandlerDescribeCalls(), calls + 1);
  // A class key with no handler in it.
  Put(kHandlers + u"\\" + GuidText(kUnknownClass));
  EXPECT_EQ(vkGetDataClassInfoW(&kUnknownClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  // No class key at all.
  EXPECT_EQ(vkGetDataClassInfoW(&kSampleNotesClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(HandlerTest, AFailingCachedHandlerDoesNotHideOtherClasses) {
  ListHandler(kOtherClass, CLSID_FailingHandler);
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  // The failing handler is cached now, and is the last one asked in the next walk.
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  ASSERT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);
  EXPECT_EQ(info.attributes, kSampleEcgAttributes);
}

TEST_F(HandlerTest, FailedCreationLeavesNoRecord) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  const std::u16string server = u"Software\\Classes\\CLSID\\" + GuidText(CLSID_SampleHandler) + u"\\InprocServer32";
  Delete(server);
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  EXPECT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), REGDB_E_CLASSNOTREG);
  // Once the server is there, the same CLSID is created: no empty record stood in its way.
  RegisterServer(CLSID_SampleHandler, VKRT_SAMPLE_HANDLER);
  EXPECT_EQ(vkGetDataClassInfoW(&kSampleEcgClass, &info), S_OK);

  ListHandler(kOtherClass, CLSID_MissingHandler);
  EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(HandlerTest, AValueThatIsNotAClsidEndsTheLoading) {
  PutString(kHandlers + u"\\" + GuidText(kOtherClass), u"SampleHandler", u"");
  VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES);
  EXPECT_EQ(vkGetDataClassInfoW(&kOtherClass, &info), CO_E_CLASSSTRING);
}

TEST_F(HandlerTest, ConcurrentQuestionsAndFrees) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  ListHandler(kSampleNotesClass, CLSID_SampleHandler);
  std::atomic<int> failures{0};
  auto ask = [&](const GUID& dataClass, DWORD attributes) {
    for (int i = 0; i < 200; ++i) {
      VKDATACLASSINFOW info = Ask(VKDCI_ATTRIBUTES | VKDCI_NAME);
      if (vkGetDataClassInfoW(&dataClass, &info) != S_OK || info.attributes != attributes) ++failures;
      CoTaskMemFree(info.name);
    }
  };
  std::thread a(ask, kSampleEcgClass, kSampleEcgAttributes);
  std::thread b(ask, kSampleNotesClass, kSampleNotesAttributes);
  std::thread c([] {
    for (int i = 0; i < 50; ++i) vkFreeDataClassHandlers();
  });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---- removing a handler's registrations -------------------------------------------------

TEST_F(HandlerTest, CleanupRemovesTheHandlerFromEveryClass) {
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);
  ListHandler(kSampleNotesClass, CLSID_SampleHandler);
  ListHandler(kSampleNotesClass, CLSID_SilentHandler);
  const std::u16string ecg = kHandlers + u"\\" + GuidText(kSampleEcgClass);
  const std::u16string notes = kHandlers + u"\\" + GuidText(kSampleNotesClass);

  EXPECT_EQ(vkCleanupDataClassHandlerRecords(&CLSID_SampleHandler), 0);
  EXPECT_FALSE(KeyExists(ecg)) << "it was the class's only handler";
  ASSERT_TRUE(KeyExists(notes));
  EXPECT_EQ(GetString(notes, GuidText(CLSID_SampleHandler).c_str()), u"<missing>");
  EXPECT_EQ(GetString(notes, GuidText(CLSID_SilentHandler).c_str()), u"");
  EXPECT_TRUE(KeyExists(kHandlers));

  EXPECT_EQ(vkCleanupDataClassHandlerRecords(&CLSID_SilentHandler), 0);
  EXPECT_FALSE(KeyExists(kHandlers)) << "the last handler of the last class";
  EXPECT_EQ(vkCleanupDataClassHandlerRecords(&CLSID_SilentHandler), static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(vkCleanupDataClassHandlerRecords(nullptr), static_cast<LONG>(ERROR_INVALID_PARAMETER));
}

TEST_F(HandlerTest, CleanupWalksPastKeysItCannotUse) {
  // Sorted order: a long non-class name, a class key with a subkey (cannot be deleted),
  // then two keys where the handler is listed alone.
  const GUID first = nx::Guid("00000000-0000-0000-0000-0000000000A1");
  const GUID second = nx::Guid("00000000-0000-0000-0000-0000000000A2");
  const GUID third = nx::Guid("00000000-0000-0000-0000-0000000000A3");
  Put(kHandlers + u"\\" + std::u16string(70, u'0'));
  ListHandler(first, CLSID_SampleHandler);
  Put(kHandlers + u"\\" + GuidText(first) + u"\\Sub");
  ListHandler(second, CLSID_SampleHandler);
  ListHandler(third, CLSID_SampleHandler);

  EXPECT_EQ(vkCleanupDataClassHandlerRecords(&CLSID_SampleHandler), 0);
  EXPECT_TRUE(KeyExists(kHandlers + u"\\" + GuidText(first)));
  EXPECT_EQ(GetString(kHandlers + u"\\" + GuidText(first), GuidText(CLSID_SampleHandler).c_str()), u"<missing>");
  EXPECT_FALSE(KeyExists(kHandlers + u"\\" + GuidText(second)));
  EXPECT_FALSE(KeyExists(kHandlers + u"\\" + GuidText(third))) << "the walk goes on after a deleted key";
}

// ---- edited data sets -------------------------------------------------------------------

TEST(EditedDataSetTest, HeaderAndEntriesInOneZeroedBlock) {
  IMalloc* m = nullptr;
  ASSERT_EQ(CoGetMalloc(MEMCTX_TASK, &m), S_OK);

  VKEDITEDDATASET* empty = nullptr;
  ASSERT_EQ(vkAllocEditedDataSet(&empty, 0, 0), S_OK);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(m->GetSize(empty), sizeof(VKEDITEDDATASET));
  EXPECT_EQ(empty->count, 0);
  EXPECT_EQ(empty->entries, nullptr);
  for (BYTE b : empty->header) EXPECT_EQ(b, 0);
  CoTaskMemFree(empty);

  VKEDITEDDATASET* three = nullptr;
  ASSERT_EQ(vkAllocEditedDataSet(&three, 3, 0), S_OK);
  EXPECT_EQ(m->GetSize(three), sizeof(VKEDITEDDATASET) + 3 * 8);
  EXPECT_EQ(three->count, 3);
  EXPECT_EQ(reinterpret_cast<BYTE*>(three->entries), reinterpret_cast<BYTE*>(three) + sizeof(VKEDITEDDATASET));
  for (int i = 0; i < 3; ++i)
    for (BYTE b : three->entries[i].data) EXPECT_EQ(b, 0);
  CoTaskMemFree(three);
  m->Release();
}

TEST(EditedDataSetTest, RefusalsAllocateNothing) {
  auto* sentinel = reinterpret_cast<VKEDITEDDATASET*>(0x99);
  VKEDITEDDATASET* set = sentinel;
  EXPECT_EQ(vkAllocEditedDataSet(&set, 0, 1), E_INVALIDARG);
  EXPECT_EQ(set, sentinel);
  EXPECT_EQ(vkAllocEditedDataSet(&set, 0x10000, 0), E_INVALIDARG) << "more than the 16-bit count holds";
  EXPECT_EQ(set, sentinel);
  EXPECT_EQ(vkAllocEditedDataSet(nullptr, 1, 0), E_INVALIDARG);
}

}  // namespace
