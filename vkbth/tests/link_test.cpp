// Links over the virtual transport: sharing and closing, failed connections, reads with
// the time limit, writes, time limits, handle checks, and record/link lifetimes.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "nxtest/btpeer.h"
#include "nxtest/wait.h"
#include "vkbth.h"
#include "vkbth/devtools.h"

// Counts the library's connect calls and can make the next ones fail: the executable's
// definition takes the place of the C library's for the whole process.
namespace {
std::atomic<int> g_connectCalls{0};
std::atomic<int> g_connectFailures{0};  // calls still to fail with ECONNREFUSED
}  // namespace

extern "C" NX_EXPORT int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  using Fn = int (*)(int, const struct sockaddr*, socklen_t);
  static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "connect"));
  ++g_connectCalls;
  if (g_connectFailures > 0) {
    --g_connectFailures;
    errno = ECONNREFUSED;
    return -1;
  }
  return real(fd, addr, len);
}

namespace {

using bttest::PeerClosed;
using bttest::PeerDevice;
using Clock = std::chrono::steady_clock;

constexpr ULONGLONG kAddress = 0x0080251234AAull;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_connectCalls = 0;
    g_connectFailures = 0;
    ASSERT_TRUE(NxBtCreateDeviceInfo(kAddress, u"VR-03M 0001", nullptr, 1, u"8779", &device_));
  }
  void TearDown() override {
    if (device_) {
      EXPECT_TRUE(vkbtDeviceInfoClose(device_));
    }
  }
  // Opens a link to a listening peer and takes the peer's end of it.
  HVKBTLINK Open(PeerDevice& peer, int* peerFd) {
    HVKBTLINK link = nullptr;
    EXPECT_TRUE(vkbtCreate(device_, &link)) << GetLastError();
    EXPECT_EQ(GetLastError(), 0u);
    *peerFd = peer.Accept();
    EXPECT_GE(*peerFd, 0);
    return link;
  }

  bttest::VirtualWorld world_;
  HVKBTDEVICE device_ = nullptr;
};

TEST_F(LinkTest, TwoOpensOfOneRecordShareTheLinkAndItsSocketUntilTheSecondClose) {
  PeerDevice peer(world_.Dir(), kAddress);
  HVKBTLINK first = nullptr, second = nullptr;
  ASSERT_TRUE(vkbtCreate(device_, &first));
  ASSERT_TRUE(vkbtCreate(device_, &second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(g_connectCalls, 1);
  int fd = peer.Accept();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(peer.Accept(100), -1) << "one socket for both opens";

  ASSERT_TRUE(vkbtClose(first));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(PeerClosed(fd, 100));
  DWORD n = 0;
  EXPECT_TRUE(vkbtWrite(second, "x", 1, &n)) << "still open after the first close";

  ASSERT_TRUE(vkbtClose(second));
  EXPECT_TRUE(PeerClosed(fd, 2000));
  EXPECT_FALSE(vkbtClose(second)) << "no reference is left";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(LinkTest, AFailedConnectionLeavesNoLinkAndNoSocketAfterTwoAttempts) {
  int before = bttest::OpenDescriptors();
  HVKBTLINK link = reinterpret_cast<HVKBTLINK>(0x1234);
  EXPECT_FALSE(vkbtCreate(device_, &link));
  EXPECT_EQ(GetLastError(), WSAEHOSTDOWN) << "nothing at the device's address";
  EXPECT_EQ(g_connectCalls, 2);
  EXPECT_EQ(link, reinterpret_cast<HVKBTLINK>(0x1234)) << "out slot written only on success";
  EXPECT_EQ(bttest::OpenDescriptors(), before);

  // A device that went away uncleanly leaves its socket file: refused, twice.
  {
    PeerDevice peer(world_.Dir(), kAddress);
    peer.CloseListener();
    g_connectCalls = 0;
    EXPECT_FALSE(vkbtCreate(device_, &link));
    EXPECT_EQ(GetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(g_connectCalls, 2);
    EXPECT_EQ(bttest::OpenDescriptors(), before);
  }

  // The failed link is not left in the list: a later open makes a new connection.
  PeerDevice peer(world_.Dir(), kAddress);
  g_connectCalls = 0;
  ASSERT_TRUE(vkbtCreate(device_, &link));
  EXPECT_EQ(g_connectCalls, 1);
  EXPECT_GE(peer.Accept(), 0);
  EXPECT_TRUE(vkbtClose(link));
}

TEST_F(LinkTest, TheSecondAttemptFollowsAFailedFirstOneAndItsSocketIsClosed) {
  PeerDevice peer(world_.Dir(), kAddress);
  int before = bttest::OpenDescriptors();
  g_connectFailures = 1;
  HVKBTLINK link = nullptr;
  ASSERT_TRUE(vkbtCreate(device_, &link)) << GetLastError();
  EXPECT_EQ(g_connectCalls, 2);
  EXPECT_EQ(bttest::OpenDescriptors(), before + 1) << "only the second attempt's socket stays";
  int fd = peer.Accept();
  ASSERT_GE(fd, 0);
  before = bttest::OpenDescriptors() - 1;  // the peer's end stays open in the peer
  EXPECT_TRUE(vkbtClose(link));
  EXPECT_EQ(bttest::OpenDescriptors(), before);

  // Two failures in a row: the error of the last attempt, no third attempt.
  g_connectCalls = 0;
  g_connectFailures = 2;
  EXPECT_FALSE(vkbtCreate(device_, &link));
  EXPECT_EQ(GetLastError(), WSAECONNREFUSED);
  EXPECT_EQ(g_connectCalls, 2);
  EXPECT_EQ(bttest::OpenDescriptors(), before);
}

TEST_F(LinkTest, AShortReadSucceedsWithWhatArrivedWhenTheTimeLimitRunsOut) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(bttest::SendAll(fd, {1, 2, 3}));
  unsigned char buf[8] = {};
  DWORD count = 99;
  auto start = Clock::now();
  EXPECT_TRUE(vkbtRead(link, buf, 8, &count));
  long long ms = MsSince(start);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[2], 3);
  EXPECT_GE(ms, 100) << "waited for the rest until the default limit";
  EXPECT_LT(ms, 5000);

  // An empty read is a success with count 0.
  EXPECT_TRUE(vkbtRead(link, buf, 1, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(GetLastError(), 0u);

  // Bytes that arrive while the read polls are collected, and the read ends as soon as
  // all have come.
  ASSERT_TRUE(vkbtSetTimeout(link, 60000));
  std::thread late([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bttest::SendAll(fd, {7, 8});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bttest::SendAll(fd, {9});
  });
  start = Clock::now();
  EXPECT_TRUE(vkbtRead(link, buf, 3, &count));
  late.join();
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(buf[0], 7);
  EXPECT_EQ(buf[2], 9);
  EXPECT_LT(MsSince(start), 30000);
  EXPECT_TRUE(vkbtClose(link));
}

TEST_F(LinkTest, AReadTakesOnlyWhatItAsksForAndReturnsAtOnce) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(vkbtSetTimeout(link, 60000));  // waiting for the limit would show
  ASSERT_TRUE(bttest::SendAll(fd, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
  unsigned char b = 0;
  DWORD count = 0;
  auto start = Clock::now();
  ASSERT_TRUE(vkbtRead(link, &b, 1, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(b, 10);
  unsigned char rest[9] = {};
  ASSERT_TRUE(vkbtRead(link, rest, 9, &count));
  EXPECT_EQ(count, 9u);
  EXPECT_EQ(rest[0], 11);
  EXPECT_EQ(rest[8], 19);
  EXPECT_LT(MsSince(start), 30000);
  EXPECT_TRUE(vkbtClose(link));
}

// A buffer or count the caller cannot have written is refused with 87 before a byte is
// taken: what waits on the link stays for the next read. Read-only pages, partly
// read-only buffers and read-only counts alike.
TEST_F(LinkTest, AReadIntoMemoryThatCannotBeWrittenTakesNothing) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(vkbtSetTimeout(link, 60000));
  ASSERT_TRUE(bttest::SendAll(fd, {21, 22, 23}));
  const long pageSize = sysconf(_SC_PAGESIZE);
  auto* pages = static_cast<unsigned char*>(
      mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + pageSize, pageSize, PROT_READ), 0);
  unsigned char* readOnly = pages + pageSize;
  DWORD count = 77;
  auto* readOnlyCount = reinterpret_cast<DWORD*>(readOnly);

  EXPECT_FALSE(vkbtRead(link, readOnly, 1, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(vkbtRead(link, readOnly - 2, 3, &count)) << "two writable bytes, the third read-only";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(count, 77u);
  EXPECT_FALSE(vkbtRead(link, pages, 1, readOnlyCount));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(vkbtWrite(link, pages, 1, readOnlyCount));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(*readOnlyCount, 0u);

  unsigned char got[3] = {};
  ASSERT_TRUE(vkbtRead(link, got, 3, &count));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(got[0], 21) << "the refused reads took nothing";
  EXPECT_EQ(got[2], 23);
  munmap(pages, 2 * pageSize);
  EXPECT_TRUE(vkbtClose(link));
}

// A one-byte read takes what else waits into the link, and later reads of any size get
// those bytes first, then the socket's, in the order sent; the peer's end comes after.
TEST_F(LinkTest, BytesTakenAheadComeFirstAndInOrderWhateverTheReadsSize) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(vkbtSetTimeout(link, 3000));  // waiting the limit out would show
  std::vector<unsigned char> sent(1500);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 % 251);
  ASSERT_TRUE(bttest::SendAll(fd, sent));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // all of it waits on the link
  std::vector<unsigned char> got;
  DWORD count = 0;
  const auto start = Clock::now();
  auto read = [&](DWORD length) {
    std::vector<unsigned char> buf(length);
    EXPECT_TRUE(vkbtRead(link, buf.data(), length, &count)) << GetLastError();
    EXPECT_EQ(count, length);
    got.insert(got.end(), buf.begin(), buf.begin() + count);
  };
  read(1);  // takes ahead
  read(3);
  read(700);  // more than was taken ahead: the rest straight from the socket
  for (int i = 0; i < 200; ++i) read(1);
  read(20);
  close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  while (got.size() < sent.size()) read(1);
  EXPECT_TRUE(got == sent) << "every byte once, in the order sent";
  unsigned char b = 0;
  EXPECT_FALSE(vkbtRead(link, &b, 1, &count)) << "the end comes after the last byte";
  EXPECT_EQ(GetLastError(), WSAECONNRESET);
  EXPECT_EQ(count, 0u);
  EXPECT_LT(MsSince(start), 2500) << "no read waited for bytes already taken";
  EXPECT_TRUE(vkbtClose(link));
}

// A recorder switched off or out of range: what it sent before is read, then reads fail
// with the socket layer's code at once instead of returning empty successes for ever;
// writes fail too. Both ways of going: a closed end, and a reset one.
TEST_F(LinkTest, ALinkWhosePeerWentFailsItsReadsAtOnce) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed");
    PeerDevice peer(world_.Dir(), kAddress);
    int fd = -1;
    HVKBTLINK link = Open(peer, &fd);
    ASSERT_TRUE(vkbtSetTimeout(link, 3000));  // waiting the limit out would show
    ASSERT_TRUE(bttest::SendAll(fd, {31, 32}));
    DWORD count = 0;
    if (reset) {
      // A peer that goes with bytes of ours unread resets the connection.
      ASSERT_TRUE(vkbtWrite(link, "\xFF\xFF", 2, &count));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    unsigned char got[4] = {};
    const auto start = Clock::now();
    BOOL ok = vkbtRead(link, got, 4, &count);
    if (reset && !ok) {
      // A reset may throw away what had arrived; then the loss is the first thing said.
      EXPECT_EQ(GetLastError(), WSAECONNRESET);
    } else {
      ASSERT_TRUE(ok) << GetLastError();
      EXPECT_EQ(count, 2u) << "what came before the end is handed out";
      EXPECT_EQ(got[1], 32);
      ok = vkbtRead(link, got, 4, &count);
      EXPECT_FALSE(ok);
      EXPECT_EQ(GetLastError(), WSAECONNRESET);
    }
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(vkbtRead(link, got, 1, &count)) << "and stays lost";
    EXPECT_EQ(GetLastError(), WSAECONNRESET);
    EXPECT_LT(MsSince(start), 2500) << "no read waits its time limit out on a dead link";
    EXPECT_FALSE(vkbtWrite(link, got, 1, &count));
    EXPECT_EQ(vkbtGetTimeout(link), 3000u) << "the link stays open until it is closed";
    EXPECT_TRUE(vkbtClose(link));
  }
}

TEST_F(LinkTest, WritesArriveInOrderAndAGonePeerIsAnErrorNotASignal) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  const unsigned char command[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x13, 7, 6, 5};
  DWORD count = 0;
  for (unsigned char c : command) {
    ASSERT_TRUE(vkbtWrite(link, &c, 1, &count));
    EXPECT_EQ(count, 1u);
  }
  std::vector<unsigned char> big(100000, 0x5A);
  ASSERT_TRUE(vkbtWrite(link, big.data(), static_cast<DWORD>(big.size()), &count)) << "larger than the buffer";
  EXPECT_EQ(count, big.size());
  auto got = bttest::TakeExactly(fd, 8 + big.size());
  ASSERT_EQ(got.size(), 8 + big.size());
  EXPECT_EQ(std::vector<unsigned char>(got.begin(), got.begin() + 8), std::vector<unsigned char>(command, command + 8));

  // The recorder goes away: the write fails with the socket layer's code and the link
  // stays open until it is closed.
  close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  DWORD sent = 99;
  BOOL ok = TRUE;
  for (int i = 0; i < 10 && ok; ++i) ok = vkbtWrite(link, command, 8, &sent);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), WSAECONNRESET);
  EXPECT_EQ(sent, 0u);
  EXPECT_EQ(vkbtGetTimeout(link), 100u);
  EXPECT_TRUE(vkbtClose(link));
}

TEST_F(LinkTest, TimeLimitsInMilliseconds) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  EXPECT_EQ(vkbtGetTimeout(link), 100u);
  EXPECT_EQ(GetLastError(), 0u);

  EXPECT_FALSE(vkbtSetTimeout(link, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(vkbtGetTimeout(link), 100u) << "the old limit stays";

  ASSERT_TRUE(vkbtSetTimeout(link, UINT_MAX));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(vkbtGetTimeout(link), UINT_MAX) << "no 32-bit overflow of the 100 ns count";
  ASSERT_TRUE(vkbtSetTimeout(link, 1));
  EXPECT_EQ(vkbtGetTimeout(link), 1u);

  // A 1 ms limit: an empty read still polls once and comes back quickly.
  unsigned char b;
  DWORD count = 5;
  EXPECT_TRUE(vkbtRead(link, &b, 1, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(vkbtClose(link));
}

TEST_F(LinkTest, HandlesAreCheckedArgumentsFirstThenType) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  unsigned char buf[4];
  DWORD count = 77;

  auto expectFail = [](BOOL result, DWORD error, const char* what) {
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(GetLastError(), error) << what;
  };
  // Null handles and bad arguments: ERROR_INVALID_PARAMETER (87).
  expectFail(vkbtCreate(nullptr, &link), ERROR_INVALID_PARAMETER, "create null device");
  expectFail(vkbtCreate(device_, nullptr), ERROR_INVALID_PARAMETER, "create null out");
  expectFail(vkbtClose(nullptr), ERROR_INVALID_PARAMETER, "close null");
  expectFail(vkbtRead(nullptr, buf, 1, &count), ERROR_INVALID_PARAMETER, "read null");
  expectFail(vkbtRead(link, buf, 0, &count), ERROR_INVALID_PARAMETER, "read length 0");
  expectFail(vkbtRead(link, nullptr, 1, &count), ERROR_INVALID_PARAMETER, "read null buffer");
  expectFail(vkbtRead(link, buf, 1, nullptr), ERROR_INVALID_PARAMETER, "read null count");
  expectFail(vkbtWrite(link, nullptr, 1, &count), ERROR_INVALID_PARAMETER, "write null buffer");
  expectFail(vkbtWrite(link, buf, 0, &count), ERROR_INVALID_PARAMETER, "write length 0");
  expectFail(vkbtDeviceInfoClose(nullptr), ERROR_INVALID_PARAMETER, "device close null");
  EXPECT_EQ(vkbtGetTimeout(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(count, 77u) << "no out value on a validation failure";

  // A device record where a link is expected, and the reverse: 6, after the argument
  // checks.
  expectFail(vkbtClose(device_), ERROR_INVALID_HANDLE, "close device");
  expectFail(vkbtRead(device_, buf, 1, &count), ERROR_INVALID_HANDLE, "read device");
  expectFail(vkbtRead(device_, buf, 0, &count), ERROR_INVALID_PARAMETER, "read device, length 0");
  expectFail(vkbtWrite(device_, buf, 1, &count), ERROR_INVALID_HANDLE, "write device");
  expectFail(vkbtSetTimeout(device_, 5), ERROR_INVALID_HANDLE, "set timeout device");
  expectFail(vkbtSetTimeout(device_, 0), ERROR_INVALID_PARAMETER, "set timeout device, 0");
  EXPECT_EQ(vkbtGetTimeout(device_), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HVKBTLINK other = nullptr;
  expectFail(vkbtCreate(link, &other), ERROR_INVALID_HANDLE, "create from link");
  EXPECT_EQ(other, nullptr);
  expectFail(vkbtDeviceInfoClose(link), ERROR_INVALID_HANDLE, "device close link");
  EXPECT_EQ(count, 77u);

  // A copy carrying the right tag is not a live object: refused without being used.
  alignas(16) unsigned char forged[256] = {};
  const GUID linkTag = nx::Guid("79CFC90F-7319-4CF0-A175-ACDF1815B6C8");
  std::memcpy(forged, &linkTag, sizeof(linkTag));
  expectFail(vkbtRead(forged, buf, 1, &count), ERROR_INVALID_HANDLE, "forged link");
  expectFail(vkbtClose(forged), ERROR_INVALID_HANDLE, "close forged link");

  // Memory that cannot be read is no handle at all: 87.
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  expectFail(vkbtRead(page, buf, 1, &count), ERROR_INVALID_PARAMETER, "read unreadable");
  expectFail(vkbtClose(page), ERROR_INVALID_PARAMETER, "close unreadable");
  expectFail(vkbtSetTimeout(page, 5), ERROR_INVALID_PARAMETER, "set timeout unreadable");
  expectFail(vkbtCreate(page, &other), ERROR_INVALID_PARAMETER, "create unreadable");
  expectFail(vkbtDeviceInfoClose(page), ERROR_INVALID_PARAMETER, "device close unreadable");
  expectFail(vkbtWrite(link, page, 1, &count), ERROR_INVALID_PARAMETER, "write from unreadable buffer");
  munmap(page, 4096);
  EXPECT_EQ(count, 77u);

  EXPECT_TRUE(vkbtClose(link));
  // A stale handle is refused, never read.
  expectFail(vkbtRead(link, buf, 1, &count), ERROR_INVALID_HANDLE, "read stale");
  expectFail(vkbtClose(link), ERROR_INVALID_HANDLE, "close stale");
}

TEST_F(LinkTest, RecordAndLinkLiveUntilBothAreGivenBackInEitherOrder) {
  PeerDevice peer(world_.Dir(), kAddress);
  // Link closed first, then the record: the record goes with its last reference.
  {
    int fd = -1;
    HVKBTLINK link = Open(peer, &fd);
    ASSERT_TRUE(vkbtClose(link));
    EXPECT_TRUE(PeerClosed(fd, 2000));
    ASSERT_TRUE(vkbtDeviceInfoClose(device_));
    EXPECT_FALSE(vkbtDeviceInfoClose(device_));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "destroyed";
  }
  // Record given back first: the link keeps it alive and working until its close.
  ASSERT_TRUE(NxBtCreateDeviceInfo(kAddress, u"VR-03M 0001", nullptr, 1, nullptr, &device_));
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(vkbtDeviceInfoClose(device_));
  DWORD count = 0;
  EXPECT_TRUE(vkbtWrite(link, "ok", 2, &count));
  EXPECT_EQ(bttest::TakeExactly(fd, 2).size(), 2u);
  HVKBTLINK again = nullptr;
  ASSERT_TRUE(vkbtCreate(device_, &again)) << "the record is still alive";
  EXPECT_EQ(again, link);
  EXPECT_TRUE(vkbtClose(again));
  EXPECT_TRUE(vkbtClose(link));
  EXPECT_TRUE(PeerClosed(fd, 2000));
  EXPECT_FALSE(vkbtDeviceInfoClose(device_));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "destroyed with the link";
  device_ = nullptr;
}

TEST_F(LinkTest, TwoRecordsOfOneDeviceHaveLinksOfTheirOwn) {
  PeerDevice peer(world_.Dir(), kAddress);
  HVKBTDEVICE twin = nullptr;
  ASSERT_TRUE(NxBtCreateDeviceInfo(kAddress, u"VR-03M 0001", nullptr, 1, nullptr, &twin));
  HVKBTLINK a = nullptr, b = nullptr;
  ASSERT_TRUE(vkbtCreate(device_, &a));
  ASSERT_TRUE(vkbtCreate(twin, &b));
  EXPECT_NE(a, b) << "links are shared by record, not by address";
  int fa = peer.Accept(), fb = peer.Accept();
  EXPECT_GE(fa, 0);
  EXPECT_GE(fb, 0);
  // Closing the older link unlinks it from the middle of the list; the other still works.
  EXPECT_TRUE(vkbtClose(a));
  DWORD count = 0;
  EXPECT_TRUE(vkbtWrite(b, "z", 1, &count));
  EXPECT_TRUE(vkbtClose(b));
  EXPECT_TRUE(vkbtDeviceInfoClose(twin));
}

// A read on a worker thread whose end is requested stops at its next poll.
struct BlockedRead {
  HVKBTLINK link;
  BOOL result = TRUE;
  DWORD error = 0;
  std::atomic<bool> entered{false};
};

DWORD ReadForEver(LPVOID param) {
  auto* r = static_cast<BlockedRead*>(param);
  unsigned char b;
  DWORD count = 0;
  r->entered = true;
  r->result = vkbtRead(r->link, &b, 1, &count);
  r->error = GetLastError();
  return 0;
}

TEST_F(LinkTest, AReadOnAWorkerEndsWhenTheWorkerIsEnded) {
  PeerDevice peer(world_.Dir(), kAddress);
  int fd = -1;
  HVKBTLINK link = Open(peer, &fd);
  ASSERT_TRUE(vkbtSetTimeout(link, 600000));
  BlockedRead r;
  r.link = link;
  HANDLE thread = CreateThread(nullptr, 0, ReadForEver, &r, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(nxtest::WaitUntil([&] { return r.entered.load(); }, std::chrono::seconds(10),
                                 "the worker to start its read"));
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  auto start = Clock::now();
  ASSERT_TRUE(TerminateThread(thread, 1));
  EXPECT_LT(MsSince(start), 30000);
  EXPECT_FALSE(r.result);
  EXPECT_EQ(r.error, ERROR_OPERATION_ABORTED);
  CloseHandle(thread);
  EXPECT_TRUE(vkbtClose(link));
}

}  // namespace
