// Unloading vkrt releases the data class handlers it cached. This program does not
// link vkrt: it loads and unloads the library itself.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include "nxtest/temp.h"
#include "regtest.h"
#include "sample_handler.h"
#include "vkrt.h"

#if !defined(VKRT_LIBRARY) || !defined(VKRT_SAMPLE_HANDLER)
#error "the build passes the paths of vkrt and of the sample handler library"
#endif

namespace {

using namespace vkrttest;

TEST(UnloadTest, UnloadingReleasesTheCachedHandlers) {
  nxtest::TempRegistry registry;
  RegisterServer(CLSID_SampleHandler, VKRT_SAMPLE_HANDLER);
  ListHandler(kSampleEcgClass, CLSID_SampleHandler);

  for (int round = 0; round < 2; ++round) {  // a second load starts with an empty cache
    void* vkrt = dlopen(VKRT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(vkrt, nullptr) << dlerror();
    auto getInfo = reinterpret_cast<decltype(&vkGetDataClassInfoW)>(dlsym(vkrt, "vkGetDataClassInfoW"));
    ASSERT_NE(getInfo, nullptr);
    VKDATACLASSINFOW info{};
    info.mask = VKDCI_ATTRIBUTES;
    ASSERT_EQ(getInfo(&kSampleEcgClass, &info), S_OK) << "round " << round;
    EXPECT_EQ(info.attributes, kSampleEcgAttributes);
    EXPECT_EQ(SampleHandlerObjects(), 1);
    ASSERT_EQ(dlclose(vkrt), 0);
    EXPECT_EQ(SampleHandlerObjects(), 0) << "round " << round;
  }
}

}  // namespace
