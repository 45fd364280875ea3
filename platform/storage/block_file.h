#ifndef PLATFORM_STORAGE_BLOCK_FILE_H
#define PLATFORM_STORAGE_BLOCK_FILE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#pragma GCC visibility push(default)

// Options of the fixed-block file reader and writer.
//   block_size     bytes per block (the reader's buffer, the writer's nominal unit);
//   discard_cache  drop the page cache behind the file position every so many bytes (0: never);
//   read_ahead     tell the kernel the file is read sequentially;
//   sync_close     flush the data to the device before close (non-zero: yes);
//   sync           flush the data to the device every so many bytes written (0: never).
struct File_Options {
  explicit File_Options(std::size_t block_size = 0) : block_size(block_size) {}

  std::size_t block_size;
  off_t discard_cache = 0;
  bool read_ahead = false;
  int sync_close = 0;
  off_t sync = 0;
};

// The system calls behind the block files, gathered so that the files can run over
// another implementation (a test can make a device that fails or writes short).
// Each call has the contract of the POSIX function of the same name.
struct Posix_File_IO {
  static int open(const char* path, int flags, mode_t mode);
  static int close(int fd);
  static ssize_t pread(int fd, void* buf, std::size_t n, off_t offset);
  static ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t offset);
  static off_t lseek(int fd, off_t offset, int whence);
  static int fdatasync(int fd);
  static int fstat(int fd, struct stat* st);
  static int fadvise(int fd, off_t offset, off_t len, int advice);
};

// Shared state and behaviour of the reader and writer: one descriptor, a position,
// the options and the errno of the last failure. Not safe for concurrent use.
class Block_File_Base {
public:
  Block_File_Base() = default;
  Block_File_Base(const Block_File_Base&) = delete;
  Block_File_Base& operator=(const Block_File_Base&) = delete;

  bool is_open() const { return fd_ >= 0; }
  int handle() const { return fd_; }
  const File_Options& options() const { return opts_; }

  // The position of the next read or write.
  off_t tell() const { return pos_; }

  // errno of the last failed call (0 when none failed).
  int last_error() const { return last_error_; }

  // The status of the open file (fstat), for callers that must know what they opened
  // (a block device, not a regular file). false with errno set on failure.
  bool file_status(struct stat& st);

protected:
  // Records err as the last error, leaves it in errno and returns false.
  bool fail(int err);

  int fd_ = -1;
  off_t pos_ = 0;
  int last_error_ = 0;
  File_Options opts_;
};

// Reads a file or a block device one block at a time through an internal, page-aligned
// buffer of the options' block size. Each read fills the whole block unless the end of
// the file comes first, retrying short and interrupted reads.
template <typename IO = Posix_File_IO>
class Fixed_Block_File_Reader_T : public Block_File_Base {
public:
  Fixed_Block_File_Reader_T() = default;
  ~Fixed_Block_File_Reader_T();

  // Opens `path` with `flags` (O_RDONLY and O_CLOEXEC as the caller gives them; the
  // reader never adds O_CREAT) and allocates the block buffer. false, with errno and
  // last_error() set, when the path cannot be opened or the block size is 0.
  bool open(const char* path, int flags, const File_Options& opts, mode_t mode = 0640);
  bool open(const std::string& path, int flags, const File_Options& opts, mode_t mode = 0640)
  {
    return open(path.c_str(), flags, opts, mode);
  }

  // Moves the position; returns the new position or -1 (errno set).
  off_t seek(off_t offset, int whence = SEEK_SET);

  // Reads the block at the current position into the internal buffer and points
  // `data` at it. Returns the bytes read: the block size, fewer at the end of the file,
  // 0 at or past the end; -1 on failure (errno and last_error() set). The buffer stays
  // valid until the next read or close.
  ssize_t read(const void*& data);

  // Reads up to n bytes at the current position into `buf`; same results as above.
  ssize_t read(void* buf, std::size_t n);

  // Closes the file; false when close reports an error. Closing a closed reader is true.
  bool close();

private:
  ssize_t read_full(void* buf, std::size_t n);
  void after_read(std::size_t n);

  unsigned char* buf_ = nullptr;
  off_t discarded_ = 0;
};

// Writes a file or a block device at chosen positions. Every open adds O_WRONLY to the
// caller's flags, so flags holding only O_CLOEXEC still open for writing; O_CREAT is
// added only when asked, so a device path that vanished fails to open instead of
// becoming a new regular file.
template <typename IO = Posix_File_IO>
class Fixed_Block_File_Writer_T : public Block_File_Base {
public:
  Fixed_Block_File_Writer_T() = default;
  ~Fixed_Block_File_Writer_T();

  // Opens `path` for writing with `flags` | O_WRONLY, plus O_CREAT when `create` is true.
  // false, with errno and last_error() set, when the open fails.
  bool open(const char* path, int flags, bool create, mode_t mode, const File_Options& opts);
  bool open(const std::string& path, int flags, bool create, mode_t mode, const File_Options& opts)
  {
    return open(path.c_str(), flags, create, mode, opts);
  }

  // Moves the position; returns the new position or -1 (errno set).
  off_t seek(off_t offset, int whence = SEEK_SET);

  // Writes n bytes at the current position and advances it past what was written.
  // Returns n; fewer when the device failed after taking part of them (a short write:
  // the failure is in last_error(), EIO when the device stopped taking bytes); -1 when
  // it took none (errno and last_error() set). `flags` is reserved and must be 0.
  ssize_t write(const void* data, std::size_t n, int flags = 0);

  // Pushes the written data to the device (fdatasync); false on a write-back error.
  bool flush();

  // Flushes when the options ask for it at close, then closes. false when either
  // reports an error: data may not have reached the device. Closing a closed writer is true.
  bool close();

  // The current size of the open file (st_size); -1 on failure.
  off_t size();

private:
  off_t unsynced_ = 0;
  off_t discarded_ = 0;
};

using Fixed_Block_File_Reader = Fixed_Block_File_Reader_T<>;
using Fixed_Block_File_Writer = Fixed_Block_File_Writer_T<>;

// ---- template definitions ------------------------------------------------------------

template <typename IO>
Fixed_Block_File_Reader_T<IO>::~Fixed_Block_File_Reader_T()
{
  close();
}

template <typename IO>
bool Fixed_Block_File_Reader_T<IO>::open(const char* path, int flags, const File_Options& opts, mode_t mode)
{
  close();
  if (path == nullptr || opts.block_size == 0) return fail(EINVAL);
  void* buf = nullptr;
  int rc = ::posix_memalign(&buf, 4096, opts.block_size);
  if (rc != 0) return fail(rc);
  int fd = IO::open(path, flags & ~O_CREAT, mode);
  if (fd < 0) {
    int err = errno;
    std::free(buf);
    return fail(err);
  }
  fd_ = fd;
  buf_ = static_cast<unsigned char*>(buf);
  opts_ = opts;
  pos_ = 0;
  discarded_ = 0;
  last_error_ = 0;
  if (opts_.read_ahead) IO::fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

template <typename IO>
off_t Fixed_Block_File_Reader_T<IO>::seek(off_t offset, int whence)
{
  if (fd_ < 0) return fail(EBADF), -1;
  off_t r = IO::lseek(fd_, offset, whence);
  if (r < 0) return fail(errno), -1;
  pos_ = r;
  return r;
}

template <typename IO>
ssize_t Fixed_Block_File_Reader_T<IO>::read(const void*& data)
{
  if (fd_ < 0) return fail(EBADF), -1;
  ssize_t n = read_full(buf_, opts_.block_size);
  if (n >= 0) data = buf_;
  return n;
}

template <typename IO>
ssize_t Fixed_Block_File_Reader_T<IO>::read(void* buf, std::size_t n)
{
  if (fd_ < 0) return fail(EBADF), -1;
  return read_full(buf, n);
}

template <typename IO>
ssize_t Fixed_Block_File_Reader_T<IO>::read_full(void* buf, std::size_t n)
{
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = IO::pread(fd_, static_cast<unsigned char*>(buf) + done, n - done, pos_ + static_cast<off_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return fail(errno), -1;
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  after_read(done);
  return static_cast<ssize_t>(done);
}

template <typename IO>
void Fixed_Block_File_Reader_T<IO>::after_read(std::size_t n)
{
  pos_ += static_cast<off_t>(n);
  if (opts_.discard_cache > 0 && pos_ - discarded_ >= opts_.discard_cache) {
    off_t from = discarded_ < pos_ ? discarded_ : 0;
    IO::fadvise(fd_, from, pos_ - from, POSIX_FADV_DONTNEED);
    discarded_ = pos_;
  }
}

template <typename IO>
bool Fixed_Block_File_Reader_T<IO>::close()
{
  std::free(buf_);
  buf_ = nullptr;
  if (fd_ < 0) return true;
  int fd = fd_;
  fd_ = -1;
  if (IO::close(fd) != 0 && errno != EINTR) return fail(errno);
  return true;
}

template <typename IO>
Fixed_Block_File_Writer_T<IO>::~Fixed_Block_File_Writer_T()
{
  close();
}

template <typename IO>
bool Fixed_Block_File_Writer_T<IO>::open(const char* path, int flags, bool create, mode_t mode,
                                         const File_Options& opts)
{
  close();
  if (path == nullptr) return fail(EINVAL);
  flags = (flags & ~(O_ACCMODE | O_CREAT)) | O_WRONLY;
  if (create) flags |= O_CREAT;
  int fd = IO::open(path, flags, mode);
  if (fd < 0) return fail(errno);
  fd_ = fd;
  opts_ = opts;
  pos_ = 0;
  unsynced_ = 0;
  discarded_ = 0;
  last_error_ = 0;
  return true;
}

template <typename IO>
off_t Fixed_Block_File_Writer_T<IO>::seek(off_t offset, int whence)
{
  if (fd_ < 0) return fail(EBADF), -1;
  off_t r = IO::lseek(fd_, offset, whence);
  if (r < 0) return fail(errno), -1;
  pos_ = r;
  return r;
}

template <typename IO>
ssize_t Fixed_Block_File_Writer_T<IO>::write(const void* data, std::size_t n, int flags)
{
  if (fd_ < 0) return fail(EBADF), -1;
  if (flags != 0) return fail(EINVAL), -1;
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = IO::pwrite(fd_, static_cast<const unsigned char*>(data) + done, n - done,
                           pos_ + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      // A device that takes no byte and reports no error is full or gone.
      fail(r < 0 ? errno : EIO);
      pos_ += static_cast<off_t>(done);
      unsynced_ += static_cast<off_t>(done);
      return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    done += static_cast<std::size_t>(r);
  }
  pos_ += static_cast<off_t>(n);
  unsynced_ += static_cast<off_t>(n);
  if (opts_.sync > 0 && unsynced_ >= opts_.sync && !flush()) return -1;
  if (opts_.discard_cache > 0 && unsynced_ == 0 && pos_ - discarded_ >= opts_.discard_cache) {
    IO::fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    discarded_ = pos_;
  }
  return static_cast<ssize_t>(n);
}

template <typename IO>
bool Fixed_Block_File_Writer_T<IO>::flush()
{
  if (fd_ < 0) return fail(EBADF);
  if (IO::fdatasync(fd_) != 0) return fail(errno);
  unsynced_ = 0;
  return true;
}

template <typename IO>
bool Fixed_Block_File_Writer_T<IO>::close()
{
  if (fd_ < 0) return true;
  bool ok = true;
  int err = 0;
  if (opts_.sync_close != 0 && IO::fdatasync(fd_) != 0) {
    ok = false;
    err = errno;
  }
  int fd = fd_;
  fd_ = -1;
  if (IO::close(fd) != 0 && errno != EINTR && ok) {
    ok = false;
    err = errno;
  }
  return ok ? true : fail(err);
}

template <typename IO>
off_t Fixed_Block_File_Writer_T<IO>::size()
{
  if (fd_ < 0) return fail(EBADF), -1;
  struct stat st;
  if (IO::fstat(fd_, &st) != 0) return fail(errno), -1;
  return st.st_size;
}

#pragma GCC visibility pop

#endif
