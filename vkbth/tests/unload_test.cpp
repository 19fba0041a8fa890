// Unloading the link library closes the sockets of the links still open. The library is
// loaded by path here (not linked), so that it can really be unloaded.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "nxpal/windows.h"
#include "nxtest/btpeer.h"

namespace {

using CreateDeviceFn = BOOL (*)(ULONGLONG, LPCWSTR, const GUID*, ULONG, LPCWSTR, void**);
using CreateFn = BOOL (*)(void*, void**);
using DeviceCloseFn = BOOL (*)(void*);

template <typename Fn>
Fn Find(void* lib, const char* name) {
  return reinterpret_cast<Fn>(dlsym(lib, name));
}

TEST(Unload, OpenLinksAreClosedWhenTheLibraryUnloads) {
  bttest::VirtualWorld world;
  constexpr ULONGLONG kFirst = 0x008025000001ull, kSecond = 0x008025000002ull;
  bttest::PeerDevice first(world.Dir(), kFirst), second(world.Dir(), kSecond);

  void* lib = dlopen(NX_TEST_VKBTH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto createDevice = Find<CreateDeviceFn>(lib, "NxBtCreateDeviceInfo");
  auto create = Find<CreateFn>(lib, "vkbtCreate");
  auto deviceClose = Find<DeviceCloseFn>(lib, "vkbtDeviceInfoClose");
  ASSERT_TRUE(createDevice && create && deviceClose);

  int fds[2];
  ULONGLONG addresses[2] = {kFirst, kSecond};
  bttest::PeerDevice* peers[2] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    void* device = nullptr;
    void* link = nullptr;
    ASSERT_TRUE(createDevice(addresses[i], u"VR-03M", nullptr, 1, nullptr, &device));
    ASSERT_TRUE(create(device, &link)) << GetLastError();
    // The caller gives its record back; the link keeps its own reference, which the
    // unload gives back (nothing is left allocated).
    ASSERT_TRUE(deviceClose(device));
    fds[i] = peers[i]->Accept();
    ASSERT_GE(fds[i], 0);
  }
  EXPECT_FALSE(bttest::PeerClosed(fds[0], 50));

  ASSERT_EQ(dlclose(lib), 0);
  EXPECT_TRUE(bttest::PeerClosed(fds[0], 2000));
  EXPECT_TRUE(bttest::PeerClosed(fds[1], 2000));
  // The library is really gone (a library that cannot be unloaded would stay).
  EXPECT_EQ(dlopen(NX_TEST_VKBTH, RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
