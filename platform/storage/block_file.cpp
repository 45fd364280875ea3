#include "platform/storage/block_file.h"

int Posix_File_IO::open(const char* path, int flags, mode_t mode)
{
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int Posix_File_IO::close(int fd)
{
  return ::close(fd);
}

ssize_t Posix_File_IO::pread(int fd, void* buf, std::size_t n, off_t offset)
{
  return ::pread(fd, buf, n, offset);
}

ssize_t Posix_File_IO::pwrite(int fd, const void* buf, std::size_t n, off_t offset)
{
  return ::pwrite(fd, buf, n, offset);
}

off_t Posix_File_IO::lseek(int fd, off_t offset, int whence)
{
  return ::lseek(fd, offset, whence);
}

int Posix_File_IO::fdatasync(int fd)
{
  return ::fdatasync(fd);
}

int Posix_File_IO::fstat(int fd, struct stat* st)
{
  return ::fstat(fd, st);
}

int Posix_File_IO::fadvise(int fd, off_t offset, off_t len, int advice)
{
  return ::posix_fadvise(fd, offset, len, advice);
}

bool Block_File_Base::fail(int err)
{
  last_error_ = err;
  errno = err;
  return false;
}

bool Block_File_Base::file_status(struct stat& st)
{
  if (fd_ < 0) return fail(EBADF);
  if (::fstat(fd_, &st) != 0) return fail(errno);
  return true;
}
