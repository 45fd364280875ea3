#include "platform/storage/client_io_ex.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "tests/platform/storage/temp_dir.h"

namespace {

bool write_object(Client_IO_Ex& c, const std::string& path, const std::string& text)
{
  return c.open(path, IO_Base::MODE_WRITE, 0, 0) && c.write(text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
         c.close();
}

TEST(Client_IO_Ex, ConnectAcceptsOnlyLocalDirectories)
{
  Temp_Dir dir;
  write_file_bytes(dir / "plain-file", {1, 2, 3});
  struct Case {
    std::string url;
    bool ok;
    int err;
  };
  const Case cases[] = {
      {dir.url(), true, 0},
      {dir.url() + "/", true, 0},
      {"file://localhost" + dir.path(), true, 0},
      {dir.url() + "/not-yet/created", true, 0},  // made by the first write
      {dir.url() + "/plain-file", false, ENOTDIR},
      {"http://127.0.0.1/pool", false, EINVAL},
      {"file://relative/dir", false, EINVAL},
      {"file://", false, EINVAL},
      {"", false, EINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Client_IO_Ex client;
    errno = 0;
    EXPECT_EQ(client.connect(c.url, Client_IO_Base::Options()), c.ok);
    EXPECT_EQ(client.is_connected(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(errno, c.err);
      EXPECT_STRNE(client.error(), "");
    }
  }
  EXPECT_FALSE(file_exists(dir / "not-yet")) << "connect must not create the directory";
}

TEST(Client_IO_Ex, WrittenObjectAppearsOnlyAfterClose)
{
  Temp_Dir dir;
  const mode_t old_mask = ::umask(022);
  Client_IO_Ex c;
  ASSERT_TRUE(c.connect(dir.url() + "/host-1", Client_IO_Base::Options()));
  ASSERT_TRUE(c.open("RHV/vm-1/piece-1", IO_Base::MODE_WRITE, 0, 0)) << c.error();
  ASSERT_EQ(c.write("hello ", 6), 6);
  ASSERT_EQ(c.write("world", 5), 5);
  EXPECT_EQ(c.storage_size(), 11u);
  EXPECT_FALSE(file_exists(dir / "host-1/RHV/vm-1/piece-1")) << "visible before close";
  ASSERT_TRUE(c.close()) << c.error();
  EXPECT_EQ(c.storage_size(), 11u);
  EXPECT_EQ(list_dir(dir / "host-1/RHV/vm-1"), std::vector<std::string>{"piece-1"}) << "temporary file left behind";

  struct stat st;
  ASSERT_EQ(::stat((dir / "host-1/RHV/vm-1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u) << std::oct << st.st_mode;

  // Reading gives the bytes and the stored size.
  ASSERT_TRUE(c.open("/RHV/./vm-1/piece-1", IO_Base::MODE_READ, 0, 0)) << c.error();
  EXPECT_EQ(c.storage_size(), 11u);
  char buf[64] = {};
  EXPECT_EQ(c.read(buf, sizeof buf), 11);
  EXPECT_EQ(std::string(buf), "hello world");
  EXPECT_EQ(c.read(buf, sizeof buf), 0);
  EXPECT_TRUE(c.close());

  // A second version replaces the first only when it is complete.
  ASSERT_TRUE(c.open("RHV/vm-1/piece-1", IO_Base::MODE_WRITE));
  ASSERT_EQ(c.write("partial", 7), 7);
  ASSERT_TRUE(c.open("RHV/vm-1/other", IO_Base::MODE_WRITE)) << "re-open discards the unfinished object";
  EXPECT_EQ(read_file_bytes(dir / "host-1/RHV/vm-1/piece-1").size(), 11u);
  ::umask(old_mask);
}

TEST(Client_IO_Ex, UnfinishedObjectIsDiscardedWithTheClient)
{
  Temp_Dir dir;
  {
    Client_IO_Ex c;
    ASSERT_TRUE(c.connect(dir.url(), Client_IO_Base::Options()));
    ASSERT_TRUE(c.open("RHV/vm/p", IO_Base::MODE_WRITE));
    ASSERT_EQ(c.write("abc", 3), 3);
  }
  EXPECT_TRUE(list_dir(dir / "RHV/vm").empty());
}

// A writer that dies (a servant process killed in the middle of a piece) leaves nothing
// in the pool: not the object, not a temporary file.
TEST(Client_IO_Ex, WriterThatDiesLeavesNothingBehind)
{
  Temp_Dir dir;
  ::fflush(nullptr);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Client_IO_Ex c;
    std::string block(1 << 20, 'x');
    bool ok = c.connect(dir.url(), Client_IO_Base::Options()) && c.open("RHV/vm/piece", IO_Base::MODE_WRITE) &&
              c.write(block.data(), block.size()) == static_cast<ssize_t>(block.size());
    ::_exit(ok ? 0 : 1);  // no close, no destructor: as if killed
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the child could not write";
  EXPECT_TRUE(list_dir(dir / "RHV/vm").empty());

  // The next writer of the same object is not disturbed.
  Client_IO_Ex c;
  ASSERT_TRUE(c.connect(dir.url(), Client_IO_Base::Options()));
  ASSERT_TRUE(write_object(c, "RHV/vm/piece", "after")) << c.error();
  EXPECT_EQ(list_dir(dir / "RHV/vm"), std::vector<std::string>{"piece"});
  struct stat st;
  ASSERT_EQ(::stat((dir / "RHV/vm/piece").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << std::oct << st.st_mode;
}

TEST(Client_IO_Ex, PathsStayInsideThePool)
{
  Temp_Dir dir;
  Client_IO_Ex c;
  ASSERT_TRUE(c.connect(dir.url() + "/pool", Client_IO_Base::Options()));
  for (const char* path : {"../escape", "RHV/../../escape", "", "/", "./."}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(c.open(path, IO_Base::MODE_WRITE));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(c.remove(path));
  }
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{}) << "nothing created outside";
}

TEST(Client_IO_Ex, ReportsFailuresThroughErrorText)
{
  Temp_Dir dir;
  Client_IO_Ex c;
  char buf[4];
  EXPECT_FALSE(c.open("x", IO_Base::MODE_READ)) << "not connected";
  EXPECT_EQ(errno, ENOTCONN);
  ASSERT_TRUE(c.connect(dir.url(), Client_IO_Base::Options()));
  EXPECT_FALSE(c.open("missing", IO_Base::MODE_READ));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_STREQ(c.error(), "No such file or directory");
  EXPECT_FALSE(c.open("x", 3)) << "unknown mode";
  EXPECT_FALSE(c.open("x", IO_Base::MODE_WRITE, 1, 0)) << "reserved flags";
  EXPECT_EQ(c.read(buf, sizeof buf), -1) << "nothing open";
  EXPECT_EQ(c.write(buf, sizeof buf), -1);

  ASSERT_TRUE(write_object(c, "d/x", "data"));
  EXPECT_FALSE(c.open("d", IO_Base::MODE_READ)) << "a directory is not an object";
  EXPECT_EQ(errno, EISDIR);
  ASSERT_TRUE(c.open("d/x", IO_Base::MODE_READ));
  EXPECT_EQ(c.write(buf, 1), -1) << "write on an object opened for reading";
  EXPECT_EQ(errno, EBADF);
  // A file where a directory is needed.
  EXPECT_FALSE(c.open("d/x/y", IO_Base::MODE_WRITE));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(Client_IO_Ex, RemoveDeletesAndToleratesMissingObjects)
{
  Temp_Dir dir;
  Client_IO_Ex c;
  ASSERT_TRUE(c.connect(dir.url(), Client_IO_Base::Options()));
  ASSERT_TRUE(write_object(c, "RHV/vm/a", "1"));
  EXPECT_TRUE(c.remove("RHV/vm/a"));
  EXPECT_FALSE(file_exists(dir / "RHV/vm/a"));
  EXPECT_TRUE(c.remove("RHV/vm/a")) << "already gone counts as removed";
  EXPECT_TRUE(c.remove("RHV/never/written"));
  EXPECT_FALSE(c.remove("RHV/vm")) << "a directory is not an object";
  EXPECT_STRNE(c.error(), "");
}

}  // namespace
