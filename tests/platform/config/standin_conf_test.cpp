#include "platform/config/standin_conf.h"

#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

TEST(Standin_Conf, ParsesEveryKey)
{
  const std::string text =
    "# host settings\n"
    "\n"
    "  root_prefix = /tmp/root/  \n"
    "component=vmw\r\n"
    "access_key = ak#not-a-comment\n"
    "node_access_key = nk=with=equals\n"
    "on_backupd = yes\n"
    "rsa_private_key = keys/$COMPONENT.pem\n"
    "backupd_host = 127.0.0.1\n"
    "backupd_port = 65535\n"
    "backupd_ssl = off\n"
    "pool.p1.url = file:///pools/one\n"
    "pool.p2.name = second pool\n"
    "pool.p2.url = file:///pools/two\n"
    "pool.p1.name = first\n"
    "catalog_dir = /c/$COMPONENT\n"
    "alert_sink = /a/alerts\n"
    "job_log_dir = /l\n"
    "servant_mode = inprocess\n"
    "servant_module = /m/libx.so\n"
    "servant_host_binary = /m/host\n"
    "device_dir = /d\n"
    "engine_ca_file = /ca.pem\n"
    "tls_insecure = 1\n"
    "ext.fake_engine = 127.0.0.1:8443\n"
    "access_key_extra_blank =\n";

  Standin_Conf conf;
  std::string error;
  // The last line is an unknown key: the whole text is refused and conf keeps its defaults.
  ASSERT_FALSE(conf.parse(text, "/etc/base", error));
  EXPECT_EQ(error, "line 26: unknown key 'access_key_extra_blank'");
  EXPECT_EQ(conf.component(), "rhv");

  ASSERT_TRUE(conf.parse(text.substr(0, text.rfind("access_key_extra_blank")), "/etc/base", error)) << error;
  EXPECT_EQ(conf.root_prefix(), "/tmp/root");
  EXPECT_EQ(conf.component(), "vmw");
  EXPECT_EQ(conf.access_key(), "ak#not-a-comment");
  EXPECT_EQ(conf.node_access_key(), "nk=with=equals");
  EXPECT_TRUE(conf.on_backupd());
  // $COMPONENT expands with the component given later in the file; relative to the base.
  EXPECT_EQ(conf.rsa_private_key(), "/etc/base/keys/vmw.pem");
  EXPECT_EQ(conf.backupd_host(), "127.0.0.1");
  EXPECT_EQ(conf.backupd_port(), 65535);
  EXPECT_FALSE(conf.backupd_ssl());
  ASSERT_EQ(conf.pools().size(), 2u);
  EXPECT_EQ(conf.pools()[0].uuid, "p1");
  EXPECT_EQ(conf.pools()[0].name, "first");
  EXPECT_EQ(conf.pools()[0].url, "file:///pools/one");
  EXPECT_EQ(conf.pools()[1].name, "second pool");
  ASSERT_NE(conf.find_pool("p2"), nullptr);
  EXPECT_EQ(conf.find_pool("p2")->url, "file:///pools/two");
  EXPECT_EQ(conf.find_pool("p3"), nullptr);
  // Explicit paths are taken as given, not under the root prefix.
  EXPECT_EQ(conf.catalog_dir(), "/c/vmw");
  EXPECT_EQ(conf.alert_sink(), "/a/alerts");
  EXPECT_EQ(conf.job_log_dir(), "/l");
  EXPECT_EQ(conf.servant_mode(), "inprocess");
  EXPECT_EQ(conf.servant_module(), "/m/libx.so");
  EXPECT_EQ(conf.servant_host_binary(), "/m/host");
  EXPECT_EQ(conf.device_dir(), "/d");
  EXPECT_EQ(conf.engine_ca_file(), "/ca.pem");
  EXPECT_TRUE(conf.tls_insecure());
  ASSERT_NE(conf.extension("fake_engine"), nullptr);
  EXPECT_EQ(*conf.extension("fake_engine"), "127.0.0.1:8443");
  EXPECT_EQ(conf.extension("missing"), nullptr);
  EXPECT_EQ(conf.system_path("/var/opt/quillon/tessera3/$COMPONENT/act"),
            "/tmp/root/var/opt/quillon/tessera3/vmw/act");
}

TEST(Standin_Conf, DefaultsFollowTheRootPrefix)
{
  struct Case {
    const char* text;
    const char* root;
  };
  const Case cases[] = {
    {"", ""},
    {"root_prefix = /\n", ""},
    {"root_prefix =\n", ""},
    {"root_prefix = /srv/t//\n", "/srv/t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Standin_Conf conf;
    std::string error;
    ASSERT_TRUE(conf.parse(c.text, "", error)) << error;
    std::string root = c.root;
    EXPECT_EQ(conf.root_prefix(), root);
    EXPECT_EQ(conf.component(), "rhv");
    EXPECT_EQ(conf.device_dir(), root + "/dev/disk/by-id");
    EXPECT_EQ(conf.catalog_dir(), root + "/var/opt/quillon/tessera3/rhv/catalog");
    EXPECT_EQ(conf.alert_sink(), root + "/var/opt/quillon/tessera3/rhv/alerts.log");
    EXPECT_EQ(conf.job_log_dir(), root + "/var/opt/quillon/tessera3/rhv/log/job");
    EXPECT_EQ(conf.rsa_private_key(), root + "/etc/opt/quillon/tessera3/rhv/keys/host.pem");
    EXPECT_EQ(conf.backupd_host(), "localhost");
    EXPECT_EQ(conf.backupd_port(), 443);
    EXPECT_TRUE(conf.backupd_ssl());
    EXPECT_FALSE(conf.on_backupd());
    EXPECT_FALSE(conf.tls_insecure());
    EXPECT_EQ(conf.servant_mode(), "process");
    EXPECT_TRUE(conf.pools().empty());
    EXPECT_TRUE(conf.access_key().empty());
  }
}

TEST(Standin_Conf, RejectsMalformedTextAndKeepsPreviousValues)
{
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
    {"access_key = a\nno equals sign\n", "line 2: expected 'key = value'"},
    {" = value\n", "line 1: empty key"},
    {"access_key = a\n# x\naccess_key = b\n", "line 3: duplicate key 'access_key'"},
    {"Access_Key = a\n", "line 1: unknown key 'Access_Key'"},
    {"on_backupd = maybe\n", "line 1: invalid boolean for 'on_backupd': 'maybe'"},
    {"backupd_ssl =\n", "line 1: invalid boolean for 'backupd_ssl': ''"},
    {"backupd_port = 65536\n", "line 1: invalid port '65536'"},
    {"backupd_port = -1\n", "line 1: invalid port '-1'"},
    {"backupd_port = 80a\n", "line 1: invalid port '80a'"},
    {"backupd_port = 000000080\n", "line 1: invalid port '000000080'"},
    {"backupd_port =\n", "line 1: invalid port ''"},
    {"pool.p1.name = x\n", "line 1: pool 'p1' has no url"},
    {"pool.p1.url =\n", "line 1: pool 'p1' has no url"},
    {"pool.p1.size = 3\n", "line 1: expected 'pool.<uuid>.name' or 'pool.<uuid>.url', got 'pool.p1.size'"},
    {"pool..url = file:///x\n", "line 1: expected 'pool.<uuid>.name' or 'pool.<uuid>.url', got 'pool..url'"},
    {"pool.p1.url = file:///a\npool.p1.url = file:///b\n", "line 2: duplicate key 'pool.p1.url'"},
    {"ext. = 1\n", "line 1: unknown key 'ext.'"},
    {"servant_mode = thread\n", "line 1: servant_mode must be 'process' or 'inprocess', got 'thread'"},
    {"component = a/b\n", "line 1: invalid component 'a/b'"},
    {"component = ..\n", "line 1: invalid component '..'"},
    {"component =\n", "line 1: invalid component ''"},
    {"catalog_dir = relative/dir\n", "line 1: relative path 'relative/dir' without a base directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Standin_Conf conf;
    std::string error;
    ASSERT_TRUE(conf.parse("access_key = before\nbackupd_port = 8443\n", "", error));
    EXPECT_FALSE(conf.parse(c.text, "", error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(conf.access_key(), "before");
    EXPECT_EQ(conf.backupd_port(), 8443);
  }
}

TEST(Standin_Conf, InstanceFollowsTheEnvironmentVariable)
{
  Standin_Env env({{"access_key", "from-env"}});
  std::shared_ptr<const Standin_Conf> held = Standin_Conf::instance();
  EXPECT_EQ(held->access_key(), "from-env");
  EXPECT_EQ(held->root_prefix(), env.root());
  EXPECT_EQ(held->source(), env.conf_file());
  ASSERT_NE(held->find_pool(Standin_Env::DEFAULT_POOL_UUID), nullptr);
  EXPECT_EQ(held->find_pool(Standin_Env::DEFAULT_POOL_UUID)->url, "file://" + env.default_pool_dir());

  // A relative path in the file is relative to the file's own directory.
  ASSERT_TRUE(env.set("catalog_dir", "cat/$COMPONENT"));
  EXPECT_EQ(Standin_Conf::instance()->catalog_dir(), env.path("cat/rhv"));
  // A configuration handed out earlier does not change under its holder.
  EXPECT_EQ(held->catalog_dir(), env.catalog_dir());

  // A file that does not load: logged with its reason, and the production defaults apply.
  {
    std::ofstream(env.path("bad.conf")) << "root_prefix = " << env.root() << "\nbackupd_port = x\n";
    ::setenv(Standin_Conf::ENV_VAR, env.path("bad.conf").c_str(), 1);
    Log_Capture capture(true);
    EXPECT_FALSE(Standin_Conf::reload());
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "Failed to load platform configuration '" + env.path("bad.conf") +
                                  "': line 2: invalid port 'x'\n");
    EXPECT_EQ(Standin_Conf::instance()->root_prefix(), "");
    EXPECT_EQ(Standin_Conf::instance()->source(), "");
  }
  {
    ::setenv(Standin_Conf::ENV_VAR, env.path("missing.conf").c_str(), 1);
    Log_Capture capture(true);
    EXPECT_FALSE(Standin_Conf::reload());
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_NE(capture.texts()[0].find("missing.conf': cannot open: No such file or directory"),
              std::string::npos) << capture.texts()[0];
  }
  ::unsetenv(Standin_Conf::ENV_VAR);
  EXPECT_TRUE(Standin_Conf::reload());
  EXPECT_EQ(Standin_Conf::instance()->device_dir(), "/dev/disk/by-id");

  ASSERT_TRUE(env.apply());
  EXPECT_EQ(Standin_Conf::instance()->root_prefix(), env.root());
}

}  // namespace
