// The service's mapping of a client's block file, and the guard that lets it survive a
// block cut short under that mapping.
#include "blockview.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "nxtest/fatimage.h"
#include "nxtest/temp.h"

namespace {

using pfsvc::BlockView;
using pfsvc::FaultGuard;

const size_t kPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));

class BlockViewTest : public ::testing::Test {
 protected:
  // A file of `pages` pages of 'f', opened with flags.
  int MakeFile(size_t pages, int flags) {
    std::string bytes(pages * kPage, 'f');
    nxtest::WriteBytes(path_, bytes);
    return open(path_.c_str(), flags | O_CLOEXEC);
  }
  off_t Length() {
    struct stat st{};
    return stat(path_.c_str(), &st) == 0 ? st.st_size : -1;
  }
  nxtest::TempDir dir_{"pfsvc-view"};
  std::string path_ = dir_.Path() + "/block.bin";
};

TEST_F(BlockViewTest, MapsOnlyWhatTheDescriptorAllows) {
  BlockView v;
  v.Adopt(MakeFile(1, O_WRONLY), 5, O_WRONLY);
  EXPECT_EQ(v.Map(kPage, false), nullptr);  // mmap needs read access: the buffered way
  v.Adopt(MakeFile(1, O_RDONLY), 5, O_RDONLY);
  EXPECT_EQ(v.Map(kPage, true), nullptr);
  uint8_t* ro = v.Map(kPage, false);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(ro[0], 'f');

  v.Adopt(MakeFile(1, O_RDWR), 6, O_RDWR);
  EXPECT_EQ(v.Handle(), 6u);
  uint8_t* p = v.Map(10, true);
  ASSERT_NE(p, nullptr);
  p[3] = 'x';  // shared: the file sees it
  EXPECT_EQ(nxtest::ReadBytes(path_)[3], 'x');
  // A longer transfer than the mapping covers gets a mapping that covers it.
  const size_t longer = v.Mapped() + kPage;
  uint8_t* q = v.Map(longer, true);
  ASSERT_NE(q, nullptr);
  EXPECT_GE(v.Mapped(), longer);
  EXPECT_EQ(q[3], 'x');
}

TEST_F(BlockViewTest, ATouchPastTheEndOfACutFileIsSurvivedAndReported) {
  BlockView v;
  v.Adopt(MakeFile(3, O_RDWR), 1, O_RDWR);
  volatile uint8_t* p = v.Map(3 * kPage, true);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(ftruncate(v.Fd(), static_cast<off_t>(kPage)), 0);  // the client cuts its block
  {
    FaultGuard guard(const_cast<uint8_t*>(p), v.Mapped());
    p[10] = 'a';  // still inside the file
    EXPECT_FALSE(guard.Hit());
    p[2 * kPage + 1] = 'b';  // past its end now
    EXPECT_TRUE(guard.Hit());
    EXPECT_EQ(p[2 * kPage + 1], 'b');  // the access went on, on a page of its own
    EXPECT_EQ(p[2 * kPage], 0);
  }
  EXPECT_EQ(Length(), static_cast<off_t>(kPage));  // nothing reached the file past its end
  EXPECT_EQ(nxtest::ReadBytes(path_)[10], 'a');
  // A kernel copy from the cut part fails instead of faulting.
  int sink = open((dir_.Path() + "/sink.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  v.Unmap();
  uint8_t* q = v.Map(3 * kPage, false);
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(write(sink, q + 2 * kPage, kPage), -1);
  EXPECT_EQ(errno, EFAULT);
  close(sink);
}

// The child of a death test ends with 0 only when the fault was swallowed.
bool NotSurvived(int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }

TEST_F(BlockViewTest, FaultsOutsideAGuardKeepTheirUsualEffect) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  BlockView v;
  v.Adopt(MakeFile(3, O_RDWR), 1, O_RDWR);
  volatile uint8_t* p = v.Map(3 * kPage, true);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(ftruncate(v.Fd(), static_cast<off_t>(kPage)), 0);
  // Past the guarded range, and after the guard has ended.
  EXPECT_EXIT(
      {
        FaultGuard guard(const_cast<uint8_t*>(p), kPage);
        p[2 * kPage] = 1;
        _exit(0);
      },
      NotSurvived, "");
  EXPECT_EXIT(
      {
        { FaultGuard guard(const_cast<uint8_t*>(p), v.Mapped()); }
        p[2 * kPage] = 1;
        _exit(0);
      },
      NotSurvived, "");
}

}  // namespace
