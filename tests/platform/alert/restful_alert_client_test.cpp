#include "platform/alert/restful_alert_client.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "platform/alert/error_id.h"
#include "platform/http/json_restful_client.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

using json_spirit::Array;
using json_spirit::Value;

std::vector<std::string> sink_lines(const std::string& path)
{
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Error_ID, SplitsLevelAndCode)
{
  struct Case {
    std::uint64_t id;
    int level, code;
  };
  const Case cases[] = {
      {0x7000003290000001ull, 7, 1},   {0x5000003290000003ull, 5, 3},  {0x300000329000000aull, 3, 10},
      {0x7000003290000013ull, 7, 19},  {0x300000329000001full, 3, 31}, {0x5000003290000020ull, 5, 32},
      {0xF00000000FFFFFFFull, 15, 0x0FFFFFFF}, {0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.id);
    Error_ID e(c.id);
    EXPECT_EQ(e.level(), c.level);
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.id(), c.id);
  }
}

TEST(RESTful_Alert_Client, AppendsOneJsonLinePerAlert)
{
  Standin_Env env({{"backupd_port", "8443"}});
  RESTful_Alert_Client client;
  ASSERT_TRUE(client.init("127.0.0.1", 8443, false, "the-key", -1, -1));
  ASSERT_NE(client.rest_client(), nullptr);
  const char* key = client.rest_client()->headers().get(HTTP_HEAD_X_ACCESS_KEY);
  ASSERT_NE(key, nullptr);
  EXPECT_STREQ(key, "the-key");

  ASSERT_TRUE(client.send_alert(0x7000003290000013ull, Array{Value("agent-vm"), Value("disk \"1\"")}, 7, "host-u",
                                "res-u", "def-u", "act-u", 100, 200, 1));
  ASSERT_TRUE(client.send_alert(0x7000003290000001ull, Array{Value("admin"), Value("engine"), Value(443)}, -1, "", "",
                                "", "", 0, 0, 0));
  ASSERT_TRUE(client.send_alert(0x700000329000001bull, Array(), 7, "h", "r", "d", "a", 5, 0, 1));
  EXPECT_EQ(sink_lines(env.alert_sink()),
            (std::vector<std::string>{
                "{\"activity\":\"act-u\",\"code\":19,\"end\":200,\"id\":8070450749412212755,\"level\":7,"
                "\"params\":[\"agent-vm\",\"disk \\\"1\\\"\"],\"revision\":7,\"start\":100,"
                "\"uuids\":{\"def_id\":\"def-u\",\"host_uuid\":\"host-u\",\"resource_uuid\":\"res-u\"}}",
                "{\"activity\":\"\",\"code\":1,\"end\":0,\"id\":8070450749412212737,\"level\":7,"
                "\"params\":[\"admin\",\"engine\",443],\"revision\":-1,\"start\":0,"
                "\"uuids\":{\"def_id\":\"\",\"host_uuid\":\"\",\"resource_uuid\":\"\"}}",
                "{\"activity\":\"a\",\"code\":27,\"end\":0,\"id\":8070450749412212763,\"level\":7,"
                "\"params\":[],\"revision\":7,\"start\":5,"
                "\"uuids\":{\"def_id\":\"d\",\"host_uuid\":\"h\",\"resource_uuid\":\"r\"}}",
            }));
}

TEST(RESTful_Alert_Client, FailsWithoutABoundClientOrAWritableSink)
{
  Standin_Env env({{"backupd_port", "8443"}});
  Log_Capture log(true);
  RESTful_Alert_Client client;
  EXPECT_FALSE(client.send_alert(0x5000003290000003ull, Array(), 1, "h", "r", "d", "a", 0, 0, 1));
  EXPECT_TRUE(log.contains("Alert level 5, code 3 sent before the alert client was initialised.\n")) << log.dump();
  EXPECT_FALSE(client.init("127.0.0.1", 0, false, "k"));
  EXPECT_EQ(client.rest_client(), nullptr);
  EXPECT_FALSE(client.init("", 8443, false, "k"));
  EXPECT_TRUE(sink_lines(env.alert_sink()).empty());

  ASSERT_TRUE(client.init("127.0.0.1", 8443, true, "k"));
  std::ofstream(env.path("blocker")) << "x";
  ASSERT_TRUE(env.set("alert_sink", env.path("blocker/alerts.log")));
  EXPECT_FALSE(client.send_alert(0x7000003290000006ull, Array(), 1, "h", "r", "d", "a", 0, 0, 1));
  EXPECT_TRUE(log.contains("Failed to write alert level 7, code 6 to '" + env.path("blocker/alerts.log") + "'"))
      << log.dump();

  // The sink's directory is made when missing.
  ASSERT_TRUE(env.set("alert_sink", env.path("new/dir/alerts.log")));
  EXPECT_TRUE(client.send_alert(0x7000003290000006ull, Array(), 1, "h", "r", "d", "a", 0, 0, 1));
  EXPECT_EQ(sink_lines(env.path("new/dir/alerts.log")).size(), 1u);
}

TEST(RESTful_Alert_Client, LinesOfConcurrentThreadsAndProcessesNeverInterleave)
{
  Standin_Env env({{"backupd_port", "8443"}});
  const int n_threads = 6, n_procs = 2, per_sender = 40;
  // Long parameters make each line span several pages of a pipe-sized write.
  const std::string filler(6000, 'x');
  auto sender = [&](const std::string& who) {
    for (int i = 0; i < per_sender; ++i) {
      RESTful_Alert_Client client;  // one client per alert, as the servants do
      if (!client.init("127.0.0.1", 8443, false, "k")) return false;
      if (!client.send_alert(0x3000003290000008ull, Array{Value(who), Value(i), Value(filler)}, 1, "h", "r", "d", "a", 0,
                             0, 0))
        return false;
    }
    return true;
  };

  std::vector<pid_t> children;
  for (int p = 0; p < n_procs; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(sender("proc" + std::to_string(p)) ? 0 : 1);
    children.push_back(pid);
  }
  std::vector<std::thread> threads;
  std::vector<char> ok(n_threads, 0);
  for (int t = 0; t < n_threads; ++t)
    threads.emplace_back([&, t] { ok[t] = sender("thread" + std::to_string(t)); });
  for (auto& th : threads) th.join();
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int t = 0; t < n_threads; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;

  std::set<std::pair<std::string, long>> seen;
  const auto lines = sink_lines(env.alert_sink());
  EXPECT_EQ(lines.size(), static_cast<std::size_t>((n_threads + n_procs) * per_sender));
  for (const std::string& line : lines) {
    Value v;
    ASSERT_TRUE(json_spirit::parse(line, v)) << "damaged line: " << line.substr(0, 120);
    const Array& params = v.get_obj().at("params").get_array();
    ASSERT_EQ(params.size(), 3u);
    EXPECT_EQ(params[2].get_str(), filler);
    EXPECT_TRUE(seen.insert({params[0].get_str(), params[1].get_int64()}).second) << "duplicate alert";
  }
  EXPECT_EQ(seen.size(), lines.size());
}

}  // namespace
