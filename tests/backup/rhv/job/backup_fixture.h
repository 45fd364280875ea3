#ifndef TESTS_BACKUP_RHV_JOB_BACKUP_FIXTURE_H
#define TESTS_BACKUP_RHV_JOB_BACKUP_FIXTURE_H

// What the backup job tests share: a private platform configuration, the engine simulator
// with the sample inventory (the agent VM in data center "east"), the host process's
// "rhev.query" answering the RHV host record, job definitions and documents, and a small
// servant that answers "rhev.backup" tasks from their parameters and writes the VM's
// progress file as a real servant does.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "backup/rhv/job/rhv_backup_executor.h"
#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/job/rhv_job_records.h"
#include "backup/rhv/job/rhv_progress_reporter.h"
#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/global_json_rpc.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/rsa_keys.h"
#include "tests/support/sample_inventory.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_job_host.h"

namespace backup_test {

namespace inv = sample_inventory;

const std::string HOST_RECORD_ID = "0a000001-5a1e-4d00-9000-000000000000";

inline json_spirit::Value parse(const std::string& text)
{
  json_spirit::Value v;
  std::string why;
  EXPECT_TRUE(json_spirit::parse(text, v, &why)) << why << " in " << text;
  return v;
}

inline std::string dump(const json_spirit::Value& v)
{
  return JSON_Dump(v).str();
}

// {"type": <type>, "id": <id>} as JSON text.
inline std::string src_entry(const std::string& type, const std::string& id)
{
  return "{\"type\": \"" + type + "\", \"id\": \"" + id + "\"}";
}

// A VM entry with single disks.
inline std::string disks_entry(const std::string& vm_id, const std::vector<std::string>& disks)
{
  std::string out = "{\"type\": \"VirtualMachine\", \"id\": \"" + vm_id + "\", \"disks\": [";
  for (size_t i = 0; i < disks.size(); ++i)
    out += (i ? ", {\"id\": \"" : "{\"id\": \"") + disks[i] + "\"}";
  return out + "]}";
}

// A source document with these entries.
inline std::string source(const std::vector<std::string>& entries)
{
  std::string out = "{\"id\": \"source-1\", \"name\": \"east backup\", \"entries\": [";
  for (size_t i = 0; i < entries.size(); ++i)
    out += (i ? ", " : "") + entries[i];
  return out + "]}";
}

class Backup_Fixture {
public:
  explicit Backup_Fixture(unsigned size_factor = 1)
  {
    engine_.reset(new test_support::Engine_Simulator(inv::config(env_.path("engine-root"), env_.device_dir())));
    EXPECT_TRUE(inv::load(*engine_, size_factor));
    EXPECT_TRUE(engine_->start());
    record_ = parse(R"({"uuid": ")" + HOST_RECORD_ID + R"(", "name": "engine-east", "agent_vm_id": ")" +
                    inv::AGENT_VM_ID + R"(", "agent_vm_name": ")" + inv::AGENT_VM_NAME +
                    R"(", "auth_type": "basic", "url_prefix": "", "host": "127.0.0.1", "ssl": false,
                        "username": "admin@internal"})")
                  .get_obj();
    record_["port"] = json_spirit::Value(static_cast<int>(engine_->port()));
    set_password("engine-password");
    register_global_json_rpc("rhev.query", [this](const json_spirit::Value& params, json_spirit::Value& result) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++queries_;
      if (params.type() != json_spirit::obj_type || params.get_obj().count("uuid") == 0 ||
          params.get_obj().at("uuid").get_str() != HOST_RECORD_ID)
        return false;
      result = json_spirit::Value(record_);
      return true;
    });
  }

  // The test has released its jobs by now: their detached run threads let go of them and
  // end before the engine and the configuration go.
  ~Backup_Fixture()
  {
    EXPECT_TRUE(Test_Job_Host::wait_threads());
    unregister_global_json_rpc("rhev.query");
  }

  Standin_Env& env() { return env_; }
  test_support::Engine_Simulator& engine() { return *engine_; }

  // Changes one member of the host record that "rhev.query" answers.
  void set_record(const std::string& key, const json_spirit::Value& value)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    record_[key] = value;
  }
  void set_password(const std::string& plain) { set_record("password", json_spirit::Value(rsa_encrypt_for_host(plain))); }

  // A backup definition of this RHV host, as a JSON object text; `extra` members replace.
  std::string definition_json(const std::string& def_id, const std::string& extra = "") const
  {
    return R"({"type": 1, "uid": "6b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3", "id": ")" + def_id + R"(",
      "host_id": ")" + HOST_RECORD_ID + R"(", "name": "nightly", "agent": "agent-1", "subtype": 1,
      "job_revision": 7, "retry_count": 2, "retry_interval": 0,
      "target": {"id": ")" + std::string(Standin_Env::DEFAULT_POOL_UUID) + R"(", "device_id": "dev-1",
                 "name": "default-pool"})" + (extra.empty() ? "" : ", " + extra) + "}";
  }

  // A definition with source and options records made directly (no parser).
  Job_Definition_var definition(const std::string& def_id, const std::string& source_doc,
                                const std::string& options_doc)
  {
    Job_Definition_var def(new Job_Definition());
    EXPECT_TRUE(def->load(parse(definition_json(def_id))));
    auto src = std::make_shared<RHV_JSON_Job_Source>();
    src->value() = parse(source_doc);
    src->id("source-1");
    def->source(src);
    auto opts = std::make_shared<RHV_JSON_Job_Options>();
    opts->value() = parse(options_doc);
    def->options(opts);
    return def;
  }

  // The lines of the alert sink, parsed.
  std::vector<json_spirit::Object> alerts() const
  {
    std::vector<json_spirit::Object> out;
    std::ifstream in(env_.alert_sink());
    std::string line;
    while (std::getline(in, line))
      if (!line.empty())
        out.push_back(parse(line).get_obj());
    return out;
  }

  // "<level>/<code>" of each alert, with its params.
  std::vector<std::string> alert_codes() const
  {
    std::vector<std::string> out;
    for (const json_spirit::Object& a : alerts())
      out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()) + " " +
                    dump(a.at("params")));
    return out;
  }

  // The progress file of a VM of definition `def_id`.
  std::string progress_file(const std::string& def_id, const std::string& vm_id) const
  {
    return env_.root() + "/var/opt/quillon/tessera3/rhv/act/rhv/" + def_id + "/" + vm_id;
  }

  int queries() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
  }

private:
  Standin_Env env_;
  std::unique_ptr<test_support::Engine_Simulator> engine_;
  mutable std::mutex mutex_;
  json_spirit::Object record_;
  int queries_ = 0;
};

// The backup executor of a job run directly on the test thread, without the job
// framework, for the steps before dispatch.
struct Direct_Backup {
  Job_var job;
  std::unique_ptr<RHV_Backup_Executor> exec;

  Direct_Backup(Backup_Fixture& f, const std::string& source_doc, const std::string& options_doc = "{}",
                const std::string& def_id = "def-direct")
  {
    job = Job_var(new Job(f.definition(def_id, source_doc, options_doc)), false);
    exec.reset(new RHV_Backup_Executor(*job.get()));
  }

  // The steps of a run up to the storage-space rule, as the run makes them.
  bool resolve()
  {
    if (!exec->init() || !exec->resolve_entries())
      return false;
    if (!exec->entries().empty() && !exec->resolve_options())
      return false;
    exec->filter_entries();
    return true;
  }

  // "<vm name>: <disk name> <disk name> ..." of each entry.
  std::vector<std::string> entries() const
  {
    std::vector<std::string> out;
    for (const RHV_Backup_Params& e : exec->entries()) {
      std::string line = e.vm_name + ":";
      for (const RHV_Disk_Attachment& a : e.attachments)
        line += " " + a.disk.name;
      out.push_back(line);
    }
    return out;
  }
};

// Answers "rhev.backup" tasks from their parameters, as a servant does: it loads the
// parameters, opens the VM's progress file made by the job (without creating it), writes
// running and then the outcome into it, and replies with the result object. The outcome
// of each attempt of a VM comes from its script of codes (the last repeats; 0 by default).
class Backup_Servant_Stub : public JSON_RPC_Handler {
public:
  void script(const std::string& vm_id, std::vector<int> codes)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    codes_[vm_id] = std::move(codes);
  }

  std::vector<RHV_Backup_Params> requests() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override
  {
    JSON_RPC_Channel_var strong(channel);
    if (strong.null() || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
      return -1;
    const JSON_RPC_Request& request = static_cast<const JSON_RPC_Request&>(*obj.get());
    RHV_Backup_Params params;
    if (request.method != "rhev.backup" || request.params.type() != json_spirit::obj_type ||
        !params.load(request.params.get_obj()))
      return strong->send_error(-32602, request.id, nullptr, json_spirit::Value::null);
    int code = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(params);
      std::vector<int>& codes = codes_[params.vm_id];
      size_t attempt = attempts_[params.vm_id]++;
      if (!codes.empty())
        code = codes[std::min(attempt, codes.size() - 1)];
    }

    uint64_t size = 0;
    for (const RHV_Disk_Attachment& a : params.attachments)
      size += static_cast<uint64_t>(a.disk.provisioned_size);
    RHV_VM_Progress_Handle progress;
    RHV_VM_Progress_Info* info = nullptr;
    if (progress.open(params.def_id.c_str(), params.vm_id.c_str(), false, true, 0750) == 0)
      info = progress.get();
    if (info != nullptr) {
      info->reset();
      info->state = STATE_RUNNING;
      info->virtual_disk_count = static_cast<int32_t>(params.attachments.size());
      info->total_bytes = size;
      info->start_time = 1700000000;
      info->processed_bytes = code == 0 ? size : size / 2;
      info->processed_virtual_disk_count = code == 0 ? static_cast<int32_t>(params.attachments.size()) : 0;
      info->end_time = 1700000060;
      info->state = code == 0 ? STATE_COMPLETED : STATE_FAILED;
    }

    JSON_RPC_Response rsp(&request);
    json_spirit::Object result;
    result["storage_size"] = json_spirit::Value(static_cast<unsigned long>(size / 2));
    result["source_size"] = json_spirit::Value(static_cast<unsigned long>(size));
    result["set_size"] = json_spirit::Value(static_cast<unsigned long>(size / 4));
    for (const char* key : {"data_center_id", "data_center_name", "cluster_id", "cluster_name", "host_id",
                            "host_name", "vm_id", "vm_name"})
      result[key] = request.params.get_obj().at(key);
    result["start_time"] = json_spirit::Value(1700000000L);
    result["end_time"] = json_spirit::Value(1700000060L);
    result["code"] = json_spirit::Value(code);
    rsp.result = json_spirit::Value(std::move(result));
    return strong->send(rsp);
  }

private:
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<int>> codes_;
  std::map<std::string, size_t> attempts_;
  std::vector<RHV_Backup_Params> requests_;
};

// A job of a definition made from these documents (`extra`: more members of the
// definition) through a job host of its own.
struct Job_Run {
  Backup_Fixture& f;
  Test_Job_Host host;
  Job_var job;

  Job_Run(Backup_Fixture& fixture, const std::string& def_id, const std::string& source_doc,
          const std::string& options_doc, const std::string& extra = "")
    : f(fixture)
  {
    EXPECT_TRUE(host.ok()) << host.error();
    std::string error;
    Job_Definition_var def = host.make_definition(f.definition_json(def_id, extra), source_doc, options_doc, &error);
    EXPECT_FALSE(def.null()) << error;
    job = host.create_job(def);
    EXPECT_NE(job.get(), nullptr);
  }

  bool run() { return host.run_job(job); }
  bool start() { return job->start_i(nullptr) == 0; }
  bool wait() { return job->wait_complete(120, 1); }

  json_spirit::Array histories() const
  {
    json_spirit::Object results = job->results();
    auto it = results.find("rhev");
    return it == results.end() ? json_spirit::Array() : it->second.get_array();
  }
};

// ---- reading a job's log and events ----

// Polls `done` until it holds; false after `seconds` (a guard against hangs).
inline bool eventually(const std::function<bool()>& done, int seconds = 60)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline bool logged(const Job_var& job, const std::string& line)
{
  for (const Job_Log::Line& l : job->job_log()->lines())
    if (l.text == line)
      return true;
  return false;
}

inline size_t count_logged(const Job_var& job, const std::string& line)
{
  size_t n = 0;
  for (const Job_Log::Line& l : job->job_log()->lines())
    n += l.text == line;
  return n;
}

inline std::vector<Job_Event::Kind> final_events(const Job_var& job)
{
  std::vector<Job_Event::Kind> out;
  for (const Job_Event& e : job->events())
    if (e.kind != Job_Event::VM_PROGRESS)
      out.push_back(e.kind);
  return out;
}

// The final progress report; its list is empty when there was none.
inline Job_Event final_progress(const Job_var& job)
{
  Job_Event last;
  for (const Job_Event& e : job->events())
    if (e.kind == Job_Event::VM_PROGRESS && e.finished)
      last = e;
  return last;
}

}  // namespace backup_test

#endif  // TESTS_BACKUP_RHV_JOB_BACKUP_FIXTURE_H
