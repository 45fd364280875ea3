#include "platform/storage/client_io_ex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Creates every missing directory of `dir` with `mode`.
int make_dirs(const std::string& dir, mode_t mode)
{
  std::string cur;
  std::size_t pos = 0;
  while (pos < dir.size()) {
    std::size_t next = dir.find('/', pos + 1);
    if (next == std::string::npos) next = dir.size();
    cur = dir.substr(0, next);
    pos = next;
    if (cur.empty() || cur == "/") continue;
    if (::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

int sync_dir(const std::string& dir)
{
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return rc;
}

std::string parent_of(const std::string& path)
{
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

Client_IO_Ex::~Client_IO_Ex()
{
  discard();
}

bool Client_IO_Ex::fail(int err, const std::string& what)
{
  error_ = what.empty() ? std::strerror(err) : what;
  errno = err;
  return false;
}

std::string Client_IO_Ex::temp_name(const std::string& full, const std::string& tail)
{
  std::string::size_type slash = full.rfind('/');
  return full.substr(0, slash + 1) + "." + full.substr(slash + 1) + "." + tail;
}

bool Client_IO_Ex::link_unnamed()
{
  // Named under a hidden temporary name first, then renamed over the object, so that an
  // object of the same name is replaced whole.
  char proc_path[64];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_);
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temp_name(path_, std::to_string(::getpid()) + "-" + std::to_string(counter++));
    if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_path_ = name;
      return true;
    }
    if (errno != EEXIST)
      return false;
  }
  return false;
}

void Client_IO_Ex::discard()
{
  if (fd_ >= 0) {
    int err = errno;
    ::close(fd_);
    if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
    errno = err;
  }
  fd_ = -1;
  mode_ = 0;
  temp_path_.clear();
  path_.clear();
}

bool Client_IO_Ex::connect(const std::string& url, const Options& opts)
{
  discard();
  connected_ = false;
  static const char scheme[] = "file://";
  if (url.compare(0, sizeof scheme - 1, scheme) != 0)
    return fail(EINVAL, "unsupported storage pool URL '" + url + "'");
  std::string path = url.substr(sizeof scheme - 1);
  if (path.compare(0, 9, "localhost") == 0) path.erase(0, 9);
  if (path.empty() || path[0] != '/') return fail(EINVAL, "storage pool URL '" + url + "' has no absolute path");
  while (path.size() > 1 && path.back() == '/') path.pop_back();

  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR, "");
  } else if (errno != ENOENT) {
    return fail(errno, "");
  }
  dir_ = path;
  opts_ = opts;
  connected_ = true;
  error_.clear();
  return true;
}

bool Client_IO_Ex::resolve(const std::string& path, std::string& full)
{
  if (!connected_) return fail(ENOTCONN, "");
  std::string rel;
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") return fail(EINVAL, "path '" + path + "' leaves the storage pool");
    if (!rel.empty()) rel += '/';
    rel += part;
  }
  if (rel.empty()) return fail(EINVAL, "empty path");
  full = dir_ == "/" ? "/" + rel : dir_ + "/" + rel;
  return true;
}

bool Client_IO_Ex::open(const std::string& path, int mode, int flags, std::int64_t offset)
{
  discard();
  storage_size_ = 0;
  if (flags != 0 || offset != 0) return fail(EINVAL, "");
  std::string full;
  if (!resolve(path, full)) return false;

  if (mode == MODE_READ) {
    int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno, "");
    struct stat st;
    int err = 0;
    if (::fstat(fd, &st) != 0)
      err = errno;
    else if (S_ISDIR(st.st_mode))
      err = EISDIR;
    else if (!S_ISREG(st.st_mode))
      err = EINVAL;
    if (err != 0) {
      ::close(fd);
      return fail(err, "");
    }
    fd_ = fd;
    storage_size_ = static_cast<std::uint64_t>(st.st_size);
  } else if (mode == MODE_WRITE) {
    std::string dir = parent_of(full);
    if (make_dirs(dir, 0750) != 0) return fail(errno, "");
    // The object is written into a file without a name, which the file system drops by
    // itself if the writer dies; close() names it. Where unnamed files are not offered,
    // a hidden temporary name stands in.
    int fd = -1;
    if (::access("/proc/self/fd", X_OK) == 0)
      fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0640);
    if (fd >= 0) {
      temp_path_.clear();
    } else {
      std::string templ = temp_name(full, "XXXXXX");
      fd = ::mkostemp(&templ[0], O_CLOEXEC);
      if (fd < 0) return fail(errno, "");
      temp_path_ = templ;
    }
    ::fchmod(fd, 0640);
    fd_ = fd;
  } else {
    return fail(EINVAL, "");
  }
  mode_ = mode;
  path_ = full;
  error_.clear();
  return true;
}

ssize_t Client_IO_Ex::read(void* buf, std::size_t n)
{
  if (fd_ < 0 || mode_ != MODE_READ) return fail(EBADF, ""), -1;
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::read(fd_, static_cast<char*>(buf) + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(errno, ""), -1;
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

ssize_t Client_IO_Ex::write(const void* buf, std::size_t n)
{
  if (fd_ < 0 || mode_ != MODE_WRITE) return fail(EBADF, ""), -1;
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::write(fd_, static_cast<const char*>(buf) + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(errno, ""), -1;
    }
    if (r == 0) return fail(EIO, ""), -1;
    done += static_cast<std::size_t>(r);
  }
  storage_size_ += n;
  return static_cast<ssize_t>(n);
}

bool Client_IO_Ex::close()
{
  if (fd_ < 0) return true;
  if (mode_ == MODE_READ) {
    ::close(fd_);
    fd_ = -1;
    mode_ = 0;
    path_.clear();
    return true;
  }
  struct stat st;
  if (::fsync(fd_) != 0 || ::fstat(fd_, &st) != 0) {
    int err = errno;
    discard();
    return fail(err, "");
  }
  if (temp_path_.empty() && !link_unnamed()) {
    int err = errno;
    discard();
    return fail(err, "");
  }
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    int err = errno;
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
    discard();
    return fail(err, "");
  }
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
    discard();
    return fail(err, "");
  }
  temp_path_.clear();
  std::string dir = parent_of(path_);
  discard();
  if (sync_dir(dir) != 0) return fail(errno, "");
  storage_size_ = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool Client_IO_Ex::remove(const std::string& path)
{
  std::string full;
  if (!resolve(path, full)) return false;
  if (::unlink(full.c_str()) != 0 && errno != ENOENT) return fail(errno, "");
  return true;
}
