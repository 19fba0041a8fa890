// Paged files against a scripted service in this process: the records on the wire byte
// for byte, the replies' effects, progress calls, and the checks that send nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "nxtest/temp.h"
#include "pfwire.h"
#include "smblock.h"
#include "vkrt.h"

namespace {

int Listen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) return -1;
  return fd;
}

// -1 when nothing arrives within ms.
int AcceptWithin(int listener, int ms) {
  pollfd p{listener, POLLIN, 0};
  return poll(&p, 1, ms) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

std::string Receive(int fd, int ms = 5000) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return {};
  char buf[1024];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void Send(int fd, const uint8_t* bytes, size_t n) { send(fd, bytes, n, MSG_NOSIGNAL); }

void SendAck(int fd, uint32_t status, uint32_t amount, uint32_t total) {
  uint8_t b[12];
  pfwire::Encode(pfwire::Ack{status, amount, total}, b);
  Send(fd, b, sizeof b);
}

pfwire::Request AsRequest(const std::string& s) {
  return s.size() == 12 ? pfwire::DecodeRequest(reinterpret_cast<const uint8_t*>(s.data())) : pfwire::Request{99, 0, 0};
}

// The service side, scripted per test: it takes one open exchange, answers it with
// `openStatus`, and hands the connection to `serve`.
class ScriptedService {
 public:
  explicit ScriptedService(const std::string& dir) : dir_(dir) {
    setenv("NX_PIPE_DIR", dir.c_str(), 1);
    listener_ = Listen(dir + "/" + pfwire::kPipeBaseName);
  }
  ~ScriptedService() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }

  // Serves one open; serve(conn) runs on the connection (null: none is opened).
  void Start(uint32_t openStatus, uint32_t connectionId, std::function<void(int)> serve) {
    thread_ = std::thread([=, this] {
      int s = AcceptWithin(listener_, 5000);
      if (s < 0) return;
      header = Receive(s);
      request = Receive(s);
      if (header.size() == 16) {
        // The client still holds its event while it waits for the reply.
        pfwire::ConnectHeader cd = pfwire::DecodeConnectHeader(reinterpret_cast<const uint8_t*>(header.data()));
        eventCopy = dup(static_cast<int>(cd.event));
      }
      int connListener = -1;
      if (openStatus == 0) {
        char name[16];
        snprintf(name, sizeof name, "_%08X", connectionId);
        connListener = Listen(dir_ + "/" + pfwire::kPipeBaseName + name);
      }
      uint8_t reply[16];
      pfwire::Encode(pfwire::OpenReply{openStatus, connectionId, {0, 0}}, reply);
      Send(s, reply, sizeof reply);
      if (connListener >= 0) {
        int conn = AcceptWithin(connListener, 5000);
        close(connListener);
        if (conn >= 0) {
          if (serve) serve(conn);
          close(conn);
        }
      }
      Receive(s, 1000);  // the client closes the service pipe
      close(s);
    });
  }
  void Join() { thread_.join(); }
  // True when a client connected within ms (nothing is served to it).
  bool SawConnection(int ms) {
    int s = AcceptWithin(listener_, ms);
    if (s >= 0) close(s);
    return s >= 0;
  }
  // The eventfd's count: 1 once the client signalled its event.
  uint64_t EventCount() {
    uint64_t v = 0;
    if (eventCopy < 0) return 0;
    fcntl(eventCopy, F_SETFL, O_NONBLOCK);
    if (read(eventCopy, &v, sizeof v) != sizeof v) v = 0;
    close(eventCopy);
    eventCopy = -1;
    return v;
  }

  std::string header, request;
  int eventCopy = -1;

 private:
  std::string dir_;
  int listener_ = -1;
  std::thread thread_;
};

class Sink : public IProgressNotify {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE OnProgress(DWORD current, DWORD maximum, BOOL accurate, BOOL owner) override {
    calls.push_back({current, maximum, accurate, owner});
    return E_FAIL;  // not looked at
  }
  struct Call {
    DWORD current, maximum;
    BOOL accurate, owner;
  };
  std::vector<Call> calls;
  ULONG refs = 1;
};

class PagedFileTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", tmp_.Path().c_str(), 1); }
  void TearDown() override {
    unsetenv("TMPDIR");
    unsetenv("NX_PIPE_DIR");
    for (HANDLE b : blocks_) vkSMClose(b);
  }
  HANDLE Block() {
    HANDLE b = nullptr;
    EXPECT_EQ(vkSMCreate(&b), 0u);
    blocks_.push_back(b);
    return b;
  }
  static uint32_t BackingValue(HANDLE block) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_cast<VKSMBLOCK*>(block)->backingFile));
  }

  nxtest::TempDir pipes_{"vkrt-pf"};
  nxtest::TempDir tmp_{"vkrt-pf-tmp"};
  std::vector<HANDLE> blocks_;
};

TEST_F(PagedFileTest, OpenSendsTheConnectHeaderAndRequestByteForByte) {
  ScriptedService svc(pipes_.Path());
  svc.Start(0, 0xAB, nullptr);
  Sink sink;
  HANDLE pf = nullptr;
  const char16_t name[] = u"\\\\.\\E:";
  ASSERT_TRUE(vkpfCreateW(name, 0xC0000000, 3, 0x10000000, 4096, &sink, &pf)) << GetLastError();
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(sink.refs, 1u);  // no reference taken
  vkpfClose(pf);
  svc.Join();

  ASSERT_EQ(svc.header.size(), 16u);
  const auto* h = reinterpret_cast<const uint8_t*>(svc.header.data());
  EXPECT_EQ(std::string(svc.header, 0, 4), "SSKV");
  EXPECT_EQ(nx::LoadLe32(h + 4), static_cast<uint32_t>(getpid()));
  EXPECT_EQ(nx::LoadLe32(h + 12), 2u * 6 + 26);
  // The event: unnamed, auto-reset, signalled once the exchange is over.
  EXPECT_EQ(svc.EventCount(), 1u);

  const std::string expected = std::string("\x00\x00\x00\xC0\x03\x00\x00\x00\x00\x00\x00\x10\x00\x10\x00\x00", 16) +
                               std::string("\x01\x00\x00\x00\x06\x00\x00\x00", 8) +
                               std::string("\\\0\\\0.\0\\\0E\0:\0\0\0", 14);
  EXPECT_EQ(svc.request, expected);
}

TEST_F(PagedFileTest, RefusedOpenGivesTheServicesStatus) {
  ScriptedService svc(pipes_.Path());
  svc.Start(ERROR_SHARING_VIOLATION, 0, nullptr);
  HANDLE pf = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(vkpfCreateA("/some/file", GENERIC_READ, 0, 0, 0, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(pf, nullptr);
  svc.Join();
  EXPECT_EQ(nx::LoadLe32(reinterpret_cast<const uint8_t*>(svc.request.data()) + 16), 0u);  // no sink
  EXPECT_EQ(svc.EventCount(), 1u);  // signalled whatever the outcome
}

TEST_F(PagedFileTest, ArgumentChecksSendNothing) {
  ScriptedService svc(pipes_.Path());
  HANDLE pf = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(vkpfCreateW(nullptr, 0, 0, 0, 0, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(pf, reinterpret_cast<HANDLE>(1));  // nothing stored
  EXPECT_FALSE(vkpfCreateW(u"x", 0, 0, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(vkpfCreateA(nullptr, 0, 0, 0, 0, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(vkpfCreateA(std::string(300, 'a').c_str(), 0, 0, 0, 0, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(pf, nullptr);
  EXPECT_FALSE(svc.SawConnection(100));
}

TEST_F(PagedFileTest, ZeroCountsAndDeadBlocksNeverReachTheService) {
  ScriptedService svc(pipes_.Path());
  std::vector<std::string> seen;
  svc.Start(0, 1, [&](int conn) {
    for (std::string r; !(r = Receive(conn, 2000)).empty();) {
      seen.push_back(r);
      if (AsRequest(r).op != 0) SendAck(conn, 0, 0, 0);
    }
  });
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA("f", GENERIC_READ, 0, 0, 0, nullptr, &pf));
  HANDLE live = Block();
  HANDLE dead = nullptr;
  ASSERT_EQ(vkSMCreate(&dead), 0u);
  vkSMClose(dead);
  DWORD done = 77;
  EXPECT_FALSE(vkpfRead(pf, live, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(done, 0u);
  EXPECT_FALSE(vkpfWrite(pf, live, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(vkpfRead(pf, dead, 10, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(vkpfWrite(pf, pf, 10, &done));  // a paged file is no block
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(vkpfRead(live, live, 10, &done));  // nor is a block a paged file
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 0, 1, 0, &pos));
  vkpfClose(pf);
  svc.Join();
  ASSERT_EQ(seen.size(), 2u);  // the seek and the close, nothing before
  EXPECT_EQ(AsRequest(seen[0]).op, 3u);
  const pfwire::Request close = AsRequest(seen[1]);
  EXPECT_EQ(close.op, 0u);
  EXPECT_EQ(close.arg1, 0u);
  EXPECT_EQ(close.arg2, 0u);
}

TEST_F(PagedFileTest, SeeksMapTheirOriginAndCarryBothHalves) {
  ScriptedService svc(pipes_.Path());
  std::vector<pfwire::Request> seen;
  svc.Start(0, 2, [&](int conn) {
    for (std::string r; !(r = Receive(conn, 2000)).empty();) {
      pfwire::Request rq = AsRequest(r);
      seen.push_back(rq);
      if (rq.op == 0) break;
      if (seen.size() == 4) SendAck(conn, pfwire::kProgress, 1, 2);  // no loop for seeks
      else SendAck(conn, 0, 0x89ABCDEF, 0x01234567);
    }
  });
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA("f", GENERIC_READ, 0, 0, 0, nullptr, &pf));
  ULONGLONG pos = 0;
  ASSERT_TRUE(vkpfSeek(pf, 0, 0x11111111, 0x22222222, &pos));
  EXPECT_EQ(pos, 0x0123456789ABCDEFull);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(vkpfSeek(pf, 1, 5, -1, nullptr));
  ASSERT_TRUE(vkpfSeek(pf, 7, 0, 0, &pos));
  pos = 42;
  EXPECT_FALSE(vkpfSeek(pf, 2, 0, 0, &pos));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(pos, 42u);  // not stored on failure
  vkpfClose(pf);
  svc.Join();
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].op, 3u);
  EXPECT_EQ(seen[0].arg1, 0x11111111u);
  EXPECT_EQ(seen[0].arg2, 0x22222222u);
  EXPECT_EQ(seen[1].op, 4u);
  EXPECT_EQ(seen[1].arg2, 0xFFFFFFFFu);
  EXPECT_EQ(seen[2].op, 5u);  // origin 7: from the end
  EXPECT_EQ(seen[3].op, 5u);
}

TEST_F(PagedFileTest, ThreeProgressReportsCallTheSinkFourTimes) {
  ScriptedService svc(pipes_.Path());
  pfwire::Request read{};
  svc.Start(0, 3, [&](int conn) {
    read = AsRequest(Receive(conn));
    SendAck(conn, pfwire::kProgress, 100, 400);
    SendAck(conn, pfwire::kProgress, 200, 400);
    SendAck(conn, pfwire::kProgress, 300, 400);
    SendAck(conn, 0, 400, 400);
    Receive(conn, 2000);
  });
  Sink sink;
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA("f", GENERIC_READ, 0, 0, 0, &sink, &pf));
  HANDLE b = Block();
  DWORD done = 0;
  ASSERT_TRUE(vkpfRead(pf, b, 400, &done));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(done, 400u);
  vkpfClose(pf);
  svc.Join();
  EXPECT_EQ(read.op, 1u);
  EXPECT_EQ(read.arg1, 400u);
  EXPECT_EQ(read.arg2, BackingValue(b));  // the block's file, by its handle value
  ASSERT_EQ(sink.calls.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sink.calls[i].current, 100 * (i + 1));
    EXPECT_EQ(sink.calls[i].maximum, 400u);
    EXPECT_EQ(sink.calls[i].accurate, 1);
    EXPECT_EQ(sink.calls[i].owner, 1);
  }
}

TEST_F(PagedFileTest, FailedTransfersReportTheStatusAndTheAmount) {
  ScriptedService svc(pipes_.Path());
  svc.Start(0, 4, [&](int conn) {
    Receive(conn);
    SendAck(conn, pfwire::kProgress, 50, 512);  // reports to a file without a sink: skipped
    SendAck(conn, ERROR_HANDLE_EOF, 100, 512);
    Receive(conn);
    SendAck(conn, 0, 512, 512);
    Receive(conn);  // a read whose reply never comes: the service goes away
  });
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA("f", GENERIC_WRITE, 0, 0, 0, nullptr, &pf));
  HANDLE b = Block();
  DWORD done = 0;
  EXPECT_FALSE(vkpfWrite(pf, b, 512, &done));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_EQ(done, 100u);
  EXPECT_TRUE(vkpfWrite(pf, b, 512, &done));
  EXPECT_EQ(done, 512u);
  EXPECT_FALSE(vkpfRead(pf, b, 512, &done));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(done, 0u);
  vkpfClose(pf);
  svc.Join();
}

struct ReadArgs {
  HANDLE pf, block;
  BOOL ok = TRUE;
  DWORD error = 0;
};

DWORD ReadOnWorker(LPVOID p) {
  auto* a = static_cast<ReadArgs*>(p);
  DWORD done = 0;
  a->ok = vkpfRead(a->pf, a->block, 4096, &done);
  a->error = GetLastError();
  return 0;
}

TEST_F(PagedFileTest, AnExchangeCutShortByTheThreadsEndLeavesNoReplyForTheNext) {
  ScriptedService svc(pipes_.Path());
  std::vector<pfwire::Request> seen;
  svc.Start(0, 5, [&](int conn) {
    seen.push_back(AsRequest(Receive(conn)));  // the read; its reply comes too late
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SendAck(conn, 0, 4096, 4096);
    for (std::string r; !(r = Receive(conn, 1000)).empty();) seen.push_back(AsRequest(r));
  });
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA("f", GENERIC_READ, 0, 0, 0, nullptr, &pf));
  ReadArgs args{pf, Block()};
  HANDLE worker = CreateThread(nullptr, 0, ReadOnWorker, &args, 0, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(TerminateThread(worker, 0));
  CloseHandle(worker);
  EXPECT_FALSE(args.ok);
  EXPECT_EQ(args.error, ERROR_OPERATION_ABORTED);
  // The late reply must not pass for the seek's.
  ULONGLONG pos = 99;
  EXPECT_FALSE(vkpfSeek(pf, 0, 0, 0, &pos));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(pos, 99u);
  EXPECT_TRUE(vkpfClose(pf));
  svc.Join();
  ASSERT_EQ(seen.size(), 1u);  // nothing was sent after the broken exchange
  EXPECT_EQ(seen[0].op, 1u);
}

TEST_F(PagedFileTest, NoServiceMeansTheOpenFailsWithFileNotFound) {
  setenv("NX_PIPE_DIR", pipes_.Path().c_str(), 1);
  HANDLE pf = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(vkpfCreateA("f", GENERIC_READ, 0, 0, 0, nullptr, &pf));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(pf, nullptr);
}

}  // namespace
