// Pipe client ends against a server socket in the test: read modes, message boundaries,
// the errors of absent, busy and vanished servers, and a blocked read that an early end
// of its thread interrupts.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nxpal/windows.h"
#include "nxtest/temp.h"

namespace {

class PipeTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("NX_PIPE_DIR", dir_.Path().c_str(), 1); }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    unsetenv("NX_PIPE_DIR");
  }
  int Listen(const std::string& name, int backlog = 4) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string p = dir_.Path() + "/" + name;
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
    fds_.push_back(fd);
    return fd;
  }
  int Accept(int listener) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    fds_.push_back(fd);
    return fd;
  }
  static HANDLE Connect(const char16_t* name) {
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  nxtest::TempDir dir_{"nxpal-pipe"};
  std::vector<int> fds_;
};

TEST_F(PipeTest, MessageModeKeepsMessagesApart) {
  int listener = Listen("svc");
  HANDLE h = Connect(u"\\\\.\\PIPE\\svc");  // the prefix in any case
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  int server = Accept(listener);
  ULONG pid = 0;
  ASSERT_TRUE(GetNamedPipeServerProcessId(h, &pid));
  EXPECT_EQ(pid, static_cast<ULONG>(getpid()));
  DWORD mode = PIPE_READMODE_MESSAGE;
  ASSERT_TRUE(SetNamedPipeHandleState(h, &mode, nullptr, nullptr));

  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "request", 7, &n, nullptr));
  char buf[64] = {};
  EXPECT_EQ(recv(server, buf, sizeof buf, 0), 7);  // one message

  send(server, "first-message", 13, 0);
  send(server, "second", 6, 0);
  EXPECT_FALSE(ReadFile(h, buf, 5, &n, nullptr));  // too small: a part and ERROR_MORE_DATA
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(std::string(buf, n), "first");
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // the rest of the same message
  EXPECT_EQ(std::string(buf, n), "-message");
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "second");

  mode = PIPE_READMODE_BYTE;
  ASSERT_TRUE(SetNamedPipeHandleState(h, &mode, nullptr, nullptr));
  send(server, "bytes!", 6, 0);
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, nullptr));  // byte mode: no 234
  EXPECT_EQ(std::string(buf, n), "byt");

  DWORD count = 1;
  EXPECT_FALSE(SetNamedPipeHandleState(h, &mode, &count, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(h);
}

TEST_F(PipeTest, AbsentBusyAndVanishedServers) {
  EXPECT_EQ(Connect(u"\\\\.\\pipe\\nobody"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Connect(u"\\\\.\\pipe\\"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(Connect(u"\\\\.\\pipe\\a/b"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);

  // A server that accepts nobody: once its queue is full, every instance is busy.
  Listen("full", 0);
  std::vector<HANDLE> waiting;
  DWORD last = 0;
  for (int i = 0; i < 16 && last != ERROR_PIPE_BUSY; ++i) {
    HANDLE h = Connect(u"\\\\.\\pipe\\full");
    if (h != INVALID_HANDLE_VALUE) waiting.push_back(h);
    else last = GetLastError();
  }
  EXPECT_EQ(last, ERROR_PIPE_BUSY);
  for (HANDLE h : waiting) CloseHandle(h);

  int listener = Listen("gone");
  HANDLE h = Connect(u"\\\\.\\pipe\\gone");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  int server = Accept(listener);
  close(server);
  fds_.erase(std::find(fds_.begin(), fds_.end(), server));
  char buf[8];
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  CloseHandle(h);
}

struct ReaderArgs {
  HANDLE pipe;
  DWORD error = 0;
  HANDLE started;
};

DWORD BlockedReader(LPVOID p) {
  auto* a = static_cast<ReaderArgs*>(p);
  SetEvent(a->started);
  char buf[8];
  DWORD n = 0;
  if (!ReadFile(a->pipe, buf, sizeof buf, &n, nullptr)) a->error = GetLastError();
  return 0;
}

TEST_F(PipeTest, ABlockedReadEndsWithTheThreadsEarlyEnd) {
  int listener = Listen("slow");
  HANDLE h = Connect(u"\\\\.\\pipe\\slow");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Accept(listener);  // connected, never answers
  ReaderArgs args{h, 0, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE t = CreateThread(nullptr, 0, BlockedReader, &args, 0, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(WaitForSingleObject(args.started, 5000), WAIT_OBJECT_0);
  Sleep(50);  // inside the read
  ASSERT_TRUE(TerminateThread(t, 7));  // returns once the thread has left
  EXPECT_EQ(args.error, ERROR_OPERATION_ABORTED);
  CloseHandle(t);
  CloseHandle(args.started);
  CloseHandle(h);
}

TEST_F(PipeTest, PipeStateNeedsAPipe) {
  nxtest::TempDir files("nxpal-pipe-file");
  HANDLE f = CreateFileA((files.Path() + "/x").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD mode = PIPE_READMODE_MESSAGE;
  EXPECT_FALSE(SetNamedPipeHandleState(f, &mode, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(f);
}

}  // namespace
