// CreateFile and the file operations: regular files, raw volumes, files on unmounted
// FAT volumes, and the name rules that pick one of them (pipes live in pipe.cpp).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "file/drivetable.h"
#include "file/fat.h"
#include "file/fileobj.h"
#include "file/volume.h"
#include "nxpal/file.h"
#include "nxpal/text.h"

namespace nxpal {

// ---- positioned files -----------------------------------------------------------------

DWORD PositionedFile::Read(void* buf, DWORD n, DWORD* done) {
  std::lock_guard<std::mutex> g(m_);
  *done = 0;
  if (pos_ % Granularity() != 0 || n % Granularity() != 0) return ERROR_INVALID_PARAMETER;
  DWORD err = ReadAt(pos_, buf, n, done);
  pos_ += *done;
  return err;
}

DWORD PositionedFile::Write(const void* buf, DWORD n, DWORD* done) {
  std::lock_guard<std::mutex> g(m_);
  *done = 0;
  if (pos_ % Granularity() != 0 || n % Granularity() != 0) return ERROR_INVALID_PARAMETER;
  DWORD err = WriteAt(pos_, buf, n, done);
  pos_ += *done;
  return err;
}

DWORD PositionedFile::Seek(LONGLONG distance, DWORD method, ULONGLONG* newPos) {
  std::lock_guard<std::mutex> g(m_);
  LONGLONG base;
  switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = static_cast<LONGLONG>(pos_); break;
    case FILE_END: {
      ULONGLONG size = 0;
      DWORD err = Size(&size);
      if (err != ERROR_SUCCESS) return err;
      base = static_cast<LONGLONG>(size);
      break;
    }
    default: return ERROR_INVALID_PARAMETER;
  }
  LONGLONG target;
  if (__builtin_add_overflow(base, distance, &target) || target < 0) return ERROR_NEGATIVE_SEEK;
  pos_ = static_cast<ULONGLONG>(target);
  *newPos = pos_;
  return ERROR_SUCCESS;
}

namespace {

// A file or folder of this system, by descriptor.
class PlainFile : public PositionedFile {
 public:
  PlainFile(int fd, bool canWrite, std::string deleteOnClose) : fd_(fd), canWrite_(canWrite) {
    struct stat st{};
    regular_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!deleteOnClose.empty()) {
      deletePath_ = std::move(deleteOnClose);
      dev_ = st.st_dev;
      ino_ = st.st_ino;
    }
  }
  ~PlainFile() override {
    // Only the file this handle created goes, not one that took its name since.
    struct stat st{};
    if (!deletePath_.empty() && lstat(deletePath_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
      unlink(deletePath_.c_str());
    close(fd_);
  }
  DWORD Size(ULONGLONG* size) override {
    struct stat st{};
    if (fstat(fd_, &st) != 0) return Win32FromErrno(errno);
    *size = static_cast<ULONGLONG>(st.st_size);
    return ERROR_SUCCESS;
  }
  int MappableFd() const override { return regular_ ? fd_ : -1; }
  bool CanWrite() const override { return canWrite_; }

 protected:
  DWORD ReadAt(ULONGLONG offset, void* buf, DWORD n, DWORD* done) override {
    return Transfer(false, offset, buf, n, done);
  }
  DWORD WriteAt(ULONGLONG offset, const void* buf, DWORD n, DWORD* done) override {
    if (!canWrite_) return ERROR_ACCESS_DENIED;
    return Transfer(true, offset, const_cast<void*>(buf), n, done);
  }

 private:
  DWORD Transfer(bool write, ULONGLONG offset, void* buf, DWORD n, DWORD* done) {
    auto* p = static_cast<uint8_t*>(buf);
    while (*done < n) {
      off_t at = static_cast<off_t>(offset + *done);
      ssize_t r = write ? pwrite(fd_, p + *done, n - *done, at) : pread(fd_, p + *done, n - *done, at);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return errno == EISDIR ? ERROR_ACCESS_DENIED : Win32FromErrno(errno);
      if (r == 0) break;
      *done += static_cast<DWORD>(r);
    }
    return ERROR_SUCCESS;
  }

  int fd_;
  bool canWrite_;
  bool regular_ = false;
  std::string deletePath_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// "\\.\E:": the whole volume, in whole sectors.
class RawVolumeFile : public PositionedFile {
 public:
  RawVolumeFile(int handleFd, std::shared_ptr<VolumeIo> io, bool canWrite)
      : handleFd_(handleFd), io_(std::move(io)), canWrite_(canWrite) {}
  ~RawVolumeFile() override { close(handleFd_); }
  DWORD Size(ULONGLONG* size) override {
    *size = io_->Size();
    return ERROR_SUCCESS;
  }
  bool CanWrite() const override { return canWrite_; }

 protected:
  DWORD Granularity() const override { return 512; }
  DWORD ReadAt(ULONGLONG offset, void* buf, DWORD n, DWORD* done) override {
    size_t got = 0;
    DWORD err = io_->ReadAt(offset, buf, n, &got);
    *done = static_cast<DWORD>(got);
    return err;
  }
  DWORD WriteAt(ULONGLONG offset, const void* buf, DWORD n, DWORD* done) override {
    if (!canWrite_) return ERROR_ACCESS_DENIED;
    size_t put = 0;
    DWORD err = io_->WriteAt(offset, buf, n, &put);
    *done = static_cast<DWORD>(put);
    return err;
  }

 private:
  int handleFd_;  // the handle's value: a duplicate of the volume's descriptor
  std::shared_ptr<VolumeIo> io_;
  bool canWrite_;
};

// A file of an unmounted FAT volume, read and written in place along its cluster chain.
class FatFile : public PositionedFile {
 public:
  FatFile(int handleFd, std::shared_ptr<FatVolume> vol, std::vector<uint32_t> chain, uint32_t size, bool canWrite)
      : handleFd_(handleFd), vol_(std::move(vol)), chain_(std::move(chain)), size_(size), canWrite_(canWrite) {}
  ~FatFile() override { close(handleFd_); }
  DWORD Size(ULONGLONG* size) override {
    *size = size_;
    return ERROR_SUCCESS;
  }
  bool CanWrite() const override { return canWrite_; }

 protected:
  DWORD ReadAt(ULONGLONG offset, void* buf, DWORD n, DWORD* done) override {
    if (offset >= size_) return ERROR_SUCCESS;
    n = static_cast<DWORD>(std::min<ULONGLONG>(n, size_ - offset));
    return Transfer(false, offset, buf, n, done);
  }
  DWORD WriteAt(ULONGLONG offset, const void* buf, DWORD n, DWORD* done) override {
    if (!canWrite_) return ERROR_ACCESS_DENIED;
    if (offset + n > size_) return ERROR_NOT_SUPPORTED;  // files here never grow
    return Transfer(true, offset, const_cast<void*>(buf), n, done);
  }

 private:
  DWORD Transfer(bool write, ULONGLONG offset, void* buf, DWORD n, DWORD* done) {
    const ULONGLONG cluster = vol_->Layout().ClusterBytes();
    auto* p = static_cast<uint8_t*>(buf);
    while (*done < n) {
      ULONGLONG at = offset + *done;
      size_t index = static_cast<size_t>(at / cluster);
      if (index >= chain_.size()) return ERROR_FILE_INVALID;  // size beyond the chain
      ULONGLONG within = at % cluster;
      // Consecutive clusters are transferred in one piece.
      size_t last = index;
      while (last + 1 < chain_.size() && chain_[last + 1] == chain_[last] + 1 &&
             (last + 1 - index) * cluster - within < n - *done)
        ++last;
      size_t piece = static_cast<size_t>(std::min<ULONGLONG>((last + 1 - index) * cluster - within, n - *done));
      size_t moved = 0;
      ULONGLONG disk = vol_->ClusterOffset(chain_[index]) + within;
      DWORD err = write ? vol_->Io().WriteAt(disk, p + *done, piece, &moved)
                        : vol_->Io().ReadAt(disk, p + *done, piece, &moved);
      *done += static_cast<DWORD>(moved);
      if (err != ERROR_SUCCESS) return err;
      if (moved < piece) return ERROR_FILE_INVALID;  // the chain runs past the medium
    }
    return ERROR_SUCCESS;
  }

  int handleFd_;
  std::shared_ptr<FatVolume> vol_;
  std::vector<uint32_t> chain_;
  uint32_t size_;
  bool canWrite_;
};

// ---- names ----------------------------------------------------------------------------

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (nx::UpperChar(s[i]) != nx::UpperChar(prefix[i])) return false;
  return true;
}

enum class NameKind { Pipe, RawVolume, DrivePath, Native, Unknown };

struct ParsedName {
  NameKind kind = NameKind::Unknown;
  std::u16string pipe;
  char letter = 0;
  std::vector<std::u16string> components;  // below the drive's root
  std::string native;
};

std::vector<std::u16string> SplitComponents(std::u16string_view rest) {
  std::vector<std::u16string> parts;
  std::u16string cur;
  auto flush = [&] {
    if (cur == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!cur.empty() && cur != u".") {
      parts.push_back(cur);
    }
    cur.clear();
  };
  for (char16_t c : rest) {
    if (c == u'\\' || c == u'/') flush();
    else cur += c;
  }
  flush();
  return parts;
}

ParsedName ParseName(std::u16string_view n) {
  ParsedName p;
  if (StartsWithNoCase(n, u"\\\\.\\") || StartsWithNoCase(n, u"\\\\?\\")) {
    std::u16string_view rest = n.substr(4);
    if (StartsWithNoCase(rest, u"pipe\\")) {
      p.kind = NameKind::Pipe;
      p.pipe = std::u16string(rest.substr(5));
    } else if (rest.size() == 2 && DriveLetterOf(rest) && n[2] == u'.') {
      p.kind = NameKind::RawVolume;
      p.letter = DriveLetterOf(rest);
    } else if (rest.size() > 2 && DriveLetterOf(rest)) {
      p.kind = NameKind::DrivePath;
      p.letter = DriveLetterOf(rest);
      p.components = SplitComponents(rest.substr(2));
    }
    return p;
  }
  if (char letter = DriveLetterOf(n)) {
    p.kind = NameKind::DrivePath;
    p.letter = letter;
    p.components = SplitComponents(n.substr(2));
    return p;
  }
  p.kind = NameKind::Native;
  p.native = nx::Utf16ToUtf8(n);
  return p;
}

// Joins components under a folder, matching each to an existing entry regardless of
// case the way Windows finds names (an exact match first).
std::string JoinNoCase(const std::string& base, const std::vector<std::u16string>& components) {
  std::string path = base;
  for (const auto& c : components) {
    std::string part = nx::Utf16ToUtf8(c);
    std::string candidate = path + (path.empty() || path.back() != '/' ? "/" : "") + part;
    struct stat st{};
    if (lstat(candidate.c_str(), &st) != 0) {
      if (DIR* d = opendir(path.c_str())) {
        const std::u16string want = nx::UpperCase(c);
        while (dirent* e = readdir(d)) {
          if (nx::UpperCase(nx::Utf8ToUtf16(e->d_name)) == want) {
            candidate = path + (path.back() != '/' ? "/" : "") + e->d_name;
            break;
          }
        }
        closedir(d);
      }
    }
    path = candidate;
  }
  return path;
}

// Where a drive path leads: a path of this system, or a node of a FAT volume.
struct Resolved {
  std::string native;  // set when the path is a file of this system
  std::shared_ptr<FatVolume> fat;  // else the volume and what was found on it
  FatNode node;
  // ERROR_FILE_NOT_FOUND (2) or ERROR_PATH_NOT_FOUND (3) when the node does not exist.
  DWORD findError = ERROR_SUCCESS;
};

DWORD ResolveDrivePath(const ParsedName& p, bool write, Resolved* r) {
  Drive d;
  if (!FindDrive(p.letter, &d)) return ERROR_PATH_NOT_FOUND;
  if (d.folder || !d.mountPoint.empty()) {
    r->native = JoinNoCase(d.folder ? d.path : d.mountPoint, p.components);
    return ERROR_SUCCESS;
  }
  std::shared_ptr<VolumeIo> io;
  DWORD err = VolumeIo::Open(d.path, write, &io);
  if (err != ERROR_SUCCESS) return err;
  std::unique_ptr<FatVolume> vol;
  err = FatVolume::Open(io, &vol);
  if (err != ERROR_SUCCESS) return err;
  r->fat = std::move(vol);
  r->findError = r->fat->Find(p.components, &r->node);
  return ERROR_SUCCESS;
}

int DupHandleFd(int fd) { return RaiseDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 3)); }

DWORD OpenNative(const std::string& path, DWORD access, DWORD disposition, DWORD flags, HANDLE* out, bool* existed) {
  const bool wantWrite = (access & GENERIC_WRITE) != 0;
  const bool wantRead = (access & GENERIC_READ) != 0;
  int oflags = O_CLOEXEC | (wantWrite ? (wantRead ? O_RDWR : O_WRONLY) : O_RDONLY);
  switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!wantWrite) return ERROR_INVALID_PARAMETER;
      oflags |= O_TRUNC;
      break;
    default: return ERROR_INVALID_PARAMETER;
  }
  if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
  struct stat st{};
  *existed = stat(path.c_str(), &st) == 0;
  if (*existed && S_ISDIR(st.st_mode)) return disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED;
  mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  int fd = open(path.c_str(), oflags, mode);
  if (fd < 0) {
    int e = errno;
    if (e == EEXIST) return ERROR_FILE_EXISTS;
    if (e == ENOENT) {
      std::string parent = path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
      struct stat pst{};
      bool parentOk = parent.empty() || stat(parent.c_str(), &pst) == 0;
      return parentOk ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    if (e == EISDIR) return ERROR_ACCESS_DENIED;
    return Win32FromErrno(e);
  }
  fd = RaiseDescriptor(fd);
  if (fd < 0) return Win32FromErrno(errno);
  if (flags & FILE_FLAG_RANDOM_ACCESS) posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  if (flags & FILE_FLAG_SEQUENTIAL_SCAN) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::string deletePath;
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) deletePath = path;
  *out = InsertHandle(fd, std::make_shared<PlainFile>(fd, wantWrite, deletePath));
  return ERROR_SUCCESS;
}

DWORD OpenRawVolume(char letter, DWORD access, DWORD disposition, HANDLE* out) {
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_INVALID_PARAMETER;
  Drive d;
  if (!FindDrive(letter, &d)) return ERROR_FILE_NOT_FOUND;
  if (d.folder) return ERROR_ACCESS_DENIED;  // a folder has no volume of its own to give
  const bool write = (access & GENERIC_WRITE) != 0;
  std::shared_ptr<VolumeIo> io;
  DWORD err = VolumeIo::Open(d.path, write, &io);
  if (err != ERROR_SUCCESS) return err;
  int fd = DupHandleFd(io->Fd());
  if (fd < 0) return Win32FromErrno(errno);
  *out = InsertHandle(fd, std::make_shared<RawVolumeFile>(fd, io, write));
  return ERROR_SUCCESS;
}

DWORD OpenFatFile(const Resolved& r, DWORD access, DWORD disposition, DWORD flags, HANDLE* out, bool* existed) {
  *existed = r.findError == ERROR_SUCCESS;
  const bool write = (access & GENERIC_WRITE) != 0;
  if (!*existed) {
    if (r.findError == ERROR_FILE_NOT_FOUND && (disposition == CREATE_NEW || disposition == CREATE_ALWAYS ||
                                                disposition == OPEN_ALWAYS))
      return ERROR_NOT_SUPPORTED;  // no new files on a volume reached through its sectors
    return r.findError;
  }
  if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
  if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING || (flags & FILE_FLAG_DELETE_ON_CLOSE))
    return ERROR_NOT_SUPPORTED;
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return ERROR_INVALID_PARAMETER;
  if (r.node.attr & kFatAttrDirectory) return ERROR_ACCESS_DENIED;
  if (write && (r.node.attr & kFatAttrReadOnly)) return ERROR_ACCESS_DENIED;
  if (write && !r.fat->Io().Writable()) return ERROR_ACCESS_DENIED;
  std::vector<uint32_t> chain;
  DWORD err = r.fat->Chain(r.node.firstCluster, &chain);
  if (err != ERROR_SUCCESS) return err;
  if (static_cast<ULONGLONG>(chain.size()) * r.fat->Layout().ClusterBytes() < r.node.size) return ERROR_FILE_INVALID;
  int fd = DupHandleFd(r.fat->Io().Fd());
  if (fd < 0) return Win32FromErrno(errno);
  *out = InsertHandle(fd, std::make_shared<FatFile>(fd, r.fat, std::move(chain), r.node.size, write));
  return ERROR_SUCCESS;
}

DWORD OpenAny(LPCWSTR name, DWORD access, DWORD disposition, DWORD flags, HANDLE* out) {
  if (!name || !*name) return name ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER;
  ParsedName p = ParseName(name);
  bool existed = false;
  DWORD err = ERROR_SUCCESS;
  switch (p.kind) {
    case NameKind::Pipe: return OpenPipeClient(p.pipe, out);
    case NameKind::RawVolume: return OpenRawVolume(p.letter, access, disposition, out);
    case NameKind::Unknown: return ERROR_FILE_NOT_FOUND;
    case NameKind::Native: err = OpenNative(p.native, access, disposition, flags, out, &existed); break;
    case NameKind::DrivePath: {
      if (p.components.empty()) return ERROR_ACCESS_DENIED;  // the root folder itself
      Resolved r;
      err = ResolveDrivePath(p, (access & GENERIC_WRITE) != 0, &r);
      if (err != ERROR_SUCCESS) return err;
      err = r.fat ? OpenFatFile(r, access, disposition, flags, out, &existed)
                  : OpenNative(r.native, access, disposition, flags, out, &existed);
      break;
    }
  }
  if (err != ERROR_SUCCESS) return err;
  // Win32 tells "opened an existing file" for the dispositions that may also create.
  return existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                  : ERROR_SUCCESS;
}

DWORD AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  return (st.st_mode & 0222) == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

DWORD Attributes(LPCWSTR name, DWORD* attrs) {
  if (!name) return ERROR_INVALID_PARAMETER;
  ParsedName p = ParseName(name);
  std::string native;
  if (p.kind == NameKind::Native) {
    native = p.native;
  } else if (p.kind == NameKind::DrivePath) {
    Resolved r;
    DWORD err = ResolveDrivePath(p, false, &r);
    if (err != ERROR_SUCCESS) return err;
    if (r.fat) {
      if (r.findError != ERROR_SUCCESS) return r.findError;
      *attrs = r.node.attr == 0 ? FILE_ATTRIBUTE_NORMAL : r.node.attr;
      return ERROR_SUCCESS;
    }
    native = r.native;
  } else {
    return ERROR_FILE_NOT_FOUND;
  }
  struct stat st{};
  if (stat(native.c_str(), &st) != 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32FromErrno(errno);
  *attrs = AttributesOf(st);
  return ERROR_SUCCESS;
}

std::shared_ptr<FileObject> FileOf(HANDLE h) { return FindHandleAs<FileObject>(h); }

}  // namespace
}  // namespace nxpal

using namespace nxpal;

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  HANDLE h = INVALID_HANDLE_VALUE;
  DWORD err = OpenAny(name, access, disposition, flagsAndAttributes, &h);
  if (err != ERROR_SUCCESS && err != ERROR_ALREADY_EXISTS) h = INVALID_HANDLE_VALUE;
  SetLastError(err);
  return h;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(nx::Utf8ToUtf16(name).c_str(), access, share, sa, disposition, flagsAndAttributes, templateFile);
}

namespace {

// ReadFile and WriteFile: the same checks, then the object's transfer.
BOOL Transfer(HANDLE file, void* buffer, DWORD n, LPDWORD moved, LPOVERLAPPED overlapped, bool write) {
  DWORD done = 0;
  DWORD err;
  auto f = FileOf(file);
  if (!f) err = ERROR_INVALID_HANDLE;
  else if (overlapped || !moved || (!buffer && n)) err = ERROR_INVALID_PARAMETER;
  else if (write && !f->CanWrite()) err = ERROR_ACCESS_DENIED;
  else err = write ? f->Write(buffer, n, &done) : f->Read(buffer, n, &done);
  if (moved) *moved = done;
  SetLastError(err);
  return err == ERROR_SUCCESS;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
  return Transfer(file, buffer, toRead, read, overlapped, false);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
  return Transfer(file, const_cast<void*>(buffer), toWrite, written, overlapped, true);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
  auto f = FileOf(file);
  if (!f) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  LONGLONG dist = distanceHigh ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*distanceHigh)) << 32) |
                                                       static_cast<DWORD>(distance))
                               : static_cast<LONGLONG>(distance);
  ULONGLONG pos = 0;
  DWORD err = f->Seek(dist, method, &pos);
  SetLastError(err);
  if (err != ERROR_SUCCESS) return INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = static_cast<LONG>(pos >> 32);
  return static_cast<DWORD>(pos);
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
  auto f = FileOf(file);
  ULONGLONG size = 0;
  DWORD err = f ? f->Size(&size) : ERROR_INVALID_HANDLE;
  SetLastError(err);
  if (err != ERROR_SUCCESS) return INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
  return static_cast<DWORD>(size);
}

DWORD GetFileAttributesW(LPCWSTR name) {
  DWORD attrs = INVALID_FILE_ATTRIBUTES;
  DWORD err = Attributes(name, &attrs);
  SetLastError(err);
  return err == ERROR_SUCCESS ? attrs : INVALID_FILE_ATTRIBUTES;
}

DWORD GetFileAttributesA(LPCSTR name) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(nx::Utf8ToUtf16(name).c_str());
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
  std::string dir = "/tmp/";
  if (const char* t = getenv("TMPDIR")) {
    struct stat st{};
    if (*t && stat(t, &st) == 0 && S_ISDIR(st.st_mode)) dir = t;
  }
  if (dir.back() != '/') dir += '/';
  std::u16string w = nx::Utf8ToUtf16(dir);
  SetLastError(ERROR_SUCCESS);
  if (!buffer || w.size() + 1 > size) return static_cast<DWORD>(w.size() + 1);
  std::copy(w.begin(), w.end(), buffer);
  buffer[w.size()] = 0;
  return static_cast<DWORD>(w.size());
}
