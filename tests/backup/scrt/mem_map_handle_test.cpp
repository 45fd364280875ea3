#include "backup/scrt/mem_map_handle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/host/path_conf.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

struct Record {
  uint64_t a;
  uint64_t b;
  char text[32];
};

struct Record_Conf {
  static const char* prefix() { return "/var/opt/quillon/tessera3/$COMPONENT/act/test"; }
  static const char* group() { return "grp"; }
};

typedef Mem_Map_Handle<Record, Record_Conf, 4096> Record_Handle;

off_t file_size(const std::string& path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

mode_t file_mode(const std::string& path)
{
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void write_file(const std::string& path, size_t size)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
  ASSERT_GE(fd, 0);
  std::string bytes(size, 'x');
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(size));
  ::close(fd);
}

class Mem_Map_Handle_Test : public ::testing::Test {
protected:
  std::string dir() const { return env_.path("var/opt/quillon/tessera3/rhv/act/test"); }
  std::string file(const std::string& id, const std::string& base) const
  {
    return dir() + "/" + id + "/" + base;
  }

  Standin_Env env_;
};

TEST_F(Mem_Map_Handle_Test, CreatesFileOfFullSizeWithExactModes)
{
  mode_t old_umask = ::umask(077);
  Record_Handle h;
  int rc = h.open("def-1", "vm-1", true, true, 0750);
  ::umask(old_umask);
  ASSERT_EQ(rc, 0);
  ASSERT_TRUE(static_cast<bool>(h));
  ASSERT_NE(h.get(), nullptr);
  EXPECT_EQ(file_size(file("def-1", "vm-1")), 4096);
  EXPECT_EQ(file_mode(file("def-1", "vm-1")), 0640u);
  EXPECT_EQ(file_mode(dir() + "/def-1"), 0750u);
  h->a = 42;
  EXPECT_EQ(h.get()->a, 42u);
  EXPECT_EQ(h.close(), 0);
  EXPECT_FALSE(static_cast<bool>(h));
  EXPECT_EQ(h.get(), nullptr);
}

TEST_F(Mem_Map_Handle_Test, ShortExistingFile)
{
  ASSERT_TRUE(make_directories(dir() + "/def-2", 0750));

  // A file of 100 bytes (larger than one record) opened without create maps as is...
  write_file(file("def-2", "hundred"), 100);
  {
    Record_Handle h;
    ASSERT_EQ(h.open("def-2", "hundred", false, true, 0750), 0);
    EXPECT_EQ(file_size(file("def-2", "hundred")), 100);
    EXPECT_EQ(h->text[0], 'x');
  }
  // ...and grows to the full size when opened with create.
  {
    Record_Handle h;
    ASSERT_EQ(h.open("def-2", "hundred", true, true, 0750), 0);
    EXPECT_EQ(file_size(file("def-2", "hundred")), 4096);
  }
  // A file shorter than one record is refused rather than mapped past its end.
  write_file(file("def-2", "tiny"), 10);
  Log_Capture log(true);
  Record_Handle h;
  EXPECT_EQ(h.open("def-2", "tiny", false, true, 0750), -1);
  EXPECT_FALSE(static_cast<bool>(h));
  EXPECT_EQ(log.count("Failed to memory map " + file("def-2", "tiny") + ", errno=22, "), 1u)
      << log.dump();
  EXPECT_EQ(file_size(file("def-2", "tiny")), 10);
}

TEST_F(Mem_Map_Handle_Test, MissingFileWithoutCreateFails)
{
  Log_Capture log(true);
  Record_Handle h;
  errno = 0;
  EXPECT_EQ(h.open("def-3", "vm-9", false, true, 0750), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(static_cast<bool>(h));
  std::vector<std::string> errors = log.texts(LM_ERROR);
  ASSERT_EQ(errors.size(), 1u) << log.dump();
  EXPECT_EQ(errors[0].rfind("Failed to memory map " + file("def-3", "vm-9") + ", errno=2, ", 0),
            0u);
}

TEST_F(Mem_Map_Handle_Test, RejectsBadNames)
{
  struct Case {
    const char* id;
    const char* base;
    const char* message;
  };
  const Case cases[] = {
      {"", "vm", "Unexpected error in backup/scrt/mem_map_handle.h:"},
      {nullptr, "vm", "id is NULL or \"\":\n"},
      {"def", "", "basename is NULL or \"\":\n"},
      {"def", nullptr, "basename is NULL or \"\":\n"},
      {"../../../escape", "vm", "id is not a plain file name:\n"},
      {"a/b", "vm", "id is not a plain file name:\n"},
      {"..", "vm", "id is not a plain file name:\n"},
      {".", "vm", "id is not a plain file name:\n"},
      {"def", "../../x", "basename is not a plain file name:\n"},
      {"def", "..", "basename is not a plain file name:\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id ? c.id : "(null)") + " / " + (c.base ? c.base : "(null)"));
    Log_Capture log(true);
    Record_Handle h;
    EXPECT_EQ(h.open(c.id, c.base, true, true, 0750), -1);
    EXPECT_FALSE(static_cast<bool>(h));
    std::vector<std::string> lines = log.texts(LM_EMERGENCY);
    ASSERT_EQ(lines.size(), 1u) << log.dump();
    EXPECT_NE(lines[0].find(c.message), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].rfind("Unexpected error in backup/scrt/mem_map_handle.h:", 0), 0u);
  }
  // Nothing was created anywhere under the test root's act tree, nor above it.
  EXPECT_EQ(file_size(env_.path("var/opt/quillon/tessera3/rhv/act/escape/vm")), -1);
  EXPECT_EQ(file_size(env_.path("var/opt/quillon/tessera3/rhv/escape/vm")), -1);
  EXPECT_EQ(file_size(env_.path("var/opt/quillon/escape/vm")), -1);
  EXPECT_EQ(file_size(dir() + "/def/x"), -1);
}

TEST_F(Mem_Map_Handle_Test, SingleIdFormUsesTheGroupDirectory)
{
  Record_Handle h;
  ASSERT_TRUE(h.open("def-4", true, true, 0750));
  EXPECT_EQ(file_size(dir() + "/grp/def-4"), 4096);
  Log_Capture log(true);
  Record_Handle bad;
  EXPECT_FALSE(bad.open("x/y", true, true, 0750));
  EXPECT_FALSE(bad.open("", true, true, 0750));
  EXPECT_EQ(log.texts(LM_EMERGENCY).size(), 2u);
}

// The record is shared with another process: writes on either side are seen by the other.
TEST_F(Mem_Map_Handle_Test, SharedAcrossProcesses)
{
  Record_Handle h;
  ASSERT_EQ(h.open("def-5", "vm-1", true, true, 0750), 0);
  h->a = 1;

  int to_child[2], to_parent[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(to_parent), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child opens the same record by id and base name, without creating it.
    Record_Handle c;
    if (c.open("def-5", "vm-1", false, true, 0750) != 0 || c->a != 1)
      ::_exit(2);
    c->b = 7;
    std::strcpy(c->text, "from child");
    char ok = 'k';
    if (::write(to_parent[1], &ok, 1) != 1)
      ::_exit(3);
    if (::read(to_child[0], &ok, 1) != 1)
      ::_exit(4);
    ::_exit(c->a == 99 ? 0 : 5);
  }
  char byte;
  ASSERT_EQ(::read(to_parent[0], &byte, 1), 1);
  EXPECT_EQ(h->b, 7u);
  EXPECT_STREQ(h->text, "from child");
  h->a = 99;
  ASSERT_EQ(::write(to_child[1], &byte, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
    ::close(fd);
}

TEST_F(Mem_Map_Handle_Test, DescriptorIsCloseOnExec)
{
  Record_Handle h;
  ASSERT_EQ(h.open("def-6", "vm-1", true, true, 0750), 0);
  bool found = false;
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
      continue;
    target[n] = 0;
    if (std::string(target) == file("def-6", "vm-1")) {
      found = true;
      EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
