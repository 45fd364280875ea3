#include "platform/storage/block_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <numeric>

#include "tests/platform/storage/temp_dir.h"

namespace {

// A device that misbehaves on demand: it moves at most `chunk` bytes per call, can be
// interrupted once, and can fail writes or flushes.
struct Flaky_IO : Posix_File_IO {
  static inline std::size_t chunk = 0;     // 0: no limit
  static inline bool interrupt_once = false;
  static inline int write_result_after = -1;  // after this many pwrite calls return 0 (device full)
  static inline int write_error = 0;      // errno for every pwrite when non-zero
  static inline int sync_error = 0;       // errno for fdatasync when non-zero
  static inline int writes = 0;

  static void reset()
  {
    chunk = 0;
    interrupt_once = false;
    write_result_after = -1;
    write_error = sync_error = 0;
    writes = 0;
  }
  static ssize_t pread(int fd, void* buf, std::size_t n, off_t off)
  {
    if (interrupt_once) {
      interrupt_once = false;
      errno = EINTR;
      return -1;
    }
    return Posix_File_IO::pread(fd, buf, chunk ? std::min(n, chunk) : n, off);
  }
  static ssize_t pwrite(int fd, const void* buf, std::size_t n, off_t off)
  {
    if (interrupt_once) {
      interrupt_once = false;
      errno = EINTR;
      return -1;
    }
    if (write_error) {
      errno = write_error;
      return -1;
    }
    if (write_result_after >= 0 && writes++ >= write_result_after) return 0;
    return Posix_File_IO::pwrite(fd, buf, chunk ? std::min(n, chunk) : n, off);
  }
  static int fdatasync(int fd)
  {
    if (sync_error) {
      errno = sync_error;
      return -1;
    }
    return Posix_File_IO::fdatasync(fd);
  }
};

std::vector<unsigned char> pattern(std::size_t n)
{
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + 3);
  return v;
}

TEST(Fixed_Block_File_Reader, ReadsWholeBlocksThenTheTail)
{
  Temp_Dir dir;
  const auto data = pattern(3 * 4096 + 100);
  write_file_bytes(dir / "disk", data);
  struct Case {
    const char* name;
    std::size_t chunk;
    bool interrupt;
  };
  for (const Case& c : {Case{"plain", 0, false}, Case{"device gives 1000 bytes a call", 1000, false},
                        Case{"interrupted call", 0, true}}) {
    SCOPED_TRACE(c.name);
    Flaky_IO::reset();
    Flaky_IO::chunk = c.chunk;
    Flaky_IO::interrupt_once = c.interrupt;
    Fixed_Block_File_Reader_T<Flaky_IO> r;
    ASSERT_TRUE(r.open((dir / "disk").c_str(), O_RDONLY | O_CLOEXEC, File_Options(4096), 0640));
    std::vector<unsigned char> got;
    const void* p = nullptr;
    ssize_t n;
    std::vector<ssize_t> sizes;
    while ((n = r.read(p)) > 0) {
      sizes.push_back(n);
      got.insert(got.end(), static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + n);
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(sizes, (std::vector<ssize_t>{4096, 4096, 4096, 100}));
    EXPECT_TRUE(got == data);

    // Seek back into the middle, as the image writer's reader does.
    EXPECT_EQ(r.seek(4096 + 10, SEEK_SET), 4096 + 10);
    ASSERT_EQ(r.read(p), 4096);
    EXPECT_EQ(0, std::memcmp(p, data.data() + 4096 + 10, 4096));
    EXPECT_EQ(r.seek(-1, SEEK_SET), -1);
    EXPECT_EQ(r.last_error(), EINVAL);
  }
  Flaky_IO::reset();
}

TEST(Fixed_Block_File_Reader, OpenFailuresKeepErrno)
{
  Temp_Dir dir;
  Fixed_Block_File_Reader r;
  EXPECT_FALSE(r.open((dir / "missing").c_str(), O_RDONLY | O_CLOEXEC | O_CREAT, File_Options(4096), 0640))
      << "the reader never creates";
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(r.last_error(), ENOENT);
  EXPECT_FALSE(file_exists(dir / "missing"));
  write_file_bytes(dir / "f", {1});
  EXPECT_FALSE(r.open((dir / "f").c_str(), O_RDONLY, File_Options(0), 0640)) << "block size 0";
  const void* p;
  EXPECT_EQ(r.read(p), -1);
  EXPECT_EQ(r.last_error(), EBADF);
}

TEST(Fixed_Block_File_Writer, OpensForWritingWithoutCreatingUnlessAsked)
{
  Temp_Dir dir;
  Fixed_Block_File_Writer w;
  // A device path that vanished: without create the open fails and nothing appears.
  EXPECT_FALSE(w.open((dir / "virtio-gone").c_str(), O_CLOEXEC, false, 0640, File_Options(65536)));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(file_exists(dir / "virtio-gone"));

  // Flags holding only O_CLOEXEC still write; existing bytes outside the writes stay.
  write_file_bytes(dir / "dev", std::vector<unsigned char>(10000, 0xAA));
  ASSERT_TRUE(w.open((dir / "dev").c_str(), O_CLOEXEC, false, 0640, File_Options(4096)));
  ASSERT_EQ(w.seek(100, SEEK_SET), 100);
  ASSERT_EQ(w.write("xyz", 3, 0), 3);
  EXPECT_EQ(w.tell(), 103);
  ASSERT_EQ(w.seek(9998, SEEK_SET), 9998);
  ASSERT_EQ(w.write("12345", 5, 0), 5);
  EXPECT_EQ(w.size(), 10003);
  ASSERT_TRUE(w.flush());
  ASSERT_TRUE(w.close());
  auto bytes = read_file_bytes(dir / "dev");
  ASSERT_EQ(bytes.size(), 10003u);
  EXPECT_EQ(bytes[99], 0xAA);
  EXPECT_EQ(std::string(bytes.begin() + 100, bytes.begin() + 103), "xyz");
  EXPECT_EQ(bytes[103], 0xAA);
  EXPECT_EQ(std::string(bytes.begin() + 9998, bytes.end()), "12345");

  // With create, a new file is made with the mode.
  const mode_t old = ::umask(0);
  ASSERT_TRUE(w.open((dir / "new").c_str(), O_CLOEXEC, true, 0640, File_Options(4096)));
  ::umask(old);
  struct stat st;
  ASSERT_TRUE(w.file_status(st));
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(w.write("a", 1, 1), -1) << "reserved flags";
}

TEST(Fixed_Block_File_Writer, ReportsShortWritesAndWriteBackErrors)
{
  Temp_Dir dir;
  write_file_bytes(dir / "dev", {});
  const auto data = pattern(10000);
  struct Case {
    const char* name;
    std::function<void()> set_up;
    File_Options opts;
    ssize_t write_result;
    int write_errno;
    bool close_ok;
  };
  File_Options sync_close(4096);
  sync_close.sync_close = 1;
  File_Options sync_every(4096);
  sync_every.sync = 4096;
  const Case cases[] = {
      {"partial writes are completed", [] { Flaky_IO::chunk = 3000; }, File_Options(4096), 10000, 0, true},
      {"interrupted write is retried", [] { Flaky_IO::interrupt_once = true; }, File_Options(4096), 10000, 0, true},
      {"device stops taking bytes", [] { Flaky_IO::chunk = 3000; Flaky_IO::write_result_after = 2; }, File_Options(4096), 6000, EIO, true},
      {"device error", [] { Flaky_IO::write_error = ENOSPC; }, File_Options(4096), -1, ENOSPC, true},
      {"write-back error at close", [] { Flaky_IO::sync_error = EIO; }, sync_close, 10000, 0, false},
      {"write-back error while writing", [] { Flaky_IO::sync_error = EIO; }, sync_every, -1, EIO, true},
      {"no flush asked, none done", [] { Flaky_IO::sync_error = EIO; }, File_Options(4096), 10000, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Flaky_IO::reset();
    Fixed_Block_File_Writer_T<Flaky_IO> w;
    ASSERT_TRUE(w.open((dir / "dev").c_str(), O_CLOEXEC, false, 0640, c.opts));
    c.set_up();
    errno = 0;
    EXPECT_EQ(w.write(data.data(), data.size(), 0), c.write_result);
    if (c.write_result < 0) {
      EXPECT_EQ(errno, c.write_errno);
    }
    EXPECT_EQ(w.last_error(), c.write_errno);
    EXPECT_EQ(w.close(), c.close_ok);
    if (c.write_result == static_cast<ssize_t>(data.size())) {
      EXPECT_TRUE(read_file_bytes(dir / "dev") == data);
    }
  }
  Flaky_IO::reset();

  // An explicit flush reports the device's write-back error.
  Fixed_Block_File_Writer_T<Flaky_IO> w;
  ASSERT_TRUE(w.open((dir / "dev").c_str(), O_CLOEXEC, false, 0640, File_Options(4096)));
  ASSERT_EQ(w.write("x", 1), 1);
  Flaky_IO::sync_error = EIO;
  EXPECT_FALSE(w.flush());
  EXPECT_EQ(w.last_error(), EIO);
  Flaky_IO::reset();
}

}  // namespace
