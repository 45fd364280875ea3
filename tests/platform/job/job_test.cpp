#include <gtest/gtest.h>

#include <ace/Time_Value.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/job/job.h"
#include "platform/job/job_services.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/runtime/uuid.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

Value parse(const std::string& text)
{
  Value v;
  std::string why;
  EXPECT_TRUE(json_spirit::parse(text, v, &why)) << why;
  return v;
}

std::string read_file(const std::string& path)
{
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Plain_Source : public Job_Source {
public:
  void generate(yajl_gen_t*) const override {}
};

Job_Definition_var definition(const std::string& json)
{
  Job_Definition_var def(new Job_Definition());
  std::string why;
  EXPECT_TRUE(def->load(parse(json), &why)) << why;
  return def;
}

TEST(Job_Definition, LoadsEveryAccessor)
{
  Job_Definition_var def = definition(R"({
    "type": 2, "uid": "0b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3", "id": "def-1",
    "host_id": "host-1", "name": "nightly", "agent": "agent-1", "subtype": 2,
    "job_revision": 9000000000,
    "target": {"id": "pool-1", "device_id": "dev-1", "name": "pool one"},
    "precondition": "true", "pre_action": "echo pre", "post_action": "echo post",
    "ignore_pre_action_failure": true, "ignore_post_action_failure": true,
    "run_post_action_always": true, "backup_protection_password": "s3cret",
    "retry_count": 3, "retry_interval": 0, "max_seconds_retry": 60,
    "rate_limits": {"dest_rate_limits": 1000, "src_rate_limits": 18446744073709551615},
    "server_side_dedup": true, "resumption_buffer_size": 65536,
    "schedules": [{"type": 7}, {"type": 1}]})");
  const Job_Definition& d = *def.get();
  EXPECT_EQ(d.type(), JOB_DEFINITION_RESTORE);
  EXPECT_EQ(d.uid(), "0b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3");
  EXPECT_EQ(d.id(), "def-1");
  EXPECT_EQ(d.host_id(), "host-1");
  EXPECT_EQ(d.name(), "nightly");
  EXPECT_EQ(d.agent(), "agent-1");
  EXPECT_EQ(d.subtype(), JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  EXPECT_EQ(d.job_revision(), 9000000000LL);
  EXPECT_EQ(d.target().id(), "pool-1");
  EXPECT_EQ(d.target().device_id(), "dev-1");
  EXPECT_EQ(d.target().name(), "pool one");
  EXPECT_EQ(d.precondition(), "true");
  EXPECT_EQ(d.pre_action(), "echo pre");
  EXPECT_EQ(d.post_action(), "echo post");
  EXPECT_TRUE(d.ignore_pre_action_failure());
  EXPECT_TRUE(d.ignore_post_action_failure());
  EXPECT_TRUE(d.run_post_action_always());
  EXPECT_EQ(std::string(d.backup_protection_password().c_str()), "s3cret");
  EXPECT_EQ(d.retry_count(), 3);
  EXPECT_EQ(d.retry_interval(), 0);
  EXPECT_EQ(d.max_seconds_retry(), 60);
  EXPECT_EQ(d.rate_limits().dest_rate_limits, 1000u);
  EXPECT_EQ(d.rate_limits().src_rate_limits, 18446744073709551615ull);
  EXPECT_TRUE(d.server_side_dedup());
  EXPECT_EQ(d.resumption_buffer_size(), 65536u);
  ASSERT_EQ(d.schedules().size(), 2u);
  EXPECT_EQ(d.schedules()[0].type(), Job_Schedule::TYPE_ONDEMAND);
  EXPECT_EQ(Job_Schedule::TYPE_ONDEMAND, 7);
  EXPECT_EQ(d.source(), nullptr);
  EXPECT_EQ(d.options(), nullptr);
}

TEST(Job_Definition, RejectsMistypedKeysAndKeepsItself)
{
  struct Case {
    const char* doc;
    const char* key;
  };
  const Case cases[] = {
      {R"({"type": "1"})", "'type'"},
      {R"({"type": 5})", "'type'"},
      {R"({"id": 7})", "'id'"},
      {R"({"target": "pool"})", "'target'"},
      {R"({"target": {"id": 1}})", "'target/id'"},
      {R"({"retry_count": 1.5})", "'retry_count'"},
      {R"({"retry_count": 4294967296})", "'retry_count'"},
      {R"({"run_post_action_always": "true"})", "'run_post_action_always'"},
      {R"({"rate_limits": {"dest_rate_limits": -1}})", "'rate_limits/dest_rate_limits'"},
      {R"({"resumption_buffer_size": -5})", "'resumption_buffer_size'"},
      {R"({"schedules": {}})", "'schedules'"},
      {R"({"schedules": [7]})", "'schedules'"},
      {R"({"schedules": [{"type": "x"}]})", "'schedules/type'"},
      {R"([])", "object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    Job_Definition d;
    d.id("kept");
    std::string why;
    EXPECT_FALSE(d.load(parse(c.doc), &why));
    EXPECT_NE(why.find(c.key), std::string::npos) << why;
    EXPECT_EQ(d.id(), "kept");
    EXPECT_EQ(d.type(), JOB_DEFINITION_NONE);
  }
}

TEST(Job_Types, SubtypeNames)
{
  EXPECT_STREQ(job_def_subtype_to_string(1, 0), "full");
  EXPECT_STREQ(job_def_subtype_to_string(2, 0), "incremental");
  EXPECT_STREQ(job_def_subtype_to_string(3, 0), "differential");
  EXPECT_EQ(job_def_subtype_to_string(0, 0), nullptr);
  EXPECT_EQ(job_def_subtype_to_string(4, 0), nullptr);
  EXPECT_EQ(job_def_subtype_from_string("full"), JOB_DEFINITION_SUBTYPE_FULL);
  EXPECT_EQ(job_def_subtype_from_string("incremental"), JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  EXPECT_EQ(job_def_subtype_from_string("Full"), JOB_DEFINITION_SUBTYPE_NONE);
  EXPECT_EQ(job_def_subtype_from_string(""), JOB_DEFINITION_SUBTYPE_NONE);
}

class Job_Test : public ::testing::Test {
protected:
  std::string activity_path(const std::string& id) const
  {
    return env_.path("var/opt/quillon/tessera3/rhv/act/job/" + id);
  }

  Standin_Env env_;
};

// The activity record lives in a shared 4096-byte file with a fixed layout.
TEST_F(Job_Test, ActivityFileHasTheSharedLayout)
{
  Job_var job(new Job(definition(R"({"type": 1, "id": "def-layout"})")), false);
  ASSERT_TRUE(job->activity_shared());
  struct stat st;
  ASSERT_EQ(::stat(activity_path("def-layout").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);

  job->state(JOB_STATE_CANCELING);
  job->activity().start_time = 0x0102030405060708LL;
  job->activity().set_size = 77;
  job->sync();

  std::string bytes = read_file(activity_path("def-layout"));
  ASSERT_EQ(bytes.size(), 4096u);
  int32_t state;
  int64_t start;
  uint64_t set_size;
  std::memcpy(&state, bytes.data() + 32, 4);
  std::memcpy(&start, bytes.data() + 40, 8);
  std::memcpy(&set_size, bytes.data() + 64, 8);
  EXPECT_EQ(state, 8);
  EXPECT_EQ(start, 0x0102030405060708LL);
  EXPECT_EQ(set_size, 77u);
  // The activity id is a random version-4 UUID.
  EXPECT_EQ(static_cast<unsigned char>(bytes[16 + 6]) >> 4, 4);

  // Another handle (as a servant opens it: by id, without creating) sees the same record.
  Job_Activity_Handle other;
  ASSERT_TRUE(other.open("def-layout", false, true, 0750));
  EXPECT_EQ(other->state.load(), 8);
  job->state_i(JOB_STATE_ABORTING);
  EXPECT_EQ(other->state.load(), 20);
}

TEST_F(Job_Test, StateChangesSignalTheEvent)
{
  Job_var job(new Job(definition(R"({"id": "def-event"})")), false);
  EXPECT_EQ(job->activity().state.load(), JOB_STATE_IDLE);
  ACE_Time_Value zero(0);
  EXPECT_EQ(job->state_event().wait(&zero, 0), -1);  // nothing yet
  EXPECT_EQ(job->state_i(JOB_STATE_PAUSING), 0);
  EXPECT_EQ(job->state_event().wait(&zero, 0), 0);
  EXPECT_EQ(job->state_event().wait(&zero, 0), -1);  // auto-reset
  int syncs = job->sync_count();
  EXPECT_EQ(job->state(JOB_STATE_RUNNING), 0);
  EXPECT_EQ(job->sync_count(), syncs + 1);
  EXPECT_EQ(job->state_history(), (std::vector<int>{4, 3}));
}

TEST_F(Job_Test, ReferencesDeleteTheJobExactlyOnce)
{
  size_t before = Job::live_jobs();
  Job* raw = new Job(definition(R"({"id": "def-ref"})"));
  EXPECT_EQ(raw->ref_count(), 1);
  {
    Job_var a(raw, false);  // adopts the initial reference
    Job_var b = a;
    EXPECT_EQ(raw->ref_count(), 2);
    EXPECT_EQ(Job::live_jobs(), before + 1);
  }
  EXPECT_TRUE(Job::wait_no_live_jobs(5) || Job::live_jobs() == before);
  EXPECT_EQ(Job::live_jobs(), before);
}

TEST_F(Job_Test, EventHandlerLeavesTheFinalStates)
{
  struct Case {
    const char* name;
    int before;
    std::function<void(Job_Event_Handler&)> raise;
    Job_Event::Kind kind;
    int after;
  };
  const Case cases[] = {
      {"start", JOB_STATE_IDLE, [](Job_Event_Handler& h) { h.handle_start_job(); },
       Job_Event::START, JOB_STATE_RUNNING},
      {"start after a stop request", JOB_STATE_CANCELING,
       [](Job_Event_Handler& h) { h.handle_start_job(); }, Job_Event::START, JOB_STATE_CANCELING},
      {"start after a pause request", JOB_STATE_PAUSING,
       [](Job_Event_Handler& h) { h.handle_start_job(); }, Job_Event::START, JOB_STATE_PAUSING},
      {"success", JOB_STATE_RUNNING, [](Job_Event_Handler& h) { h.handle_success(); },
       Job_Event::SUCCESS, JOB_STATE_COMPLETED},
      {"failure", JOB_STATE_RUNNING,
       [](Job_Event_Handler& h) { h.handle_failure(-1, nullptr); }, Job_Event::FAILURE,
       JOB_STATE_ERROR},
      {"canceled", JOB_STATE_CANCELING, [](Job_Event_Handler& h) { h.handle_canceled(); },
       Job_Event::CANCELED, JOB_STATE_CANCELED},
      {"paused", JOB_STATE_PAUSING, [](Job_Event_Handler& h) { h.handle_paused(); },
       Job_Event::PAUSED, JOB_STATE_IDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Job_var job(new Job(definition(R"({"id": "def-events"})")), false);
    job->state_i(static_cast<Job_State>(c.before));
    Job_Event_Handler handler(*job.get());
    Log_Capture log(true);
    c.raise(handler);
    EXPECT_EQ(job->activity().state.load(), c.after);
    std::vector<Job_Event> events = job->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, c.kind);
    EXPECT_EQ(events[0].state, c.after);
    if (c.kind == Job_Event::START) {
      EXPECT_NE(job->activity().start_time.load(), 0);
    } else {
      EXPECT_NE(job->activity().last_run_time.load(), 0);
    }
  }

  Job_var job(new Job(definition(R"({"id": "def-failure"})")), false);
  Job_Event_Handler handler(*job.get());
  Log_Capture log(true);
  handler.handle_failure(5, "VM %s failed %d times", "vm-1", 3);
  std::vector<VM_Job_Progress> progress(2);
  progress[0].name = "vm-1";
  progress[1].state = STATE_FAILED;
  handler.handle_vm_progress(progress, JOB_STATE_ERROR, true);
  std::vector<Job_Event> events = job->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, 5);
  EXPECT_EQ(events[0].message, "VM vm-1 failed 3 times");
  EXPECT_EQ(events[1].kind, Job_Event::VM_PROGRESS);
  ASSERT_EQ(events[1].progress.size(), 2u);
  EXPECT_EQ(events[1].progress[0].name, "vm-1");
  EXPECT_EQ(events[1].progress[1].state, STATE_FAILED);
  EXPECT_TRUE(events[1].finished);
}

TEST_F(Job_Test, JobThreadLinesGoToTheJobLog)
{
  Job_var job(new Job(definition(R"({"id": "def-log"})")), false);
  Log_Capture outer(true);
  job->set_job_thread();
  ACE_DEBUG((LM_INFO, "routed %d\n", 1));
  job->complete();
  ACE_DEBUG((LM_INFO, "not routed\n"));
  EXPECT_EQ(job->completed(), 1);
  EXPECT_TRUE(job->wait_complete(1));
  EXPECT_EQ(job->job_log()->text(), "routed 1\n");
  EXPECT_EQ(job->job_log()->path(), env_.job_log_dir() + "/def-log.log");
  std::string file = read_file(job->job_log()->path());
  EXPECT_NE(file.find("LM_INFO routed 1\n"), std::string::npos) << file;
  EXPECT_EQ(outer.texts(), (std::vector<std::string>{"not routed\n"}));
}

TEST_F(Job_Test, ResultsAreKeptByKey)
{
  Job_var job(new Job(definition(R"({"id": "def-results"})")), false);
  job->set_result("rhev", Value(Array{Value("a")}));
  job->set_result("rhev", Value(Array{Value("b")}));
  EXPECT_EQ(JSON_Dump(Value(job->results())).str(), R"({"rhev":["b"]})");
}

TEST_F(Job_Test, AlertsAreOneJsonLineEach)
{
  Job_Definition_var def = definition(
      R"({"id": "def-alert", "host_id": "host-9", "job_revision": 4})");
  auto src = std::make_shared<Plain_Source>();
  src->id("resource-1");
  def->source(src);
  Job_var job(new Job(def), false);
  job->activity().start_time = 1700000000;
  Array params{Value("admin"), Value("engine"), Value(443)};
  EXPECT_EQ(write_job_alert(*job.get(), 7, 1, 0, &params, 1), 0);
  EXPECT_EQ(write_job_alert(*job.get(), 5, 3, 0, nullptr, 1), 0);

  std::istringstream lines(read_file(env_.alert_sink()));
  std::string line;
  std::vector<Value> alerts;
  while (std::getline(lines, line))
    alerts.push_back(parse(line));
  ASSERT_EQ(alerts.size(), 2u);
  const Object& a = alerts[0].get_obj();
  EXPECT_EQ(a.at("id").get_uint64(), (7ull << 60) | (0x3290000000ull + 1));
  EXPECT_EQ(a.at("level").get_int64(), 7);
  EXPECT_EQ(a.at("code").get_int64(), 1);
  EXPECT_EQ(JSON_Dump(a.at("params")).str(), R"(["admin","engine",443])");
  EXPECT_EQ(a.at("revision").get_int64(), 4);
  EXPECT_EQ(JSON_Dump(a.at("uuids")).str(),
            R"({"def_id":"def-alert","host_uuid":"host-9","resource_uuid":"resource-1"})");
  EXPECT_EQ(a.at("activity").get_str(), uuid_to_string(job->activity().id));
  EXPECT_EQ(a.at("start").get_int64(), 1700000000);
  EXPECT_EQ(a.at("end").get_int64(), 0);
  EXPECT_EQ(JSON_Dump(alerts[1].get_obj().at("params")).str(), "[]");
  EXPECT_EQ(alerts[1].get_obj().at("id").get_uint64(), (5ull << 60) | (0x3290000000ull + 3));
}

TEST_F(Job_Test, ScriptsRunThroughTheShell)
{
  std::string marker = env_.path("marker");
  struct Case {
    std::string script;
    bool ok;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"", true, {}},
      {"exit 0", true, {}},
      {"exit 3", false, {}},
      {"echo 'a  b' \"$((1+1))\"; echo err >&2", true, {"a  b 2\n", "err\n"}},
      {"printf 'no newline'", true, {"no newline\n"}},
      {"kill -9 $$", false, {}},
      {"touch '" + marker + "'", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    Log_Capture capture(true);
    auto fresh = std::make_shared<Job_Log>(std::string());
    EXPECT_EQ(execute_script(c.script, false, fresh), c.ok);
    std::vector<std::string> texts;
    for (const Job_Log::Line& l : fresh->lines())
      texts.push_back(l.text);
    EXPECT_EQ(texts, c.lines);
    if (!c.ok) {
      EXPECT_EQ(capture.texts(LM_ERROR).size(), 1u) << capture.dump();
    }
  }
  EXPECT_EQ(::access(marker.c_str(), F_OK), 0);
  EXPECT_TRUE(execute_script("echo ignored", false, nullptr));

  // Detached: only has to start; it runs on after the call and is no child of ours.
  std::string late = env_.path("late");
  EXPECT_TRUE(execute_script("sleep 0.2; touch '" + late + "'; exit 1", true, nullptr));
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  for (int i = 0; i < 500 && ::access(late.c_str(), F_OK) != 0; ++i)
    ::usleep(10000);
  EXPECT_EQ(::access(late.c_str(), F_OK), 0);
}

TEST(Job_Mutex, OnePerKey)
{
  ACE_Thread_Mutex& a = Job_Mutex::get("host-1");
  EXPECT_EQ(&a, &Job_Mutex::get("host-1"));
  EXPECT_NE(&a, &Job_Mutex::get("host-2"));
  ASSERT_EQ(a.tryacquire(), 0);
  EXPECT_EQ(Job_Mutex::get("host-2").tryacquire(), 0);
  Job_Mutex::get("host-2").release();
  a.release();
}

}  // namespace
