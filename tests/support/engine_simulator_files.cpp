// Backing files of the simulated disks, sparse copies for snapshots, and device links.

#include "tests/support/engine_simulator_impl.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace test_support {
namespace engine_sim {

namespace {

std::string errno_text(const std::string& what, const std::string& path)
{
  return what + " '" + path + "': " + std::strerror(errno);
}

// Closes a descriptor on scope exit.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd()
  {
    if (fd >= 0)
      ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

bool write_all(int fd, const char* data, size_t size, off_t offset)
{
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Copies [offset, end) from `in` to the same place in `out`, with copy_file_range where the
// kernel offers it and pread/pwrite otherwise. Zero blocks read on the fallback path are
// skipped so that the copy stays sparse.
bool copy_range(int in, int out, off_t offset, off_t end)
{
  bool use_copy_file_range = true;
  std::vector<char> buffer;
  while (offset < end) {
    size_t want = static_cast<size_t>(end - offset);
    if (use_copy_file_range) {
      loff_t in_off = offset;
      loff_t out_off = offset;
      ssize_t n = ::copy_file_range(in, &in_off, out, &out_off, want, 0);
      if (n > 0) {
        offset += n;
        continue;
      }
      if (n == 0)
        return false;  // the source ended early
      if (errno == EINTR)
        continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
        return false;
      use_copy_file_range = false;
    }
    if (buffer.empty())
      buffer.resize(1 << 20);
    size_t chunk = want < buffer.size() ? want : buffer.size();
    ssize_t n = ::pread(in, buffer.data(), chunk, offset);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    bool zero = true;
    for (ssize_t i = 0; i < n && zero; ++i)
      zero = buffer[static_cast<size_t>(i)] == 0;
    if (!zero && !write_all(out, buffer.data(), static_cast<size_t>(n), offset))
      return false;
    offset += n;
  }
  return true;
}

}  // namespace

bool make_dirs(const std::string& path)
{
  if (path.empty())
    return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty())
      continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
      return false;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool create_sparse_file(const std::string& path, int64_t size, std::string& error)
{
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
  if (fd.fd < 0) {
    error = errno_text("cannot create", path);
    return false;
  }
  if (::ftruncate(fd.fd, static_cast<off_t>(size)) != 0) {
    error = errno_text("cannot size", path);
    return false;
  }
  return true;
}

bool sparse_copy(const std::string& src, const std::string& dst, std::string& error)
{
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) {
    error = errno_text("cannot open", src);
    return false;
  }
  struct stat st;
  if (::fstat(in.fd, &st) != 0) {
    error = errno_text("cannot stat", src);
    return false;
  }
  Fd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640));
  if (out.fd < 0) {
    error = errno_text("cannot create", dst);
    return false;
  }
  const off_t size = st.st_size;
  if (::ftruncate(out.fd, size) != 0) {
    error = errno_text("cannot size", dst);
    return false;
  }
  off_t offset = 0;
  while (offset < size) {
    off_t data = ::lseek(in.fd, offset, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO)
        break;  // only a hole is left
      // No hole support here: copy the rest, skipping zero blocks.
      if (!copy_range(in.fd, out.fd, offset, size)) {
        error = errno_text("cannot copy", src);
        return false;
      }
      break;
    }
    off_t hole = ::lseek(in.fd, data, SEEK_HOLE);
    if (hole < 0)
      hole = size;
    if (!copy_range(in.fd, out.fd, data, hole)) {
      error = errno_text("cannot copy", src);
      return false;
    }
    offset = hole;
  }
  return true;
}

int64_t allocated_bytes(const std::string& path)
{
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return -1;
  return static_cast<int64_t>(st.st_blocks) * 512;
}

bool write_at(const std::string& path, uint64_t offset, const std::string& bytes)
{
  Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  if (fd.fd < 0)
    return false;
  return write_all(fd.fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
}

std::string read_file(const std::string& path)
{
  std::string out;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0)
    return out;
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd.fd, &out[done], out.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return out;
}

std::string sha256_of_file(const std::string& path)
{
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0)
    return std::string();
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    return std::string();
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ssize_t n = ::read(fd.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      return std::string();
    if (n == 0)
      break;
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1)
    return std::string();
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < md_len; ++i) {
    out.push_back(hex[md[i] >> 4]);
    out.push_back(hex[md[i] & 15]);
  }
  return out;
}

bool make_link(const std::string& target, const std::string& link)
{
  ::unlink(link.c_str());
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

void remove_path(const std::string& path)
{
  ::unlink(path.c_str());
}

void remove_tree(const std::string& path)
{
  // Only the flat folders the simulator makes (a snapshot's copies): files, then the folder.
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..")
        ::unlink((path + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path.c_str());
}

std::string new_id()
{
  uuid_t u;
  uuid_generate_random(u);
  char text[37];
  uuid_unparse_lower(u, text);
  return text;
}

int64_t now_ms()
{
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace engine_sim
}  // namespace test_support
