#include "platform/servant/servant.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "platform/host/path_conf.h"
#include "platform/job/job_log.h"
#include "tests/support/standin_env.h"

namespace {

TEST(Servant, ResetReadsTheConfigurationAndKeepsTheSettings)
{
  Standin_Env env;
  Path_Conf conf("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", true, "svc.conf", 0750);
  {
    std::ofstream out(conf.str());
    out << "# servant settings\n"
        << "mode = process\n"
        << "module=/opt/lib/module.so\n"
        << "host_binary = /opt/bin/servant host\n"
        << "not a setting\n";
  }
  auto log = std::make_shared<Job_Log>(std::string());
  Servant servant;
  EXPECT_FALSE(servant.is_reset());
  EXPECT_TRUE(servant.reset("starter", conf.str(), nullptr, nullptr, "vm-1"));
  servant.set_log_msg_callback(log);
  servant.set_flags(0);
  EXPECT_TRUE(servant.is_reset());
  EXPECT_TRUE(servant.config_loaded());
  EXPECT_EQ(servant.kind(), "starter");
  EXPECT_EQ(servant.tag(), "vm-1");
  EXPECT_EQ(servant.config_path(), env.path("etc/opt/quillon/tessera3/rhv/servant/rhv/svc.conf"));
  EXPECT_EQ(servant.config("mode"), "process");
  EXPECT_EQ(servant.config("module"), "/opt/lib/module.so");
  EXPECT_EQ(servant.config("host_binary"), "/opt/bin/servant host");
  EXPECT_EQ(servant.config("missing", "fallback"), "fallback");
  EXPECT_EQ(servant.log_msg_callback().get(), log.get());
  EXPECT_EQ(servant.flags(), 0u);

  // A missing file is not a failure here: the settings stay empty.
  EXPECT_TRUE(servant.reset("starter", env.path("nowhere.conf"), nullptr, nullptr, "vm-2"));
  EXPECT_FALSE(servant.config_loaded());
  EXPECT_EQ(servant.config("mode"), "");
  EXPECT_EQ(servant.tag(), "vm-2");
}

}  // namespace
