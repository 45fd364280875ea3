#include "platform/host/path_conf.h"

#include "tests/support/standin_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

mode_t mode_of(const std::string& p)
{
  struct stat st;
  if (::stat(p.c_str(), &st) != 0) return static_cast<mode_t>(-1);
  return st.st_mode & 07777;
}

bool exists(const std::string& p)
{
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

TEST(Path_Conf, JoinsPartsUnderTheRootAndExpandsTheComponent)
{
  Standin_Env env({{"component", "rhv"}});
  struct Case {
    const char* prefix;
    const char* id;
    const char* basename;
    const char* expected;  // below the root
  };
  const Case cases[] = {
    {"/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", "svc.conf",
     "/etc/opt/quillon/tessera3/rhv/servant/rhv/svc.conf"},
    {"/var/opt/quillon/tessera3/$COMPONENT/act/rhv", "def-1", "vm-2",
     "/var/opt/quillon/tessera3/rhv/act/rhv/def-1/vm-2"},
    {"/var/opt/quillon/tessera3/$COMPONENT/act/job", "def-1", nullptr,
     "/var/opt/quillon/tessera3/rhv/act/job/def-1"},
    {"/p/", "/id/", "/base", "/p/id/base"},
    {"/p", "", "base", "/p/base"},
    {"/p", nullptr, "", "/p"},
    {"/$COMPONENT-$COMPONENT", "$COMPONENT", "x.$COMPONENT", "/rhv-rhv/rhv/x.rhv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Path_Conf pc(c.prefix, c.id, false, c.basename, 0750);
    EXPECT_EQ(pc.str(), env.root() + c.expected);
    EXPECT_STREQ(pc.c_str(), pc.str().c_str());
    EXPECT_TRUE(pc.ok());
  }
  // The std::string form computes the same path.
  EXPECT_EQ(Path_Conf(std::string("/p/$COMPONENT"), std::string("i"), false, std::string("b"), 0750).str(),
            env.root() + "/p/rhv/i/b");

  // Another component gives other paths; no root prefix gives the system path.
  ASSERT_TRUE(env.set("component", "vmw"));
  EXPECT_EQ(Path_Conf("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750).str(),
            env.root() + "/etc/opt/quillon/tessera3/vmw/servant/rhv/svc.conf");
  ASSERT_TRUE(env.set("root_prefix", ""));
  Path_Conf system("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750);
  EXPECT_EQ(system.str(), "/etc/opt/quillon/tessera3/vmw/servant/rhv/svc.conf");
  EXPECT_EQ(system.dir(), "/etc/opt/quillon/tessera3/vmw/servant/rhv");
}

TEST(Path_Conf, CreatesMissingDirectoriesWithTheExactModeWhateverTheUmask)
{
  Standin_Env env;
  // An existing directory on the way keeps its own mode.
  ASSERT_EQ(::mkdir(env.path("var").c_str(), 0700), 0);
  ASSERT_EQ(::chmod(env.path("var").c_str(), 0700), 0);

  const mode_t masks[] = {0077, 0022, 0};
  int n = 0;
  for (mode_t mask : masks) {
    SCOPED_TRACE(mask);
    mode_t old = ::umask(mask);
    std::string def = "def-" + std::to_string(n++);
    Path_Conf pc("/var/opt/quillon/tessera3/$COMPONENT/act/rhv", def.c_str(), true, "vm-1", 0750);
    ::umask(old);
    ASSERT_TRUE(pc.ok());
    const std::string base = env.root() + "/var/opt/quillon/tessera3/rhv/act/rhv";
    EXPECT_EQ(pc.dir(), base + "/" + def);
    for (const std::string& d : {env.path("var/opt"), env.path("var/opt/quillon"), base, base + "/" + def})
      EXPECT_EQ(mode_of(d), 0750u) << d;
    EXPECT_EQ(mode_of(env.path("var")), 0700u);
    // The file itself is not created.
    EXPECT_FALSE(exists(pc.str()));
  }

  // Without create nothing is made.
  Path_Conf none("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750);
  EXPECT_FALSE(exists(env.path("etc")));
}

TEST(Path_Conf, ReportsADirectoryThatCannotBeMade)
{
  Standin_Env env;
  std::ofstream(env.path("var")) << "a file where a directory should be";
  errno = 0;
  Path_Conf pc("/var/opt/x", "id", true, "f", 0750);
  EXPECT_FALSE(pc.ok());
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(pc.str(), env.path("var/opt/x/id/f"));

  EXPECT_FALSE(make_directories(env.path("var/opt"), 0750));
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(Path_Conf, ConcurrentCreatorsOfTheSameTreeAllSucceed)
{
  Standin_Env env;
  const std::string deep = env.path("a/b/c/d/e/f/g/h");
  std::atomic<int> ready{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < 8) std::this_thread::yield();
      if (!make_directories(deep, 0750)) ++failures;
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mode_of(deep), 0750u);
}

}  // namespace
