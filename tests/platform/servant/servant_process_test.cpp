// The servant task scheduler with servant processes: the servant host program runs once
// per task and answers from a canned-reply file.

#include "platform/servant/servant_task_scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/job/job_log.h"
#include "platform/json/json_dump.h"
#include "tests/platform/servant/reply_seen.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_servant.h"

namespace {

const std::string HOST = HOSTS_BIN_DIR "/servant_host";

template <typename Fn>
auto within(int seconds, Fn fn) -> decltype(fn())
{
  auto result = std::async(std::launch::async, fn);
  if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "did not finish within " << seconds << " s";
    std::fprintf(stderr, "hang detected, aborting\n");
    std::_Exit(2);
  }
  return result.get();
}

json_spirit::Object params_for(const std::string& vm)
{
  json_spirit::Object o;
  o["vm_id"] = json_spirit::Value(vm);
  return o;
}

pid_t read_pid(const std::string& path)
{
  std::ifstream in(path);
  long pid = -1;
  in >> pid;
  return static_cast<pid_t>(pid);
}

bool wait_for_file(const std::string& path, int seconds = 60)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (::access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// True when `pid` is neither running nor left as a zombie child of ours.
bool reaped(pid_t pid)
{
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

// True once `pid` has ended (a zombie that another parent has yet to reap counts).
bool ended_soon(pid_t pid)
{
  for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    test_support::Process_Stat stat;
    if (!test_support::read_process_stat(pid, stat) || stat.state == 'Z')
      return true;
  }
  return false;
}

bool no_children_left()
{
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

class Servant_Process_Test : public ::testing::Test {
protected:
  Servant_Process_Test()
    : env_({{"servant_mode", "process"}, {"servant_host_binary", HOST}})
  {
    canned_file_ = env_.path("canned.json");
    env_.set("ext.servant_canned_replies", canned_file_);
    svc_conf_ = env_.path("svc.conf");
  }

  void write_svc_conf(const std::string& extra)
  {
    std::ofstream out(svc_conf_);
    out << "mode=process\nhost_binary=" << HOST << "\n" << extra;
  }

  // Prepares each servant from svc.conf, tagged with the VM id, logging to `log` when given.
  Servant_Task_Scheduler::Init_Callback init(std::shared_ptr<ACE_Log_Msg_Callback> log = nullptr)
  {
    return [this, log](Servant& sv, const json_spirit::Object& p) {
      sv.reset("starter", svc_conf_, nullptr, nullptr, p.at("vm_id").get_str());
      if (log)
        sv.set_log_msg_callback(log);
      sv.set_flags(0);
      return true;
    };
  }

  // Starts `s` on one task for VM `vm`; its reply goes to `seen`.
  bool start_one(Servant_Task_Scheduler& s, const char* vm, Seen& seen)
  {
    return s.enqueue_task(params_for(vm), nullptr, 0, vm, vm) &&
           s.activate(1, init(), [&seen](JSON_RPC_Object_var r) {
             seen = seen_of(r);
             return classify(r);
           });
  }

  Standin_Env env_;
  Log_Capture log_{true};
  std::string canned_file_;
  std::string svc_conf_;
};

Canned_Servant_Replies::Behaviour with_pid(Canned_Servant_Replies::Behaviour b, const std::string& f)
{
  b.pid_file = f;
  return b;
}

}  // namespace

TEST_F(Servant_Process_Test, RepliesAndDeathsReachTheResultCallback)
{
  typedef Canned_Servant_Replies::Behaviour B;
  struct Case {
    const char* vm;
    B behaviour;
    JSON_RPC_Object::Type type;
    int error_code;
    int code;
    const char* line;
  };
  B error;
  error.error = true;
  error.error_code = -32000;
  error.error_message = "bad";
  B garbage;
  garbage.raw = "this is not JSON";
  B wrong_id;
  wrong_id.raw = "{\"jsonrpc\":\"2.0\",\"id\":\"other\",\"result\":{\"code\":0}}";
  B exits;
  exits.exit_code = 5;
  B aborts;
  aborts.signal = SIGABRT;
  const Case cases[] = {
      {"ok", Canned_Servant_Replies::success({{"size", json_spirit::Value(7)}}),
       JSON_RPC_Object::TYPE_RESPONSE, 0, 0, nullptr},
      {"fail", Canned_Servant_Replies::failure(), JSON_RPC_Object::TYPE_RESPONSE, 0, 1, nullptr},
      {"err", error, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32000, -1, nullptr},
      {"garbage", garbage, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'garbage' sent an invalid reply: "},
      {"wrong-id", wrong_id, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'wrong-id' sent an invalid reply: not the reply to the request.\n"},
      {"exit", exits, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'exit' exited with status 5 without a reply.\n"},
      {"abort", aborts, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'abort' died of signal 6 without a reply.\n"},
  };
  Canned_Servant_Replies canned;
  for (const Case& c : cases)
    canned.add(c.vm, {with_pid(c.behaviour, env_.path(std::string(c.vm) + ".pid"))});
  ASSERT_TRUE(canned.write(canned_file_));
  write_svc_conf("");

  Servant_Task_Scheduler s("rhev.backup", 16);
  for (const Case& c : cases)
    ASSERT_TRUE(s.enqueue_task(params_for(c.vm), nullptr, 0, c.vm, c.vm));
  std::mutex m;
  std::vector<Seen> seen;
  std::map<std::string, Seen> by_vm;
  json_spirit::Value ok_result;
  ASSERT_TRUE(s.activate(3, init(), [&](JSON_RPC_Object_var r) {
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(seen_of(r));
    if (seen.back().code == 0)
      ok_result = static_cast<const JSON_RPC_Response*>(r.get())->result;
    return classify(r);
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  ASSERT_EQ(seen.size(), sizeof cases / sizeof cases[0]);

  std::map<std::string, int> wanted, got;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vm);
    wanted[std::to_string(c.type) + "/" + std::to_string(c.error_code) + "/" + std::to_string(c.code)]++;
    if (c.line != nullptr) {
      EXPECT_EQ(log_.count(c.line), 1u) << log_.dump();
    }
    pid_t pid = read_pid(env_.path(std::string(c.vm) + ".pid"));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(reaped(pid));
  }
  for (const Seen& x : seen)
    got[std::to_string(x.type) + "/" + std::to_string(x.error_code) + "/" + std::to_string(x.code)]++;
  EXPECT_EQ(got, wanted);
  EXPECT_EQ(JSON_Dump(ok_result).str(), "{\"code\":0,\"size\":7}");
  EXPECT_TRUE(no_children_left());
}

// Each servant's stderr lines reach the servant's log callback with their priorities.
TEST_F(Servant_Process_Test, ServantLogLinesReachTheJobLog)
{
  Canned_Servant_Replies::Behaviour b = Canned_Servant_Replies::success();
  b.log = {{LM_INFO, "hello from the servant\n"}, {LM_ERROR, "servant trouble: 100%\n"}};
  Canned_Servant_Replies canned;
  canned.add("vm", {b});
  ASSERT_TRUE(canned.write(canned_file_));
  write_svc_conf("");
  auto job_log = std::make_shared<Job_Log>("");

  Servant_Task_Scheduler s("rhev.restore", 1);
  ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "vm", "vm"));
  ASSERT_TRUE(s.activate(1, init(job_log), classify));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  std::vector<Job_Log::Line> lines = job_log->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].priority, LM_INFO);
  EXPECT_EQ(lines[0].text, "hello from the servant\n");
  EXPECT_EQ(lines[1].priority, LM_ERROR);
  EXPECT_EQ(lines[1].text, "servant trouble: 100%\n");
  EXPECT_EQ(log_.count("hello from the servant"), 0u);
  EXPECT_EQ(s.counts().succeeded, 1u);
}

TEST_F(Servant_Process_Test, RetriedTaskStartsANewServant)
{
  Canned_Servant_Replies canned;
  canned.add("vm", {Canned_Servant_Replies::failure(), Canned_Servant_Replies::success()});
  ASSERT_TRUE(canned.write(canned_file_));
  write_svc_conf("");
  Servant_Task_Scheduler s("rhev.backup", 1);
  ASSERT_TRUE(s.enable_retry(3, 0));
  ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "vm", "vm"));
  std::vector<int> codes;
  ASSERT_TRUE(s.activate(1, init(), [&](JSON_RPC_Object_var r) {
    codes.push_back(seen_of(r).code);
    return classify(r);
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(codes, (std::vector<int>{1, 0}));
  EXPECT_EQ(s.counts().succeeded, 1u);
  EXPECT_TRUE(no_children_left());
}

// A servant still running after the stop is killed once its grace is over, and reaped;
// the queued task behind it is dropped.
TEST_F(Servant_Process_Test, StopKillsAHangingServant)
{
  Canned_Servant_Replies::Behaviour hang = Canned_Servant_Replies::success();
  hang.wait_file = env_.path("never");
  hang.pid_file = env_.path("hang.pid");
  Canned_Servant_Replies canned;
  canned.add("hang", {hang});
  canned.add("next", {Canned_Servant_Replies::success()});
  ASSERT_TRUE(canned.write(canned_file_));
  write_svc_conf("stop_grace=0\n");

  Servant_Task_Scheduler s("rhev.backup", 2);
  std::atomic<bool> stop{false};
  ASSERT_TRUE(s.register_stop_callback([&] { return stop.load(); }));
  ASSERT_TRUE(s.enqueue_task(params_for("hang"), nullptr, 0, "hang", "hang"));
  ASSERT_TRUE(s.enqueue_task(params_for("next"), nullptr, 0, "next", "next"));
  std::vector<Seen> seen;
  ASSERT_TRUE(s.activate(1, init(), [&](JSON_RPC_Object_var r) {
    seen.push_back(seen_of(r));
    return classify(r);
  }));
  ASSERT_TRUE(wait_for_file(env_.path("hang.pid")));
  stop = true;
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, JSON_RPC_Object::TYPE_RESPONSE_ERROR);
  EXPECT_EQ(seen[0].error_code, -32603);
  EXPECT_EQ(log_.count("Servant 'hang' still runs 0 seconds after the stop, killing it.\n"), 1u)
      << log_.dump();
  EXPECT_EQ(log_.count("Servant 'hang' was killed before it replied.\n"), 1u);
  EXPECT_EQ(s.counts().dropped, 1u);
  EXPECT_TRUE(reaped(read_pid(env_.path("hang.pid"))));
  EXPECT_TRUE(no_children_left());
}

TEST_F(Servant_Process_Test, ServantOverItsTimeoutIsKilled)
{
  Canned_Servant_Replies::Behaviour hang = Canned_Servant_Replies::success();
  hang.wait_file = env_.path("never");
  Canned_Servant_Replies canned;
  canned.add("slow", {hang});
  ASSERT_TRUE(canned.write(canned_file_));
  write_svc_conf("timeout=1\n");

  Servant_Task_Scheduler s("rhev.backup", 1);
  Seen seen;
  ASSERT_TRUE(start_one(s, "slow", seen));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(seen.error_code, -32603);
  EXPECT_EQ(log_.count("Servant 'slow' did not answer within 1 seconds, killing it.\n"), 1u)
      << log_.dump();
  EXPECT_TRUE(no_children_left());
}

// A servant killed at any moment ends its task at once, even when a child it started
// still holds its channels open; the child is killed with it.
TEST_F(Servant_Process_Test, AServantKilledAtAnyMomentEndsItsTask)
{
  const struct {
    const char* name;
    const char* first;  // what the servant does before it waits to be killed
    const char* line;
  } cases[] = {
      {"before it answers", ":", "Servant 'vm' died of signal 9 without a reply.\n"},
      {"after part of its reply", "printf '{\"jsonrpc\": \"2.0\", \"id\": 1, \"res'",
       "Servant 'vm' sent an invalid reply: "},
      {"after part of a log line", "printf '{\"priority\": 8, \"te' >&2", "{\"priority\": 8, \"te\n"},
  };
  const std::string script = env_.path("servant.sh");
  const std::string pids = env_.path("servant.pids");
  write_svc_conf("host_binary=" + script + "\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    std::remove(pids.c_str());
    std::ofstream(script) << "#!/bin/sh\n" << c.first << "\nsleep 60 &\necho $$ $! > " << pids << ".new\nmv " << pids
                          << ".new " << pids << "\nwait\n";
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    Servant_Task_Scheduler s("rhev.backup", 1);
    Seen seen;
    ASSERT_TRUE(start_one(s, "vm", seen));
    ASSERT_TRUE(wait_for_file(pids));
    pid_t servant = -1, child = -1;
    std::ifstream(pids) >> servant >> child;
    ASSERT_EQ(::kill(servant, SIGKILL), 0);
    ASSERT_TRUE(within(30, [&] { return s.wait(); }));
    EXPECT_EQ(seen.error_code, -32603);
    EXPECT_EQ(log_.count(c.line), 1u) << log_.dump();
    EXPECT_TRUE(ended_soon(child));
  }
  EXPECT_TRUE(no_children_left());
}

// Without canned replies the host loads the module and picks the handler by method.
TEST_F(Servant_Process_Test, HostAnswersErrorsItCannotServe)
{
  ASSERT_TRUE(env_.unset("ext.servant_canned_replies"));
  struct Case {
    const char* method;
    const char* svc_extra;
    int error_code;
    const char* line;
  };
  const std::string missing = env_.path("missing.so");
  const std::string load_line = "Failed to load _make_RHV_Backup_Servant_Handler from servant module '" + missing;
  const Case cases[] = {
      {"rhev.unknown", "", -32601, "No servant handler for method 'rhev.unknown'.\n"},
      {"rhev.backup", nullptr, -32603, load_line.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    log_.clear();
    write_svc_conf(c.svc_extra != nullptr ? c.svc_extra : "module=" + missing + "\n");
    Servant_Task_Scheduler s(c.method, 1);
    Seen seen;
    ASSERT_TRUE(start_one(s, "vm", seen));
    ASSERT_TRUE(within(120, [&] { return s.wait(); }));
    EXPECT_EQ(seen.type, JSON_RPC_Object::TYPE_RESPONSE_ERROR);
    EXPECT_EQ(seen.error_code, c.error_code);
    // Without a servant log callback the host's lines land in the scheduler's log.
    EXPECT_EQ(log_.count(c.line), 1u) << log_.dump();
  }
  EXPECT_TRUE(no_children_left());
}
