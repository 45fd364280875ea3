// Restore jobs run as the product's job host runs them: the module loaded with dlopen, the
// documents read through its restore parsers, the job started and awaited, tasks
// dispatched to in-process servants. Checked: the task parameters of in-place and
// new-VM restores, option and entry rules, bad documents, each kind of servant reply,
// the job result "rhev", totals, progress, cancelling, and replies arriving at once.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "backup/rhv/job/rhv_restore_executor.h"
#include "backup/rhv/job/rhv_restore_params.h"
#include "tests/backup/rhv/job/backup_fixture.h"
#include "tests/support/test_job_host.h"
#include "tests/support/test_servant.h"

using namespace backup_test;
using Lines = std::vector<std::string>;

namespace {

const std::string WEB = inv::VM_WEB_ID, DB = inv::VM_DB_ID, APP = inv::VM_APP_ID;

// One restore entry as JSON text: the source VM (in cluster east-prod), its catalog, one
// disk per id (from the NFS domain) and `extra` members.
std::string restore_entry(const std::string& vm_id, const std::string& vm_name, const std::vector<std::string>& disks,
                  const std::string& extra = "")
{
  std::string out = R"({"source_cluster_id": ")" + std::string(inv::CLUSTER_EAST_PROD_ID) +
                    R"(", "source_cluster_name": "east-prod", "source_vm_id": ")" + vm_id +
                    R"(", "source_vm_name": ")" + vm_name + R"(", "catalog_uuid": "set-)" + vm_name +
                    R"(", "disks": [)";
  for (size_t i = 0; i < disks.size(); ++i)
    out += std::string(i ? ", " : "") + R"({"id": ")" + disks[i] + R"(", "source_datastore_id": ")" +
           inv::SD_EAST_NFS_ID + "\"}";
  return out + "]" + (extra.empty() ? "" : ", " + extra) + "}";
}

// A restore source document with these entries.
std::string restore_source(const std::vector<std::string>& entries, const std::string& extra = "")
{
  std::string out = R"({"id": "source-1", "name": "east restore", "entries": [)";
  for (size_t i = 0; i < entries.size(); ++i)
    out += (i ? ", " : "") + entries[i];
  return out + "]" + (extra.empty() ? "" : ", " + extra) + "}";
}

const std::string IN_PLACE = R"({"original_restore": true})";

const std::vector<Job_Event::Kind> SUCCEEDED = {Job_Event::START, Job_Event::SUCCESS};
const std::vector<Job_Event::Kind> FAILED = {Job_Event::START, Job_Event::FAILURE};

// A restore reply of a servant, without "code".
json_spirit::Object reply_for(const std::string& vm_id, const std::string& vm_name, uint64_t size)
{
  json_spirit::Object r;
  r["vm_id"] = json_spirit::Value(vm_id);
  r["vm_name"] = json_spirit::Value(vm_name);
  r["source_size"] = json_spirit::Value(static_cast<unsigned long>(size));
  r["storage_size"] = json_spirit::Value(static_cast<unsigned long>(size / 2));
  r["set_size"] = json_spirit::Value(static_cast<unsigned long>(size / 4));
  r["start_time"] = json_spirit::Value(1700000000L);
  r["end_time"] = json_spirit::Value(1700000090L);
  return r;
}

// Answers "rhev.restore" tasks as a restore servant does: it loads the parameters, opens
// the VM's progress file made by the job, writes running then completed into it and
// replies with the VM's sizes (1 MiB per disk).
class Restore_Servant_Stub : public JSON_RPC_Handler {
public:
  std::vector<RHV_Restore_Params> requests() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<json_spirit::Object> raw() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
  }

  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override
  {
    JSON_RPC_Channel_var strong(channel);
    if (strong.null() || obj.get() == nullptr || obj->type() != JSON_RPC_Object::TYPE_REQUEST)
      return -1;
    const JSON_RPC_Request& request = static_cast<const JSON_RPC_Request&>(*obj.get());
    RHV_Restore_Params params;
    if (request.method != "rhev.restore" || request.params.type() != json_spirit::obj_type ||
        !params.load(request.params.get_obj()))
      return strong->send_error(-32603, request.id, nullptr, json_spirit::Value::null);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(params);
      raw_.push_back(request.params.get_obj());
    }
    const uint64_t size = params.disks.size() * inv::MiB;
    RHV_VM_Progress_Handle progress;
    if (progress.open(params.def_id.c_str(), params.vm_id.c_str(), false, true, 0750) == 0 &&
        progress.get() != nullptr) {
      RHV_VM_Progress_Info* info = progress.get();
      info->reset();
      info->state = STATE_RUNNING;
      info->virtual_disk_count = static_cast<int32_t>(params.disks.size());
      info->total_bytes = info->processed_bytes = size;
      info->processed_virtual_disk_count = static_cast<int32_t>(params.disks.size());
      info->start_time = 1700000000;
      info->end_time = 1700000090;
      info->state = STATE_COMPLETED;
    }
    JSON_RPC_Response rsp(&request);
    json_spirit::Object result = reply_for(params.vm_id, params.vm_name, size);
    result["code"] = json_spirit::Value(0);
    rsp.result = json_spirit::Value(std::move(result));
    return strong->send(rsp);
  }

private:
  mutable std::mutex mutex_;
  std::vector<RHV_Restore_Params> requests_;
  std::vector<json_spirit::Object> raw_;
};

// A restore job (definition type 2) made and run as Job_Run makes a backup job.
struct Restore_Run : Job_Run {
  Restore_Run(Backup_Fixture& fixture, const std::string& def_id, const std::string& source_doc,
              const std::string& options_doc, const std::string& extra = "")
    : Job_Run(fixture, def_id, source_doc, options_doc, R"("type": 2)" + (extra.empty() ? "" : ", " + extra))
  {
  }
};

// The restore executor of a job, driven directly on the test thread.
struct Direct_Restore {
  Job_var job;
  std::unique_ptr<RHV_Restore_Executor> exec;

  Direct_Restore(Backup_Fixture& f, const std::string& source_doc, const std::string& options_doc)
  {
    job = Job_var(new Job(f.definition("def-direct", source_doc, options_doc)), false);
    exec.reset(new RHV_Restore_Executor(*job.get()));
  }
};

// The restore executor with its history map in view.
class Open_Restore_Executor : public RHV_Restore_Executor {
public:
  using RHV_Restore_Executor::RHV_Restore_Executor;
  const json_spirit::Object& histories() const { return histories_; }
  uint64_t source_size() const { return source_size_.load(); }
};

std::string utc_stamp(std::time_t t)
{
  std::tm utc;
  ::gmtime_r(&t, &utc);
  char out[32];
  std::strftime(out, sizeof out, "%Y%m%d%H%M%S", &utc);
  return out;
}

}  // namespace

TEST(RHV_Restore_Executor, an_in_place_restore_sends_one_task_per_vm_into_the_source_cluster)
{
  Backup_Fixture f;
  Restore_Servant_Stub servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  const std::time_t before = std::time(nullptr);
  // The in-place entries name neither a target cluster nor target domains; the NICs of an
  // in-place entry are not sent.
  Restore_Run r(f, "def-inplace",
                restore_source({restore_entry(WEB, "web-01", {inv::DISK_WEB_OS_ID, inv::DISK_WEB_DATA_ID},
                                      R"("nics": [{"name": "nic1", "interface": "virtio", "auto_gen_mac": true}])"),
                                restore_entry(DB, "db-01", {inv::DISK_DB_OS_ID})},
                               R"("pool_uuid": "pool-of-the-source")"),
                R"({"original_restore": true, "block_size": 65536, "parallel_disks_per_vm": 5})");
  ASSERT_TRUE(r.run());
  const std::time_t after = std::time(nullptr);
  EXPECT_EQ(final_events(r.job), SUCCEEDED) << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "Job Options:\n\toriginal_restore=Yes\n\tstart_vm=No\n\tparallel_vms=2\n"
                            "\tparallel_disks_per_vm=5\n\tblock_size=65536\n"));
  EXPECT_TRUE(logged(r.job, "Assign 2 threads to restore RHV.\n"));
  EXPECT_TRUE(logged(r.job, "Successfully restore RHV.\n"));

  std::vector<RHV_Restore_Params> tasks = servant.requests();
  ASSERT_EQ(tasks.size(), 2u);
  std::sort(tasks.begin(), tasks.end(),
            [](const RHV_Restore_Params& a, const RHV_Restore_Params& b) { return a.vm_name > b.vm_name; });
  for (const RHV_Restore_Params& t : tasks) {
    SCOPED_TRACE(t.vm_name);
    EXPECT_TRUE(t.original_restore);
    EXPECT_FALSE(t.start_vm);
    EXPECT_EQ(t.cluster_id, inv::CLUSTER_EAST_PROD_ID);
    EXPECT_EQ(t.cluster_name, "east-prod");
    EXPECT_EQ(t.target_cluster_id, inv::CLUSTER_EAST_PROD_ID);
    EXPECT_EQ(t.catalog_uuid, "set-" + t.vm_name);
    EXPECT_TRUE(t.nics.empty());
    EXPECT_EQ(t.target_vm_id, "");
    EXPECT_EQ(t.pool_uuid, "");
    // "<source name>_<UTC time>", made while the job ran.
    bool stamped = false;
    for (std::time_t s = before; s <= after && !stamped; ++s)
      stamped = t.target_vm_name == t.vm_name + "_" + utc_stamp(s);
    EXPECT_TRUE(stamped) << t.target_vm_name;
    for (const RHV_Restore_Disk& d : t.disks) {
      EXPECT_EQ(d.source_datastore_id, inv::SD_EAST_NFS_ID);
      EXPECT_EQ(d.target_datastore_id, inv::SD_EAST_NFS_ID);
    }
    EXPECT_EQ(t.def_id, "def-inplace");
    EXPECT_EQ(t.host_uuid, HOST_RECORD_ID);
    EXPECT_EQ(t.resource_uuid, "source-1");
    EXPECT_EQ(t.job_revision, 7);
    EXPECT_EQ(t.access_key, "test-access-key");
    EXPECT_EQ(t.backupd_host, "127.0.0.1");
    EXPECT_EQ(t.parallel_disks_per_vm, 5u);
    EXPECT_EQ(t.block_size, 65536u);
    EXPECT_EQ(t.client_io_opts.compression_method, 1);
    EXPECT_EQ(t.client_io_opts.d2t_access_mode, D2T_Access_RPC);
    EXPECT_EQ(t.client_io_opts.extra_options.at("X-Access-Key"), "test-access-key");
    EXPECT_EQ(t.host_info.password, "engine-password");
    EXPECT_EQ(t.host_info.agent_vm_id, inv::AGENT_VM_ID);
  }
  EXPECT_EQ(tasks[0].vm_id, WEB);
  ASSERT_EQ(tasks[0].disks.size(), 2u);
  EXPECT_EQ(tasks[0].disks[0].id, inv::DISK_WEB_OS_ID);
  EXPECT_EQ(tasks[0].disks[1].id, inv::DISK_WEB_DATA_ID);
  // The in-place task carries an empty NIC list.
  for (const json_spirit::Object& raw : servant.raw())
    EXPECT_EQ(dump(raw.at("nics")), "[]");

  // The job result: one history per VM in VM-id order, with exactly these keys.
  json_spirit::Array histories = r.histories();
  ASSERT_EQ(histories.size(), 2u);
  const std::set<std::string> keys = {"end_time", "name",          "set_size", "size",
                                      "start_time", "storaged_size", "succeed",  "vm_id"};
  std::vector<std::string> ids;
  for (const json_spirit::Value& h : histories) {
    std::set<std::string> have;
    for (const auto& m : h.get_obj())
      have.insert(m.first);
    EXPECT_EQ(have, keys);
    EXPECT_TRUE(h.get_obj().at("succeed").get_bool());
    ids.push_back(h.get_obj().at("vm_id").get_str());
  }
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_EQ(r.job->activity().size.load(), 3 * inv::MiB);
  EXPECT_EQ(r.job->activity().set_storage_size.load(), 3 * inv::MiB / 2);
  EXPECT_EQ(r.job->activity().set_size.load(), inv::MiB / 4 + 2 * inv::MiB / 4);
  // A restore raises no job alert of its own when it goes well.
  EXPECT_TRUE(f.alert_codes().empty());

  Job_Event progress = final_progress(r.job);
  ASSERT_EQ(progress.progress.size(), 2u);
  for (const VM_Job_Progress& p : progress.progress)
    EXPECT_EQ(p.state, STATE_COMPLETED) << p.name;
}

TEST(RHV_Restore_Executor, a_new_vm_restore_names_its_cluster_domains_and_nics)
{
  Backup_Fixture f;
  Restore_Servant_Stub servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  const std::string disks = std::string(R"("disks": [{"id": "d-1", "source_datastore_id": "sd-src",
      "target_datastore_id": ")") + inv::SD_EAST_ISCSI_ID + R"("}, 7, "text"])";
  const std::string e =
      R"({"source_cluster_id": "c-src", "source_cluster_name": "src", "source_vm_id": "vm-1",
          "source_vm_name": "web", "catalog_uuid": "set-1", )" + disks + R"(, "target_cluster_id": ")" +
      inv::CLUSTER_EAST_DEV_ID + R"(", "target_cluster_name": "east-dev",
          "nics": [{"name": "nic1", "interface": "virtio", "linked": "true", "plugged": "TRUE",
                    "mac_address": "56:6f:00:00:00:01", "auto_gen_mac": false, "vnic_profile_id": "p-1"},
                   "skipped",
                   {"name": "nic2", "interface": "e1000", "auto_gen_mac": true}]})";
  Restore_Run r(f, "def-new", restore_source({e}), R"({"original_restore": false, "start_vm": true})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), SUCCEEDED) << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "Job Options:\n\toriginal_restore=No\n\tstart_vm=Yes\n\tparallel_vms=2\n"
                            "\tparallel_disks_per_vm=2\n\tblock_size=8388608\n"));
  EXPECT_TRUE(logged(r.job, "Assign 1 threads to restore RHV.\n"));

  ASSERT_EQ(servant.requests().size(), 1u);
  const RHV_Restore_Params t = servant.requests()[0];
  EXPECT_FALSE(t.original_restore);
  EXPECT_TRUE(t.start_vm);
  EXPECT_EQ(t.cluster_id, "c-src");
  EXPECT_EQ(t.target_cluster_id, inv::CLUSTER_EAST_DEV_ID);
  EXPECT_EQ(t.target_cluster_name, "");  // not carried in the task
  EXPECT_EQ(t.parallel_disks_per_vm, 2u);
  ASSERT_EQ(t.disks.size(), 1u);
  EXPECT_EQ(t.disks[0].source_datastore_id, "sd-src");
  EXPECT_EQ(t.disks[0].target_datastore_id, inv::SD_EAST_ISCSI_ID);
  EXPECT_EQ(dump(servant.raw()[0].at("nics")),
            R"([{"auto_gen_mac":false,"interface":"virtio","linked":"true","mac_address":"56:6f:00:00:00:01",)"
            R"("name":"nic1","plugged":"false","vnic_profile_id":"p-1"},)"
            R"({"auto_gen_mac":true,"interface":"e1000","mac_address":"","name":"nic2","vnic_profile_id":""}])");
}

TEST(RHV_Restore_Executor, options_are_resolved_before_entries_and_cap_the_parallelism)
{
  Backup_Fixture f;
  // Three entries: 8 VMs at once become 3, and 10 / 3 disks per VM.
  const std::string three = restore_source({restore_entry("a", "a", {"d"}), restore_entry("b", "b", {"d"}), restore_entry("c", "c", {"d"})},
                                           R"("pool_uuid": "p-9")");
  {
    Direct_Restore d(f, three, R"({"original_restore": true, "parallel_vms": 8, "parallel_disks_per_vm": 5})");
    ASSERT_TRUE(d.exec->resolve_options());
    EXPECT_EQ(d.exec->pool_uuid().value_or("none"), "p-9");
    ASSERT_TRUE(d.exec->resolve_entries());
    EXPECT_EQ(d.exec->entries().size(), 3u);
    EXPECT_EQ(d.exec->parallel_vms(), 3u);
    EXPECT_EQ(d.exec->parallel_disks_per_vm(), 3u);
    EXPECT_EQ(d.exec->client_io_opts().compression_method, 1);
  }
  {
    // The entry rules follow the options: an entry without target cluster is fine in
    // place and not otherwise, so the options must be known first.
    Direct_Restore d(f, restore_source({restore_entry("a", "a", {"d"})}), R"({"original_restore": false})");
    ASSERT_TRUE(d.exec->resolve_options());
    EXPECT_FALSE(d.exec->resolve_entries());
  }
  {
    // No entries: no caps, and the run takes its nothing-to-restore path.
    Direct_Restore d(f, restore_source({}), R"({"original_restore": true, "parallel_vms": 7})");
    ASSERT_TRUE(d.exec->resolve_options());
    EXPECT_FALSE(d.exec->pool_uuid().is_initialized());
    ASSERT_TRUE(d.exec->resolve_entries());
    EXPECT_EQ(d.exec->parallel_vms(), 7u);
  }
}

TEST(RHV_Restore_Executor, nothing_to_restore_succeeds_with_a_warning_alert)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  Restore_Run r(f, "def-none", restore_source({"1", "\"text\"", "[]"}), IN_PLACE);
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), SUCCEEDED) << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "No VM to restore RHV.\n"));
  EXPECT_EQ(f.alert_codes(), Lines{"5/3 []"});
  EXPECT_EQ(r.job->results().count("rhev"), 0u);
  EXPECT_TRUE(servant.requests().empty());
}

TEST(RHV_Restore_Executor, bad_documents_fail_the_job_and_raise_no_task)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  const std::string web = restore_source({restore_entry(WEB, "web-01", {inv::DISK_WEB_OS_ID})});
  const std::string new_vm = R"({"original_restore": false})";
  const std::string disk_without_target = restore_source({restore_entry(WEB, "web-01", {inv::DISK_WEB_OS_ID},
                                                                R"("target_cluster_id": "c-2")")});
  std::string no_vm_id = restore_entry(WEB, "web-01", {"d"});
  no_vm_id.replace(no_vm_id.find("\"source_vm_id\""), 14, "\"source_vm_ix\"");
  std::string mistyped_catalog = restore_entry(WEB, "web-01", {"d"});
  mistyped_catalog.replace(mistyped_catalog.find("\"set-web-01\""), 12, "42");
  struct Case {
    const char* name;
    std::string source;
    std::string options;
    std::string line;
  } cases[] = {
      {"no original_restore", web, R"({"start_vm": true})",
       "Failed to resolve RHV job options: 'JSON member 'original_restore' not found'.\n"},
      {"mistyped original_restore", web, R"({"original_restore": "yes"})", ""},
      {"options not an object", web, R"([true])", ""},
      {"parallel VMs", web, R"({"original_restore": true, "parallel_vms": 11})",
       "Option parallel_vms exceeded limits.\n"},
      {"block size", web, R"({"original_restore": true, "block_size": 4096})", "Option block_size exceeded limits.\n"},
      {"disks per VM", web, R"({"original_restore": true, "parallel_disks_per_vm": 0})",
       "Option parallel_disks_per_vm exceeded limits.\n"},
      {"no entries", R"({"id": "source-1"})", IN_PLACE,
       "Invalid entries in restore sources: JSON Pointer path '/entries' not exist in JSON!\n"},
      {"entries not an array", R"({"id": "source-1", "entries": {}})", IN_PLACE,
       "Invalid entries in restore sources: JSON Pointer path '/entries' not exist in JSON!\n"},
      {"no source VM id", restore_source({no_vm_id}), IN_PLACE,
       "Failed to add RHV restore entry: JSON member 'source_vm_id' not found\n"},
      {"mistyped catalog", restore_source({mistyped_catalog}), IN_PLACE, ""},
      {"no disks", restore_source({R"({"source_cluster_id": "c", "source_cluster_name": "c", "source_vm_id": "v",
                                       "source_vm_name": "v", "catalog_uuid": "s"})"}),
       IN_PLACE, "Failed to add RHV restore entry: JSON member 'disks' not found\n"},
      {"no target cluster", web, new_vm, "Failed to add RHV restore entry: JSON member 'target_cluster_id' not found\n"},
      {"no target domain", disk_without_target, new_vm, "Failed to load disk info, storage domain not specified.\n"},
      {"bad NIC",
       restore_source({restore_entry(WEB, "web-01", {}, R"("target_cluster_id": "c-2", "nics": [{"name": "n", "interface": "v"}])")}),
       new_vm, "Failed to load nics info.\n"},
      // The second entry is bad: nothing at all is dispatched.
      {"second entry bad", restore_source({restore_entry(APP, "app-02", {"d"}), no_vm_id}), IN_PLACE,
       "Failed to add RHV restore entry: JSON member 'source_vm_id' not found\n"},
      // A VM id that would lead the progress file out of its folder.
      {"VM id with a path", restore_source({restore_entry("../../escaped", "esc", {"d"})}), IN_PLACE,
       "Failed to activate servant task scheduler.\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string def_id = "def-bad-" + std::to_string(++n);
    Restore_Run r(f, def_id, c.source, c.options);
    ASSERT_TRUE(r.run()) << c.name;
    EXPECT_EQ(final_events(r.job), FAILED) << c.name;
    const std::string log = r.job->job_log()->text();
    if (!c.line.empty())
      EXPECT_TRUE(logged(r.job, c.line)) << c.name << "\n" << log;
    else
      EXPECT_TRUE(log.find("Failed to resolve RHV job options: '") != std::string::npos ||
                  log.find("Failed to add RHV restore entry: ") != std::string::npos)
          << c.name << "\n" << log;
    EXPECT_EQ(r.job->results().count("rhev"), 0u) << c.name;
  }
  EXPECT_TRUE(servant.requests().empty());
  EXPECT_TRUE(f.alert_codes().empty());
  // Nothing was made outside the progress folder.
  struct stat st;
  EXPECT_NE(::stat((f.env().root() + "/var/opt/quillon/tessera3/rhv/act/escaped").c_str(), &st), 0);
  EXPECT_NE(::stat((f.env().root() + "/var/opt/quillon/tessera3/rhv/escaped").c_str(), &st), 0);
}

TEST(RHV_Restore_Executor, servant_replies_of_each_kind)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  json_spirit::Object without_end = reply_for("vm-lacking", "lacking", 100);
  without_end.erase("end_time");
  Test_Servant::Action text_result;
  text_result.result = json_spirit::Value("done");
  servant.script("vm-ok", {Test_Servant::success(reply_for("vm-ok", "ok", 1000))});
  servant.script("vm-retried", {Test_Servant::failure(reply_for("vm-retried", "retried", 5000)),
                                Test_Servant::success(reply_for("vm-retried", "retried", 3000))});
  servant.script("vm-error", {Test_Servant::error(-32603, "servant crashed")});
  servant.script("vm-malformed", {Test_Servant::malformed()});
  servant.script("vm-lacking", {Test_Servant::success(without_end)});
  servant.script("vm-failing", {Test_Servant::failure(reply_for("vm-failing", "failing", 7000))});
  servant.script("vm-text", {text_result});

  std::vector<std::string> entries;
  for (const char* name : {"ok", "retried", "error", "malformed", "lacking", "failing", "text"})
    entries.push_back(restore_entry(std::string("vm-") + name, name, {"d"}));
  Restore_Run r(f, "def-replies", restore_source(entries), R"({"original_restore": true, "parallel_vms": 4})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), FAILED);
  EXPECT_TRUE(logged(r.job, "Total VM count 7, succeeded VM count 2\n")) << r.job->job_log()->text();

  // Only a servant's failure code is retried, up to the definition's retry count (2).
  EXPECT_EQ(servant.count("vm-ok"), 1u);
  EXPECT_EQ(servant.count("vm-retried"), 2u);
  EXPECT_EQ(servant.count("vm-error"), 1u);
  EXPECT_EQ(servant.count("vm-malformed"), 1u);
  EXPECT_EQ(servant.count("vm-lacking"), 1u);
  EXPECT_EQ(servant.count("vm-failing"), 3u);
  EXPECT_EQ(servant.count("vm-text"), 1u);
  EXPECT_TRUE(logged(r.job, "JSON-RPC request returned errno -32603: servant crashed\n"));
  EXPECT_TRUE(logged(r.job, "Unrecognized RHV VM backup response: JSON member 'end_time' not found.\n"))
      << r.job->job_log()->text();
  json_spirit::Object failing = reply_for("vm-failing", "failing", 7000);
  failing["code"] = json_spirit::Value(1);
  EXPECT_EQ(count_logged(r.job, "Failed to restore RHV VM: the result is " + dump(json_spirit::Value(failing)) +
                                    ", try again.\n"),
            3u);

  // Histories: the last readable attempt of each VM, in VM-id order; a failed VM's sizes
  // are 0.
  Lines summary;
  for (const json_spirit::Value& h : r.histories())
    summary.push_back(h.get_obj().at("vm_id").get_str() + (h.get_obj().at("succeed").get_bool() ? " ok " : " failed ") +
                      std::to_string(h.get_obj().at("size").get_uint64()) + " " +
                      std::to_string(h.get_obj().at("storaged_size").get_uint64()) + " " +
                      std::to_string(h.get_obj().at("end_time").get_int64()));
  EXPECT_EQ(summary, (Lines{"vm-failing failed 0 0 1700000090", "vm-ok ok 1000 500 1700000090",
                            "vm-retried ok 3000 1500 1700000090"}));
  EXPECT_EQ(r.job->activity().size.load(), 4000u);
  EXPECT_EQ(r.job->activity().set_storage_size.load(), 2000u);
  EXPECT_EQ(r.job->activity().set_size.load(), 1000u);
  EXPECT_TRUE(f.alert_codes().empty());

  // The test servant writes no progress: every VM ends failed in the final report.
  Job_Event progress = final_progress(r.job);
  EXPECT_EQ(progress.progress.size(), 7u);
  for (const VM_Job_Progress& p : progress.progress)
    EXPECT_EQ(p.state, STATE_FAILED) << p.name;
}

TEST(RHV_Restore_Executor, entries_of_one_vm_share_a_history_and_both_count)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  servant.script(WEB, {Test_Servant::success(reply_for(WEB, "web-01", 100)),
                       Test_Servant::success(reply_for(WEB, "web-01", 300))});
  Restore_Run r(f, "def-twice", restore_source({restore_entry(WEB, "web-01", {"d"}), restore_entry(WEB, "web-01", {"d"})}),
                R"({"original_restore": true, "parallel_vms": 1})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), SUCCEEDED) << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "Successfully restore RHV.\n"));
  ASSERT_EQ(r.histories().size(), 1u);
  EXPECT_EQ(r.histories()[0].get_obj().at("size").get_uint64(), 300u);
  EXPECT_EQ(r.job->activity().size.load(), 400u);
}

TEST(RHV_Restore_Executor, cancel_while_restoring_stops_without_retries)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.restore", servant);
  servant.script(WEB, {Test_Servant::held(Test_Servant::failure(reply_for(WEB, "web-01", 10)))});
  Restore_Run r(f, "def-cancel",
                restore_source({restore_entry(WEB, "web-01", {"d"}), restore_entry(DB, "db-01", {"d"}), restore_entry(APP, "app-02", {"d"})}),
                R"({"original_restore": true, "parallel_vms": 1})");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(servant.wait_running(1));
  EXPECT_EQ(r.job->stop_i(nullptr), 0);
  servant.release_all();
  ASSERT_TRUE(r.wait());

  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::CANCELED}));
  EXPECT_EQ(servant.requests().size(), 1u);
  EXPECT_TRUE(logged(r.job, "Total VM count 3, succeeded VM count 0\n"));
  ASSERT_EQ(r.histories().size(), 1u);
  EXPECT_FALSE(r.histories()[0].get_obj().at("succeed").get_bool());
  for (const VM_Job_Progress& p : final_progress(r.job).progress)
    EXPECT_EQ(p.state, STATE_FAILED) << p.name;
}

TEST(RHV_Restore_Executor, a_restore_waits_for_a_backup_of_the_same_rhv_host)
{
  Backup_Fixture f;
  Test_Servant backup_servant, restore_servant;
  Test_Servant_Registration backup_registration("rhev.backup", backup_servant);
  Test_Servant_Registration restore_registration("rhev.restore", restore_servant);
  backup_servant.set_default(Test_Servant::held(Test_Servant::success(reply_for(WEB, "web-01", 10))));
  restore_servant.set_default(Test_Servant::success(reply_for(APP, "app-02", 10)));

  Test_Job_Host host;
  std::string error;
  Job_Definition_var backup_def = host.make_definition(
      f.definition_json("def-backup"),
      R"({"id": "source-1", "entries": [{"type": "VirtualMachine", "id": ")" + WEB + "\"}]}",
      R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0})", &error);
  ASSERT_FALSE(backup_def.null()) << error;
  Job_var backup = host.create_job(backup_def);
  ASSERT_EQ(backup->start_i(nullptr), 0);
  ASSERT_TRUE(backup_servant.wait_running(1));

  Restore_Run r(f, "def-after", restore_source({restore_entry(APP, "app-02", {"d"})}), IN_PLACE);
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(eventually(
      [&] { return logged(r.job, "Waiting for other jobs of this RHV(" + HOST_RECORD_ID + ") to be completed.\n"); }));
  EXPECT_EQ(restore_servant.requests().size(), 0u);
  backup_servant.release_all();
  ASSERT_TRUE(backup->wait_complete(120, 1));
  ASSERT_TRUE(r.wait());
  EXPECT_EQ(final_events(r.job), SUCCEEDED) << r.job->job_log()->text();
  EXPECT_EQ(restore_servant.requests().size(), 1u);
}

// Replies of many VMs handled at once on several threads, with no scheduler around them:
// every history record is kept and the totals add up.
TEST(RHV_Restore_Executor, replies_handled_at_once_keep_every_history)
{
  Backup_Fixture f;
  Job_var job(new Job(f.definition("def-threads", restore_source({}), IN_PLACE)), false);
  Open_Restore_Executor exec(*job.get());
  const int threads = 8, per_thread = 200;
  std::atomic<int> go{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      ++go;
      while (go.load() < threads)
        std::this_thread::yield();
      for (int i = 0; i < per_thread; ++i) {
        const std::string id = "vm-" + std::to_string(t) + "-" + std::to_string(i);
        json_spirit::Object reply = reply_for(id, id, 8);
        reply["code"] = json_spirit::Value(0);
        EXPECT_EQ(exec.handle_result_i(reply), Task_Base::CODE_SUCCESS);
      }
    });
  for (std::thread& w : workers)
    w.join();
  EXPECT_EQ(exec.histories().size(), static_cast<size_t>(threads * per_thread));
  EXPECT_EQ(exec.source_size(), static_cast<uint64_t>(threads * per_thread * 8));
}
