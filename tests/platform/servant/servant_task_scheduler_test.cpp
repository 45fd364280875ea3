#include "platform/servant/servant_task_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/job/job_log.h"
#include "platform/json/json_dump.h"
#include "platform/servant/servant_endpoint.h"
#include "tests/platform/servant/reply_seen.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_servant.h"

namespace {

const char* const METHOD = "rhev.backup";

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
  o["vm_name"] = json_spirit::Value("name-" + vm);
  return o;
}

bool init_ok(Servant& servant, const json_spirit::Object& params)
{
  return servant.reset("starter", "", nullptr, nullptr, params.at("vm_id").get_str());
}

class Fixture : public ::testing::Test {
protected:
  Fixture() : reg_(METHOD, servant_) {}

  Standin_Env env_;
  Log_Capture log_{true};
  Test_Servant servant_;
  Test_Servant_Registration reg_;
};

}  // namespace

typedef Fixture Servant_Task_Scheduler_Test;

TEST_F(Servant_Task_Scheduler_Test, RunsAtMostNAtOnce)
{
  Servant_Task_Scheduler s(METHOD, 6);
  for (int i = 0; i < 6; ++i) {
    std::string vm = "vm-" + std::to_string(i);
    servant_.script(vm, {Test_Servant::held(Test_Servant::success())});
    ASSERT_TRUE(s.enqueue_task(params_for(vm), nullptr, 0, "name-" + vm, vm));
  }
  std::atomic<int> inits{0};
  std::atomic<int> results{0};
  ASSERT_TRUE(s.activate(
      2,
      [&](Servant& sv, const json_spirit::Object& p) {
        EXPECT_FALSE(sv.is_reset()) << "every task gets a fresh servant";
        ++inits;
        return init_ok(sv, p);
      },
      [&](JSON_RPC_Object_var r) {
        ++results;
        return classify(r);
      }));
  EXPECT_TRUE(s.is_running());
  ASSERT_TRUE(servant_.wait_running(2));
  servant_.release_all();
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_FALSE(s.is_running());
  EXPECT_EQ(servant_.max_running(), 2u);
  EXPECT_EQ(servant_.requests().size(), 6u);
  EXPECT_EQ(inits.load(), 6);
  EXPECT_EQ(results.load(), 6);
  Servant_Task_Scheduler::Counts c = s.counts();
  EXPECT_EQ(c.succeeded, 6u);
  EXPECT_EQ(c.failed, 0u);

  // Each request carries the scheduler's name, the task's params and its own id.
  std::map<std::string, int> ids;
  for (const Test_Servant::Request& r : servant_.requests()) {
    EXPECT_EQ(r.method, METHOD);
    EXPECT_EQ(r.params, json_spirit::Value(params_for(r.key)));
    ids[JSON_Dump(r.id).str()]++;
  }
  EXPECT_EQ(ids.size(), 6u);
}

TEST_F(Servant_Task_Scheduler_Test, RetriesUpToTheRetryCount)
{
  struct Case {
    const char* what;
    int retry_count;
    std::vector<Test_Servant::Action> script;
    size_t requests;
    bool succeeded;
  };
  const Case cases[] = {
      {"succeeds on the second try", 3,
       {Test_Servant::failure(), Test_Servant::success()}, 2, true},
      {"retries run out: the last result stands", 2, {Test_Servant::failure()}, 3, false},
      {"no retry", 0, {Test_Servant::failure()}, 1, false},
      {"an error reply is not retried", 3, {Test_Servant::error(-32000, "boom")}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Test_Servant servant;
    Test_Servant_Registration reg(METHOD, servant);
    servant.script("vm", c.script);
    Servant_Task_Scheduler s(METHOD, 1);
    ASSERT_TRUE(s.enable_retry(c.retry_count, 0));
    ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "name-vm", "vm"));
    std::vector<int> results;
    ASSERT_TRUE(s.activate(1, init_ok, [&](JSON_RPC_Object_var r) {
      results.push_back(classify(r));
      return results.back();
    }));
    ASSERT_TRUE(within(120, [&] { return s.wait(); }));
    EXPECT_EQ(servant.count("vm"), c.requests);
    EXPECT_EQ(results.size(), c.requests);
    Servant_Task_Scheduler::Counts counts = s.counts();
    EXPECT_EQ(counts.requests, c.requests);
    EXPECT_EQ(counts.retried, c.requests - 1);
    EXPECT_EQ(counts.succeeded, c.succeeded ? 1u : 0u);
    EXPECT_EQ(counts.failed, c.succeeded ? 0u : 1u);
  }
}

TEST_F(Servant_Task_Scheduler_Test, RetryWaitsTheInterval)
{
  servant_.script("vm", {Test_Servant::failure(), Test_Servant::success()});
  Servant_Task_Scheduler s(METHOD, 1);
  ASSERT_TRUE(s.enable_retry(2, 1));
  ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "name-vm", "vm"));
  std::vector<std::chrono::steady_clock::time_point> at;
  ASSERT_TRUE(s.activate(1, init_ok, [&](JSON_RPC_Object_var r) {
    at.push_back(std::chrono::steady_clock::now());
    return classify(r);
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  ASSERT_EQ(at.size(), 2u);
  EXPECT_GE(at[1] - at[0], std::chrono::seconds(1));
  EXPECT_EQ(log_.count("Retrying servant task 'name-vm' of 'rhev.backup' in 1 seconds (retry 1 of 2).\n"),
            1u)
      << log_.dump();
}

TEST_F(Servant_Task_Scheduler_Test, RefusesBadSettings)
{
  Servant_Task_Scheduler s(METHOD, 1);
  EXPECT_FALSE(s.enable_retry(-1, 0));
  EXPECT_FALSE(s.enable_retry(0, -1));
  EXPECT_FALSE(s.register_stop_callback(Servant_Task_Scheduler::Stop_Callback()));
  EXPECT_FALSE(s.activate(0, init_ok, classify));
  EXPECT_FALSE(s.activate(1, Servant_Task_Scheduler::Init_Callback(), classify));
  ASSERT_TRUE(s.enqueue_task(params_for("a"), nullptr, 0, "a", "a"));
  EXPECT_FALSE(s.enqueue_task(params_for("b"), nullptr, 0, "b", "b")) << "beyond the capacity";
  EXPECT_TRUE(s.wait()) << "nothing to wait for before activation";
  EXPECT_FALSE(s.is_running());
}

// Once stopped, queued tasks are dropped; the running one finishes and is reported, and
// its retry is not made.
TEST_F(Servant_Task_Scheduler_Test, StopDropsQueuedTasks)
{
  servant_.script("vm-0", {Test_Servant::held(Test_Servant::failure())});
  Servant_Task_Scheduler s(METHOD, 3);
  std::atomic<bool> stop{false};
  ASSERT_TRUE(s.register_stop_callback([&] { return stop.load(); }));
  ASSERT_TRUE(s.enable_retry(5, 0));
  for (int i = 0; i < 3; ++i) {
    std::string vm = "vm-" + std::to_string(i);
    ASSERT_TRUE(s.enqueue_task(params_for(vm), nullptr, 0, "name-" + vm, vm));
  }
  std::vector<Seen> seen;
  ASSERT_TRUE(s.activate(1, init_ok, [&](JSON_RPC_Object_var r) {
    seen.push_back(seen_of(r));
    return classify(r);
  }));
  ASSERT_TRUE(servant_.wait_running(1));
  stop = true;
  servant_.release_all();
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_FALSE(s.is_running());
  EXPECT_TRUE(s.stopped());
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].code, 1);
  EXPECT_EQ(servant_.requests().size(), 1u);
  Servant_Task_Scheduler::Counts c = s.counts();
  EXPECT_EQ(c.dropped, 2u);
  EXPECT_EQ(c.retried, 0u);
  EXPECT_EQ(c.failed, 1u);
  EXPECT_FALSE(s.enqueue_task(params_for("late"), nullptr, 0, "late", "late"));
}

// Every way a servant can fail to answer reaches the result callback as an error reply.
TEST_F(Servant_Task_Scheduler_Test, ServantFailuresBecomeErrorReplies)
{
  struct Case {
    const char* vm;
    Test_Servant::Action action;
    bool init;
    JSON_RPC_Object::Type type;
    int error_code;
    int code;
    const char* line;  // expected LM_ERROR line, or null
  };
  const Case cases[] = {
      {"ok", Test_Servant::success(), true, JSON_RPC_Object::TYPE_RESPONSE, 0, 0, nullptr},
      {"failed", Test_Servant::failure(), true, JSON_RPC_Object::TYPE_RESPONSE, 0, 1, nullptr},
      {"error", Test_Servant::error(-32602, ""), true, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32602,
       -1, nullptr},
      {"no-init", Test_Servant::success(), false, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Failed to initialize servant of task 'name-no-init' of 'rhev.backup'.\n"},
      {"crash", Test_Servant::crash(), true, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'crash' died: test servant crashed.\n"},
      {"silent", Test_Servant::no_reply(), true, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603, -1,
       "Servant 'silent' sent no reply.\n"},
      {"malformed", Test_Servant::malformed(), true, JSON_RPC_Object::TYPE_RESPONSE_ERROR, -32603,
       -1, nullptr},
  };
  Servant_Task_Scheduler s(METHOD, 16);
  for (const Case& c : cases) {
    servant_.script(c.vm, {c.action});
    ASSERT_TRUE(s.enqueue_task(params_for(c.vm), nullptr, 0, std::string("name-") + c.vm, c.vm));
  }
  std::mutex m;
  std::map<std::string, Seen> seen;
  ASSERT_TRUE(s.activate(
      3,
      [&](Servant& sv, const json_spirit::Object& p) {
        return init_ok(sv, p) && p.at("vm_id").get_str() != "no-init";
      },
      [&](JSON_RPC_Object_var r) {
        // Which task this is: the request ids are not known here, so the servant's
        // requests are matched by id below; the error replies carry the request id too.
        std::lock_guard<std::mutex> lock(m);
        json_spirit::Value id = r->type() == JSON_RPC_Object::TYPE_RESPONSE
                                    ? static_cast<const JSON_RPC_Response*>(r.get())->id
                                    : static_cast<const JSON_RPC_Response_Error*>(r.get())->id;
        seen[JSON_Dump(id).str()] = seen_of(r);
        return classify(r);
      }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));

  std::map<std::string, std::string> id_of;  // vm -> request id text
  for (const Test_Servant::Request& r : servant_.requests())
    id_of[r.key] = JSON_Dump(r.id).str();
  EXPECT_EQ(id_of.count("no-init"), 0u) << "a servant that failed init is never asked";
  EXPECT_EQ(seen.size(), sizeof cases / sizeof cases[0]);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vm);
    if (c.line != nullptr) {
      EXPECT_EQ(log_.count(c.line), 1u) << log_.dump();
    }
    if (!c.init)
      continue;
    ASSERT_EQ(id_of.count(c.vm), 1u);
    const Seen& got = seen[id_of[c.vm]];
    EXPECT_EQ(got.type, c.type);
    EXPECT_EQ(got.error_code, c.error_code);
    EXPECT_EQ(got.code, c.code);
  }
  bool init_error_seen = false;
  for (const auto& kv : seen)
    if (kv.second.error_code == -32603 && id_of.end() == std::find_if(id_of.begin(), id_of.end(),
                                                                       [&](const auto& e) {
                                                                         return e.second == kv.first;
                                                                       }))
      init_error_seen = true;
  EXPECT_TRUE(init_error_seen) << "the failed init is reported as -32603";
  EXPECT_EQ(log_.count("Servant 'malformed' sent an invalid reply: "), 1u) << log_.dump();
}

// With the global mutex, result callbacks never overlap: each one waits a moment for a
// second to come in, which happens at once without the mutex.
TEST_F(Servant_Task_Scheduler_Test, GlobalMutexSerialisesResultCallbacks)
{
  for (bool enabled : {true, false}) {
    SCOPED_TRACE(enabled);
    Servant_Task_Scheduler s(METHOD, 4);
    if (enabled) {
      ASSERT_TRUE(s.enable_global_mutex());
    }
    for (int i = 0; i < 4; ++i) {
      std::string vm = "g-" + std::to_string(i);
      ASSERT_TRUE(s.enqueue_task(params_for(vm), nullptr, 0, vm, vm));
    }
    std::mutex m;
    std::condition_variable cv;
    int inside = 0;
    int arrived = 0;
    int most = 0;
    std::vector<int> shared;  // written without a lock of its own, as the job side does
    ASSERT_TRUE(s.activate(4, init_ok, [&](JSON_RPC_Object_var r) {
      {
        std::unique_lock<std::mutex> lock(m);
        most = std::max(most, ++inside);
        ++arrived;
        cv.notify_all();
        // Without the mutex all four are inside together; with it the wait runs out.
        cv.wait_for(lock, std::chrono::milliseconds(enabled ? 200 : 60000),
                    [&] { return arrived >= 4; });
      }
      if (enabled)
        shared.push_back(1);
      std::lock_guard<std::mutex> lock(m);
      --inside;
      return classify(r);
    }));
    ASSERT_TRUE(within(120, [&] { return s.wait(); }));
    EXPECT_EQ(most, enabled ? 1 : 4);
    if (enabled) {
      EXPECT_EQ(shared.size(), 4u);
    }
  }
}

// The servant's log lines go to its log callback, not to the scheduler's.
TEST_F(Servant_Task_Scheduler_Test, ServantLinesGoToTheServantLog)
{
  auto job_log = std::make_shared<Job_Log>("");
  servant_.script("vm", {Test_Servant::logging(Test_Servant::success(), LM_WARNING,
                                               "servant line\n")});
  Servant_Task_Scheduler s(METHOD, 1);
  ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "name-vm", "vm"));
  ASSERT_TRUE(s.activate(
      1,
      [&](Servant& sv, const json_spirit::Object& p) {
        init_ok(sv, p);
        sv.set_log_msg_callback(job_log);
        sv.set_flags(0);
        return true;
      },
      classify));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  std::vector<Job_Log::Line> lines = job_log->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].priority, LM_WARNING);
  EXPECT_EQ(lines[0].text, "servant line\n");
  EXPECT_EQ(log_.count("servant line"), 0u);
}

// Without a registered handler the module named by the configuration is loaded; one that
// cannot be loaded fails each task with -32603.
TEST_F(Servant_Task_Scheduler_Test, UnloadableModuleFailsTheTask)
{
  register_inprocess_handler(METHOD, nullptr);  // the fixture puts nothing back either
  ASSERT_TRUE(env_.set("servant_module", env_.path("no-such-module.so")));
  Servant_Task_Scheduler s(METHOD, 1);
  ASSERT_TRUE(s.enqueue_task(params_for("vm"), nullptr, 0, "name-vm", "vm"));
  Seen seen;
  ASSERT_TRUE(s.activate(1, init_ok, [&](JSON_RPC_Object_var r) {
    seen = seen_of(r);
    return classify(r);
  }));
  ASSERT_TRUE(within(120, [&] { return s.wait(); }));
  EXPECT_EQ(seen.type, JSON_RPC_Object::TYPE_RESPONSE_ERROR);
  EXPECT_EQ(seen.error_code, -32603);
  EXPECT_EQ(log_.count("Failed to load servant module '" + env_.path("no-such-module.so")), 1u)
      << log_.dump();
}
