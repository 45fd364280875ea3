#include "backup/job/default_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backup/job/default_job_creator.h"
#include "backup/job/job_executor.h"
#include "platform/job/job_services.h"
#include "platform/json/json_parser.h"
#include "platform/runtime/uuid.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_job_host.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

class Probe_Source : public Job_Source {
public:
  void generate(yajl_gen_t*) const override {}
};

class Probe_Options : public Job_Options {
public:
  int generate(yajl_gen_t*) override { return 0; }
};

// What the probe executor does and what it saw; one per test.
struct Probe {
  bool active = true;
  bool condition = true;
  int password_code = 0;
  // The work: returns execute_i's result. Null: succeed at once.
  std::function<bool(Job&, const Object*)> work;
  // Run by the rollback before it counts. Null: nothing.
  std::function<void()> rollback_work;

  std::atomic<int> executions{0};
  std::atomic<int> constructed{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> rollbacks{0};
  std::atomic<int> removes{0};
  std::atomic<int> ondemand_removes{0};
  std::atomic<int> updates{0};
  std::atomic<bool> options_given{false};
  std::string option_a;
  std::atomic<bool> source_seen{false};
};

Probe* g_probe = nullptr;

class Probe_Executor : public Job_Executor_T<Probe_Source, Probe_Options, Job_Event_Handler> {
public:
  explicit Probe_Executor(Job& job)
    : Job_Executor_T<Probe_Source, Probe_Options, Job_Event_Handler>(job)
  {
    ++g_probe->constructed;
  }
  ~Probe_Executor() override { ++g_probe->destroyed; }

  bool execute_i(const Object* opts) override
  {
    ++g_probe->executions;
    g_probe->source_seen = src_ != nullptr;
    g_probe->options_given = opts != nullptr;
    if (opts != nullptr && opts->count("a") != 0)
      g_probe->option_a = opts->at("a").get_str();
    return g_probe->work ? g_probe->work(job_, opts) : true;
  }
  bool check_condition() override { return g_probe->condition; }
  bool is_active(const Object*) override { return g_probe->active; }
  int check_password() override { return g_probe->password_code; }
  bool rollback() override
  {
    if (g_probe->rollback_work)
      g_probe->rollback_work();
    ++g_probe->rollbacks;
    return true;
  }
  bool remove() override
  {
    ++g_probe->removes;
    return true;
  }
  bool remove_ondemand() override
  {
    ++g_probe->ondemand_removes;
    return true;
  }
  bool update(Job_Definition_var) override
  {
    ++g_probe->updates;
    return true;
  }
  bool setup_ondemand() override { return g_probe->active; }
};

typedef Default_Job_T<Probe_Executor> Default_Probe_Job;
typedef Controllable_Job_T<Probe_Executor> Probe_Job;

class Default_Job_Test : public ::testing::Test {
protected:
  void SetUp() override { g_probe = &probe_; }
  void TearDown() override
  {
    // Run threads hold their own job references: wait until they let go and end.
    EXPECT_TRUE(Test_Job_Host::wait_threads());
    g_probe = nullptr;
  }

  Job_Definition_var definition(const std::string& json, bool with_source = true)
  {
    Value doc;
    std::string why;
    EXPECT_TRUE(json_spirit::parse(json, doc, &why)) << why;
    Job_Definition_var def(new Job_Definition());
    EXPECT_TRUE(def->load(doc, &why)) << why;
    if (with_source)
      def->source(std::make_shared<Probe_Source>());
    def->options(std::make_shared<Probe_Options>());
    return def;
  }

  // Starts the job and waits for its run to complete.
  void run(const Job_var& job, const Object* opts = nullptr)
  {
    int runs = job->completed() + 1;
    ASSERT_EQ(job->start_i(opts), 0);
    ASSERT_TRUE(job->wait_complete(60, runs));
  }

  static std::vector<Job_Event::Kind> kinds(const Job_var& job)
  {
    std::vector<Job_Event::Kind> k;
    for (const Job_Event& e : job->events())
      k.push_back(e.kind);
    return k;
  }

  Standin_Env env_;
  Probe probe_;
  Log_Capture log_{true};
};

TEST_F(Default_Job_Test, SuccessfulRunWritesUidAndNeverCompletesWithoutPostAction)
{
  const char* uid = "0b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3";
  Job_var job(new Probe_Job(definition(std::string(R"({"type":1,"id":"d-ok","uid":")") + uid +
                                       "\"}")),
              false);
  run(job);
  EXPECT_EQ(probe_.executions.load(), 1);
  EXPECT_TRUE(probe_.source_seen.load());
  EXPECT_EQ(probe_.constructed.load(), probe_.destroyed.load());
  EXPECT_EQ(kinds(job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}));
  EXPECT_EQ(job->activity().state.load(), JOB_STATE_COMPLETED);
  EXPECT_EQ(job->state_history(), (std::vector<int>{JOB_STATE_RUNNING, JOB_STATE_COMPLETED}));
  EXPECT_EQ(uuid_to_string(job->activity().uid), uid);
}

TEST_F(Default_Job_Test, StartOptionsReachTheExecutor)
{
  Job_var job(new Probe_Job(definition(R"({"type":1,"id":"d-opts"})")), false);
  run(job);
  EXPECT_FALSE(probe_.options_given.load());  // no options: null
  Object empty;
  run(job, &empty);
  EXPECT_FALSE(probe_.options_given.load());  // empty options: null too
  Object opts{{"a", Value("x")}};
  run(job, &opts);
  EXPECT_TRUE(probe_.options_given.load());
  EXPECT_EQ(probe_.option_a, "x");
  EXPECT_EQ(probe_.executions.load(), 3);
}

TEST_F(Default_Job_Test, InactiveJobIsSkippedWithoutEvents)
{
  probe_.active = false;
  Job_var job(new Probe_Job(definition(R"({"type":1,"id":"d-skip"})")), false);
  run(job);
  EXPECT_EQ(job->activity().state.load(), JOB_STATE_SKIPPED);
  EXPECT_NE(job->activity().last_run_time.load(), 0);
  EXPECT_TRUE(job->events().empty());
  EXPECT_EQ(probe_.executions.load(), 0);
}

TEST_F(Default_Job_Test, FailedPreconditionLeavesTheJobIdle)
{
  struct Case {
    const char* def;
    bool condition;
  };
  const Case cases[] = {{R"({"type":1,"id":"d-pre1","precondition":"exit 1"})", true},
                        {R"({"type":1,"id":"d-pre2","precondition":"exit 0"})", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.def);
    probe_.condition = c.condition;
    Job_var job(new Probe_Job(definition(c.def)), false);
    int syncs = job->sync_count();
    run(job);
    EXPECT_EQ(job->activity().state.load(), JOB_STATE_IDLE);
    EXPECT_NE(job->activity().start_time.load(), 0);
    EXPECT_EQ(job->activity().start_time.load(), job->activity().last_run_time.load());
    EXPECT_EQ(job->sync_count(), syncs + 1);
    EXPECT_TRUE(job->events().empty());
    EXPECT_EQ(probe_.executions.load(), 0);
  }
}

TEST_F(Default_Job_Test, ScriptOutcomes)
{
  std::string post_marker = env_.path("post-ran");
  struct Case {
    std::string name;
    std::string def;
    bool work_ok;
    int executions;
    Job_Event::Kind last;
    int state;
    bool post_ran;
  };
  const std::string post = R"(,"post_action":"touch ')" + post_marker + R"('")";
  const std::vector<Case> cases = {
      {"failed pre-action skips the work and the post-action",
       R"({"type":1,"id":"d-s1","pre_action":"exit 1")" + post + "}", true, 0,
       Job_Event::FAILURE, JOB_STATE_ERROR, false},
      {"failed pre-action with post-action always",
       R"({"type":1,"id":"d-s2","pre_action":"exit 1","run_post_action_always":true)" + post +
           "}",
       true, 0, Job_Event::FAILURE, JOB_STATE_ERROR, true},
      {"ignored pre-action failure runs the work",
       R"({"type":1,"id":"d-s3","pre_action":"exit 1","ignore_pre_action_failure":true})",
       true, 1, Job_Event::SUCCESS, JOB_STATE_COMPLETED, false},
      {"failed post-action fails the run",
       R"({"type":1,"id":"d-s4","post_action":"exit 2"})", true, 1, Job_Event::FAILURE,
       JOB_STATE_ERROR, false},
      {"ignored post-action failure still succeeds",
       R"({"type":1,"id":"d-s5","post_action":"exit 2","ignore_post_action_failure":true})",
       true, 1, Job_Event::SUCCESS, JOB_STATE_COMPLETED, false},
      {"failed work skips the post-action", R"({"type":1,"id":"d-s6")" + post + "}", false, 1,
       Job_Event::FAILURE, JOB_STATE_ERROR, false},
      {"successful work runs the post-action", R"({"type":1,"id":"d-s7")" + post + "}", true, 1,
       Job_Event::SUCCESS, JOB_STATE_COMPLETED, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(post_marker.c_str());
    probe_.executions = 0;
    bool ok = c.work_ok;
    probe_.work = [ok](Job&, const Object*) { return ok; };
    Job_var job(new Probe_Job(definition(c.def)), false);
    run(job);
    EXPECT_EQ(probe_.executions.load(), c.executions);
    std::vector<Job_Event> events = job->events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, Job_Event::START);
    EXPECT_EQ(events.back().kind, c.last);
    EXPECT_EQ(job->activity().state.load(), c.state);
    EXPECT_EQ(::access(post_marker.c_str(), F_OK) == 0, c.post_ran);
    std::vector<int> history = job->state_history();
    bool completing = std::count(history.begin(), history.end(), JOB_STATE_COMPLETING) != 0;
    EXPECT_EQ(completing, c.post_ran || c.def.find("exit 2") != std::string::npos);
  }
}

// A stop asked for during the work, with a post-action that always runs: the run ends as
// canceled (and a pause as paused), although the post-action moves the job to COMPLETING.
TEST_F(Default_Job_Test, CancelAndPauseSurviveThePostAction)
{
  struct Case {
    Job_State requested;
    Job_Event::Kind last;
    int state;
  };
  const Case cases[] = {{JOB_STATE_CANCELING, Job_Event::CANCELED, JOB_STATE_CANCELED},
                        {JOB_STATE_PAUSING, Job_Event::PAUSED, JOB_STATE_IDLE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    Job_State requested = c.requested;
    probe_.work = [requested](Job& job, const Object*) {
      job.state_i(requested);
      return false;
    };
    Job_var job(new Probe_Job(definition(
                    R"({"type":1,"id":"d-cancel","post_action":"true","run_post_action_always":true})")),
                false);
    run(job);
    EXPECT_EQ(job->events().back().kind, c.last);
    EXPECT_EQ(job->activity().state.load(), c.state);
    std::vector<int> history = job->state_history();
    EXPECT_NE(std::count(history.begin(), history.end(), JOB_STATE_COMPLETING), 0);
  }
}

TEST_F(Default_Job_Test, StopBeforeTheStartEndsAsCanceledWithoutWork)
{
  Job_var job(new Probe_Job(definition(R"({"type":1,"id":"d-early"})")), false);
  EXPECT_EQ(job->stop_i(nullptr), 0);
  run(job);
  EXPECT_EQ(probe_.executions.load(), 0);
  EXPECT_EQ(kinds(job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::CANCELED}));
  EXPECT_EQ(job->activity().state.load(), JOB_STATE_CANCELED);
}

TEST_F(Default_Job_Test, MissingSourceIsACheckFailureWithoutEvents)
{
  Job_var job(new Probe_Job(definition(R"({"type":1,"id":"d-nosrc"})", false)), false);
  run(job);
  EXPECT_TRUE(job->events().empty());
  EXPECT_EQ(probe_.executions.load(), 0);
  std::string text = job->job_log()->text();
  EXPECT_NE(text.find("Unexpected error in backup/job/job_executor.h:"), std::string::npos) << text;
  EXPECT_NE(text.find(", src_ is NULL:\n"), std::string::npos) << text;
}

TEST_F(Default_Job_Test, RefusedPasswordFailsWithItsCode)
{
  probe_.password_code = 12;
  Job_var job(new Probe_Job(definition(
                  R"({"type":1,"id":"d-pw","backup_protection_password":"x"})")),
              false);
  run(job);
  EXPECT_EQ(kinds(job), (std::vector<Job_Event::Kind>{Job_Event::FAILURE}));
  EXPECT_EQ(job->events()[0].code, 12);
  EXPECT_EQ(probe_.executions.load(), 0);

  // Without a protection password the check is not made.
  Job_var other(new Probe_Job(definition(R"({"type":1,"id":"d-pw2"})")), false);
  run(other);
  EXPECT_EQ(other->events().back().kind, Job_Event::SUCCESS);
}

TEST_F(Default_Job_Test, ControlHooks)
{
  Job_var plain(new Default_Probe_Job(definition(R"({"type":1,"id":"d-ctl1"})")), false);
  EXPECT_EQ(plain->stop_i(nullptr), -1);
  EXPECT_EQ(plain->resume_i(nullptr), -1);
  EXPECT_EQ(plain->pause_i(nullptr), -1);
  EXPECT_EQ(plain->switch_i(nullptr), -1);
  EXPECT_EQ(plain->abort_i(nullptr), 0);
  EXPECT_EQ(plain->activity().state.load(), JOB_STATE_CANCELING);
  EXPECT_EQ(plain->handle_exception(0), 0);

  Probe_Job* raw = new Probe_Job(definition(R"({"type":1,"id":"d-ctl2"})"));
  Job_var job(raw, false);
  struct Step {
    std::function<int()> call;
    int state;
  };
  const Step steps[] = {
      {[raw]() { return raw->stop_i(nullptr); }, JOB_STATE_CANCELING},
      {[raw]() { return raw->pause_i(nullptr); }, JOB_STATE_PAUSING},
      {[raw]() { return raw->resume_i(nullptr); }, JOB_STATE_RUNNING},
      {[raw]() { return raw->switch_i(nullptr); }, JOB_STATE_SWITCHING},
      {[raw]() { return raw->abort_i(); }, JOB_STATE_ABORTING},
      {[raw]() { return raw->abort_i(nullptr); }, JOB_STATE_CANCELING},
  };
  for (const Step& s : steps) {
    EXPECT_EQ(s.call(), 0);
    EXPECT_EQ(raw->activity().state.load(), s.state);
  }
}

TEST_F(Default_Job_Test, RemoveUpdateAndOnDemand)
{
  Job_var job(new Probe_Job(definition(
                  R"({"type":1,"id":"d-rm","schedules":[{"type":7},{"type":1},{"type":7}]})")),
              false);
  EXPECT_EQ(job->remove_i(true, nullptr), 0);
  EXPECT_EQ(probe_.ondemand_removes.load(), 2);
  EXPECT_EQ(probe_.removes.load(), 1);
  EXPECT_EQ(job->update_i(job->definition_var()), 0);
  EXPECT_EQ(probe_.updates.load(), 1);
  EXPECT_EQ(job->setup_ondemand_i(), 0);
  probe_.active = false;
  EXPECT_EQ(job->setup_ondemand_i(), -1);
}

// The run and rollback threads hold their own references: the host may let go of the
// job as soon as it has started them, also when either runs alone.
TEST_F(Default_Job_Test, ThreadsKeepTheJobAlive)
{
  const struct {
    const char* what;
    bool with_run;
    bool with_rollback;
  } rows[] = {{"run alone", true, false}, {"rollback alone", false, true}, {"run and rollback", true, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    auto wait_go = [&] {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return go; });
    };
    probe_.work = [&](Job&, const Object*) {
      wait_go();
      return true;
    };
    probe_.rollback_work = wait_go;
    probe_.executions = probe_.rollbacks = 0;
    {
      Job_var job(new Probe_Job(definition(R"({"type":1,"id":"d-alive"})")), false);
      if (row.with_run) {
        ASSERT_EQ(job->start_i(nullptr), 0);
      }
      if (row.with_rollback) {
        ASSERT_EQ(job->rollback_i(), 0);
      }
    }  // the host's reference is gone while the threads still need the job
    EXPECT_EQ(Job::live_jobs(), 1u);
    {
      std::lock_guard<std::mutex> lock(m);
      go = true;
    }
    cv.notify_all();
    ASSERT_TRUE(Job::wait_no_live_jobs(60));
    EXPECT_TRUE(Test_Job_Host::wait_threads());
    EXPECT_EQ(probe_.executions.load(), row.with_run ? 1 : 0);
    EXPECT_EQ(probe_.rollbacks.load(), row.with_rollback ? 1 : 0);
  }
  EXPECT_EQ(probe_.constructed.load(), probe_.destroyed.load());
}

// Control requests in any order, from several threads, while runs start: nothing
// crashes, nothing hangs, and every run ends with a final state.
TEST_F(Default_Job_Test, ControlRequestsInEveryOrder)
{
  // The work ends when a stop or abort is seen, or on its own after a pause/resume.
  probe_.work = [](Job& job, const Object*) {
    for (int i = 0; i < 50; ++i) {
      int s = job.activity().state.load();
      if (s == JOB_STATE_CANCELING || s == JOB_STATE_ABORTING)
        return false;
      ACE_Time_Value tick(0, 1000);
      job.state_event().wait(&tick, 0);
    }
    return true;
  };
  // Every sixth of the 720 orders of the six requests: each request comes first, second,
  // ... equally often.
  std::vector<std::vector<int>> orders;
  std::vector<int> order = {0, 1, 2, 3, 4, 5};
  int n = 0;
  do {
    if (n++ % 6 == 0)
      orders.push_back(order);
  } while (std::next_permutation(order.begin(), order.end()));
  int rounds = 0;
  for (const std::vector<int>& ops : orders) {
    Probe_Job* raw = new Probe_Job(definition(R"({"type":1,"id":"d-order"})"));
    Job_var job(raw, false);
    std::vector<std::function<void()>> calls = {
        [raw]() { raw->stop_i(nullptr); },   [raw]() { raw->pause_i(nullptr); },
        [raw]() { raw->resume_i(nullptr); }, [raw]() { raw->abort_i(nullptr); },
        [raw]() { raw->abort_i(); },         [raw]() { raw->switch_i(nullptr); },
    };
    // Half the operations before the start, half racing with the run on another thread.
    for (size_t i = 0; i < 3; ++i)
      calls[ops[i]]();
    ASSERT_EQ(job->start_i(nullptr), 0);
    std::thread racer([&]() {
      for (size_t i = 3; i < ops.size(); ++i)
        calls[ops[i]]();
    });
    racer.join();
    ASSERT_TRUE(job->wait_complete(60)) << "round " << rounds;
    // Exactly one final event, and it is the last one. (Requests racing past the end of
    // the run may still change the state afterwards.)
    std::vector<Job_Event::Kind> k = kinds(job);
    ASSERT_FALSE(k.empty());
    size_t finals = 0;
    for (Job_Event::Kind kind : k)
      finals += kind == Job_Event::SUCCESS || kind == Job_Event::FAILURE ||
                kind == Job_Event::CANCELED || kind == Job_Event::PAUSED;
    EXPECT_EQ(finals, 1u) << "round " << rounds;
    EXPECT_NE(k.back(), Job_Event::START);
    ++rounds;
  }
  EXPECT_EQ(probe_.constructed.load(), probe_.destroyed.load());
}

TEST_F(Default_Job_Test, CreatorMakesJobsOfTheTwoTypesOnly)
{
  struct Backup_Job : Probe_Job {
    using Probe_Job::Probe_Job;
  };
  struct Restore_Job : Probe_Job {
    using Probe_Job::Probe_Job;
  };
  Default_Job_Creator_T<Backup_Job, Restore_Job> creator;
  for (int type = 0; type <= 4; ++type) {
    SCOPED_TRACE(type);
    errno = 1234;
    Job_var job = creator.create(
        definition(R"({"id":"d-type","type":)" + std::to_string(type) + "}"));
    if (type == 1) {
      ASSERT_NE(job.get(), nullptr);
      EXPECT_NE(dynamic_cast<Backup_Job*>(job.get()), nullptr);
      EXPECT_EQ(job->ref_count(), 1);  // the pointer adopted the initial reference
    } else if (type == 2) {
      ASSERT_NE(job.get(), nullptr);
      EXPECT_NE(dynamic_cast<Restore_Job*>(job.get()), nullptr);
    } else {
      EXPECT_EQ(job.get(), nullptr);
      EXPECT_EQ(errno, 1234);
    }
  }
}

}  // namespace
