// Test support: a file this process cannot open for writing, even when the tests run as
// root (who ignores mode bits): the file system's immutable flag, else mode 0444 for an
// unprivileged process. Undone at scope end so that the temporary folder can go.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace nxtest {

class UnwritableFile {
 public:
  explicit UnwritableFile(std::string path) : path_(std::move(path)) {
    struct stat st{};
    if (stat(path_.c_str(), &st) != 0) {
      how_ = "no such file";
      return;
    }
    mode_ = st.st_mode & 07777;
    if (SetImmutable(true)) {
      immutable_ = true;
      how_ = "immutable flag";
    } else if (geteuid() != 0 && chmod(path_.c_str(), 0444) == 0) {
      chmodded_ = true;
      how_ = "mode 0444";
    } else {
      how_ = "the file system refuses the immutable flag and root ignores mode bits";
      return;
    }
    // Only what the kernel really refuses counts.
    const int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      Undo();
      how_ += " did not stop a write";
    }
  }
  ~UnwritableFile() { Undo(); }
  UnwritableFile(const UnwritableFile&) = delete;
  UnwritableFile& operator=(const UnwritableFile&) = delete;

  bool Ok() const { return immutable_ || chmodded_; }
  // How the file was made unwritable, or why it could not be.
  const std::string& How() const { return how_; }

 private:
  bool SetImmutable(bool on) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
  }
  void Undo() {
    if (immutable_) SetImmutable(false);
    if (chmodded_) chmod(path_.c_str(), mode_);
    immutable_ = chmodded_ = false;
  }

  std::string path_, how_;
  mode_t mode_ = 0644;
  bool immutable_ = false, chmodded_ = false;
};

}  // namespace nxtest
