// pfsvc against clients that lie, send garbage, die mid-transfer, come two at a time or
// lack the rights: it refuses with a status, keeps serving others and leaks nothing.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "nxtest/fatimage.h"
#include "nxtest/temp.h"
#include "pfwire.h"
#include "nxtest/svcproc.h"
#include "wire_builders.h"
#include "vkrt.h"

namespace {

using nxtest::Pattern;
using nxtest::WriteBytes;
using svctest::Header;
using svctest::kAccess;
using svctest::Request;
using svctest::Rq;

// A client that speaks the protocol by hand.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { close(fd_); }
  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // One message; empty when none came within the time or the service closed.
  std::string Receive(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return {};
    char buf[256];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

uint32_t Status(const std::string& reply) {
  return reply.size() >= 4 ? nx::LoadLe32(reinterpret_cast<const uint8_t*>(reply.data())) : 0xFFFFFFFFu;
}

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("NX_DRIVES");
    service_ = std::make_unique<svctest::ServiceProcess>(pipes_.Path());
    data_ = files_.Path() + "/data.bin";
    WriteBytes(data_, Pattern(64 * 1024, 2));
    event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  }
  void TearDown() override {
    CloseHandle(event_);
    service_.reset();
  }
  uint32_t EventValue() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event_)); }

  // The service still opens and reads a file for a well-behaved client.
  void ExpectServing() {
    ASSERT_TRUE(service_->Alive());
    HANDLE pf = nullptr, b = nullptr;
    ASSERT_TRUE(vkpfCreateA(data_.c_str(), kAccess, 3, 0, 4096, nullptr, &pf)) << GetLastError();
    ASSERT_EQ(vkSMCreate(&b), 0u);
    DWORD done = 0;
    EXPECT_TRUE(vkpfRead(pf, b, 1000, &done));
    EXPECT_EQ(svctest::BlockBytes(b), Pattern(64 * 1024, 2).substr(0, 1000));
    vkSMClose(b);
    vkpfClose(pf);
  }

  // Opens through a raw client; the connection id, or 0 with the status in *status.
  uint32_t RawOpen(RawClient& c, const std::string& name, uint32_t* status) {
    std::string req = Request(name);
    c.Send(Header(static_cast<uint32_t>(getpid()), EventValue(), static_cast<uint32_t>(req.size())));
    c.Send(req);
    std::string reply = c.Receive();
    *status = Status(reply);
    return reply.size() == 16 && *status == 0 ? nx::LoadLe32(reinterpret_cast<const uint8_t*>(reply.data()) + 4) : 0;
  }

  // The connection pipe of a successful raw open.
  std::string OpenedConnection(RawClient& c) {
    uint32_t status = 0;
    uint32_t id = RawOpen(c, data_, &status);
    EXPECT_EQ(status, 0u);
    return ConnectionPath(id);
  }

  std::string ConnectionPath(uint32_t id) {
    char name[16];
    snprintf(name, sizeof name, "_%08X", id);
    return service_->ServicePipePath() + name;
  }

  nxtest::TempDir pipes_{"pfsvc-pipes"};
  nxtest::TempDir files_{"pfsvc-files"};
  std::unique_ptr<svctest::ServiceProcess> service_;
  std::string data_;
  HANDLE event_ = nullptr;
};

TEST_F(RobustnessTest, RefusesAHeaderThatSpeaksForAnotherProcess) {
  RawClient c(service_->ServicePipePath());
  ASSERT_TRUE(c.Connected());
  std::string req = Request(data_);
  ASSERT_TRUE(c.Send(Header(static_cast<uint32_t>(getppid()), EventValue(), static_cast<uint32_t>(req.size()))));
  ASSERT_TRUE(c.Send(req));
  std::string reply = c.Receive();
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(Status(reply), ERROR_ACCESS_DENIED);
  ExpectServing();
}

TEST_F(RobustnessTest, MalformedOpenExchangesAreRefused) {
  const uint32_t pid = static_cast<uint32_t>(getpid());
  const std::string good = Request(data_);
  const uint32_t size = static_cast<uint32_t>(good.size());
  std::string noTerminator = good;
  noTerminator[noTerminator.size() - 2] = 'x';
  std::string wrongLength = good;
  wrongLength[20] = static_cast<char>(wrongLength[20] + 1);
  // 2n + 26 of this length wraps round to 26, the size of a request with an empty name.
  std::string wrapping = Request("");
  nx::StoreLe32(reinterpret_cast<uint8_t*>(wrapping.data()) + 20, 0x80000000u);
  wrapping[24] = 'x';
  int regular = open(data_.c_str(), O_RDONLY | O_CLOEXEC);
  struct Case {
    const char* what;
    std::string header, request;
    uint32_t status;
  } cases[] = {
      {"short header", Header(pid, EventValue(), size).substr(0, 10), "", ERROR_BAD_LENGTH},
      {"long header", Header(pid, EventValue(), size) + "xxxx", "", ERROR_BAD_LENGTH},
      {"bad magic", Header(pid, EventValue(), size, "XXXX"), good, ERROR_INVALID_DATA},
      {"size below the fixed part", Header(pid, EventValue(), 3), good, ERROR_BAD_LENGTH},
      {"size beyond any name", Header(pid, EventValue(), 0x7FFFFFFF), good, ERROR_BAD_LENGTH},
      {"request shorter than declared", Header(pid, EventValue(), size), good.substr(0, size - 4), ERROR_BAD_LENGTH},
      {"name length that disagrees", Header(pid, EventValue(), size), wrongLength, ERROR_BAD_LENGTH},
      {"name without its terminator", Header(pid, EventValue(), size), noTerminator, ERROR_INVALID_NAME},
      {"name length that wraps the size", Header(pid, EventValue(), 26), wrapping, ERROR_BAD_LENGTH},
      {"event that is no handle", Header(pid, 99999, size), good, ERROR_INVALID_HANDLE},
      {"event that is a file", Header(pid, static_cast<uint32_t>(regular), size), good, ERROR_INVALID_HANDLE},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    RawClient c(service_->ServicePipePath());
    ASSERT_TRUE(c.Connected());
    c.Send(k.header);
    if (!k.request.empty()) c.Send(k.request);
    std::string reply = c.Receive();
    ASSERT_EQ(reply.size(), 16u);
    EXPECT_EQ(Status(reply), k.status);
  }
  close(regular);
  {
    // A client that leaves in the middle of the exchange.
    RawClient c(service_->ServicePipePath());
    c.Send(Header(pid, EventValue(), size));
  }
  ExpectServing();
}

TEST_F(RobustnessTest, NonsenseRequestsGetErrorRepliesOnTheSameConnection) {
  RawClient c(service_->ServicePipePath());
  RawClient conn(OpenedConnection(c));
  ASSERT_TRUE(conn.Connected());
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct Case {
    const char* what;
    std::string record;
    uint32_t status;
  } cases[] = {
      {"short record", std::string("\x01\x00\x00\x00\x05", 5), ERROR_BAD_LENGTH},
      {"long record", Rq(1, 10, 3) + Rq(1, 10, 3), ERROR_BAD_LENGTH},
      {"unknown operation", Rq(9, 0, 0), ERROR_INVALID_FUNCTION},
      {"read of nothing", Rq(1, 0, 3), ERROR_INVALID_PARAMETER},
      {"block that is no handle", Rq(1, 10, 99999), ERROR_INVALID_HANDLE},
      {"block that is a socket", Rq(2, 10, static_cast<uint32_t>(sock)), ERROR_INVALID_HANDLE},
      {"seek before the start", Rq(3, 0xFFFFFFFF, 0xFFFFFFFF), ERROR_NEGATIVE_SEEK},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(conn.Send(k.record));
    std::string ack = conn.Receive();
    ASSERT_EQ(ack.size(), 12u);
    EXPECT_EQ(Status(ack), k.status);
  }
  close(sock);
  // The connection still works.
  ASSERT_TRUE(conn.Send(Rq(5, 0, 0)));
  std::string ack = conn.Receive();
  ASSERT_EQ(ack.size(), 12u);
  EXPECT_EQ(Status(ack), 0u);
  EXPECT_EQ(nx::LoadLe32(reinterpret_cast<const uint8_t*>(ack.data()) + 4), 64u * 1024);
  ExpectServing();
}

TEST_F(RobustnessTest, StrangersCannotTakeAnotherClientsConnection) {
  RawClient c(service_->ServicePipePath());
  const std::string path = OpenedConnection(c);
  pid_t child = fork();
  if (child == 0) {
    // Another process: connected, then turned away before any reply.
    RawClient stranger(path);
    if (!stranger.Connected()) _exit(0);
    stranger.Send(Rq(5, 0, 0));
    _exit(stranger.Receive(3000).empty() ? 0 : 1);
  }
  int st = 0;
  waitpid(child, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a stranger got a reply";
  RawClient conn(path);
  ASSERT_TRUE(conn.Connected());
  conn.Send(Rq(5, 0, 0));
  EXPECT_EQ(Status(conn.Receive()), 0u);
}

class SlowSink : public IProgressNotify {
 public:
  explicit SlowSink(int fd) : fd_(fd) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnProgress(DWORD, DWORD, BOOL, BOOL) override {
    char one = 1;
    [[maybe_unused]] ssize_t r = write(fd_, &one, 1);
    pause();  // killed here, in the middle of the transfer
    return S_OK;
  }
  int fd_;
};

TEST_F(RobustnessTest, AClientKilledDuringATransferLeavesNothingBehind) {
  // No client yet; the connections that probed for the service's start may still be
  // closing, so the count is taken once it has held still for a while.
  int baseline = svctest::OpenFdCount(service_->Pid());
  for (int still = 0, i = 0; still < 10 && i < 300; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int now = svctest::OpenFdCount(service_->Pid());
    still = now == baseline ? still + 1 : 0;
    baseline = now;
  }
  const std::string big = files_.Path() + "/big.bin";
  WriteBytes(big, Pattern(8 << 20, 4));
  int sync[2];
  ASSERT_EQ(pipe(sync), 0);
  pid_t child = fork();
  if (child == 0) {
    setenv("TMPDIR", files_.Path().c_str(), 1);  // the block file that the kill leaves goes with the test
    SlowSink sink(sync[1]);
    HANDLE pf = nullptr, b = nullptr;
    if (!vkpfCreateA(big.c_str(), kAccess, 3, 0, 4096, &sink, &pf) || vkSMCreate(&b) != 0) _exit(2);
    DWORD done = 0;
    vkpfRead(pf, b, 8 << 20, &done);
    _exit(3);
  }
  char got = 0;
  ASSERT_EQ(read(sync[0], &got, 1), 1) << "the child saw no progress";
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(sync[0]);
  close(sync[1]);
  int now = -1;
  for (int i = 0; i < 300 && now != baseline; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    now = svctest::OpenFdCount(service_->Pid());
  }
  EXPECT_EQ(now, baseline);
  ExpectServing();
}

TEST_F(RobustnessTest, TwoClientsAtOnceEachGetTheirOwnFile) {
  const std::string a = files_.Path() + "/a.bin", b = files_.Path() + "/b.bin";
  WriteBytes(a, Pattern(1 << 20, 7));
  WriteBytes(b, Pattern(1 << 20, 8));
  auto client = [](const std::string& path, unsigned seed, bool* ok) {
    HANDLE pf = nullptr, blk = nullptr;
    *ok = vkpfCreateA(path.c_str(), kAccess, 3, 0, 4096, nullptr, &pf) && vkSMCreate(&blk) == 0;
    const std::string expected = Pattern(1 << 20, seed);
    for (size_t off = 0; *ok && off < expected.size(); off += 65536) {
      DWORD done = 0;
      *ok = vkpfRead(pf, blk, 65536, &done) && done == 65536 &&
            svctest::BlockBytes(blk) == expected.substr(off, 65536);
    }
    vkSMClose(blk);
    vkpfClose(pf);
  };
  bool okA = false, okB = false;
  std::thread ta(client, a, 7u, &okA), tb(client, b, 8u, &okB);
  ta.join();
  tb.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
}

TEST_F(RobustnessTest, AClientReadsOnlyWhatItsOwnRightsAllow) {
  // As root the client drops to nobody, so the service must not lend it root's rights;
  // as another user the file has no read permission for its owner either.
  const bool root = geteuid() == 0;
  nxtest::TempDir shared("pfsvc-perm");
  chmod(shared.Path().c_str(), 0755);
  chmod(pipes_.Path().c_str(), 0755);
  const std::string secret = shared.Path() + "/secret.bin", open_ = shared.Path() + "/open.bin";
  WriteBytes(secret, "secret");
  WriteBytes(open_, "public");
  chmod(secret.c_str(), root ? 0600 : 0000);
  chmod(open_.c_str(), 0644);
  auto tryOpen = [&](const std::string& path) -> int {
    pid_t child = fork();
    if (child == 0) {
      if (root && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                   setresuid(65534, 65534, 65534) != 0))
        _exit(200);
      HANDLE pf = nullptr;
      BOOL ok = vkpfCreateA(path.c_str(), GENERIC_READ, 3, 0, 4096, nullptr, &pf);
      _exit(ok ? 0 : static_cast<int>(GetLastError() & 0xFF));
    }
    int st = 0;
    waitpid(child, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  };
  EXPECT_EQ(tryOpen(open_), 0);  // the same client reaches what it may read
  EXPECT_EQ(tryOpen(secret), static_cast<int>(ERROR_ACCESS_DENIED));
  chmod(secret.c_str(), 0600);
}

// A root service lends its rights for a removable medium's raw volume only to members of
// the grant group, and says each grant and refusal in its journal (standard error).
TEST(GrantGroupTest, RemovableMediaAreLentOnlyToTheGrantGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "lending rights needs a service running as root";
  const struct group* floppy = getgrnam("floppy");
  ASSERT_NE(floppy, nullptr) << "Debian's floppy group";
  const gid_t grantGid = floppy->gr_gid;
  nxtest::TempDir pipes("pfsvc-grant-pipes"), files("pfsvc-grant-files");
  chmod(pipes.Path().c_str(), 0755);
  const std::string image = files.Path() + "/card.img", journal = files.Path() + "/journal.txt";
  nxtest::MakeFatImage(image, 8192, 16, "CARD", "1234ABCD");
  chmod(image.c_str(), 0600);  // root's alone: a client's own rights never reach it
  setenv("NX_DRIVES", ("E=" + image).c_str(), 1);
  {
    svctest::ServiceProcess service(pipes.Path(), svctest::ServiceProcess::DefaultProgram(),
                                    {"--grant-group", "floppy"}, journal);
    // The client as nobody, with or without the grant group; its open's last error.
    auto openAsNobody = [&](bool member) -> int {
      pid_t child = fork();
      if (child == 0) {
        const gid_t groups[1] = {grantGid};
        if (setgroups(member ? 1 : 0, groups) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
          _exit(200);
        HANDLE pf = nullptr;
        BOOL ok = vkpfCreateA("\\\\.\\E:", GENERIC_READ, 3, 0, 4096, nullptr, &pf);
        _exit(ok ? 0 : static_cast<int>(GetLastError() & 0xFF));
      }
      int st = 0;
      waitpid(child, &st, 0);
      return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(openAsNobody(false), static_cast<int>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(openAsNobody(true), 0);
  }
  unsetenv("NX_DRIVES");
  const std::string said = nxtest::ReadBytes(journal);
  EXPECT_NE(said.find("refused \\\\.\\E: for reading to uid 65534"), std::string::npos) << said;
  EXPECT_NE(said.find("not in group floppy"), std::string::npos) << said;
  EXPECT_NE(said.find("granted \\\\.\\E: for reading to uid 65534"), std::string::npos) << said;
  EXPECT_NE(said.find("member of floppy"), std::string::npos) << said;
}

TEST_F(RobustnessTest, StopsPromptlyWithClientsConnected) {
  HANDLE pf = nullptr;
  ASSERT_TRUE(vkpfCreateA(data_.c_str(), kAccess, 3, 0, 4096, nullptr, &pf));
  RawClient idle(service_->ServicePipePath());  // in the middle of its open exchange
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(service_->Stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  HANDLE b = nullptr;
  ASSERT_EQ(vkSMCreate(&b), 0u);
  DWORD done = 0;
  EXPECT_FALSE(vkpfRead(pf, b, 10, &done));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);  // the pipe is being closed
  vkSMClose(b);
  vkpfClose(pf);
}

}  // namespace
