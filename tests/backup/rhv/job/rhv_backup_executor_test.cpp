// Backup jobs run as the product's job host runs them: the module loaded with dlopen, the
// documents read through its parsers, the job started and awaited, tasks dispatched to
// in-process servants. Checked: the task parameters, the job result "rhev", the activity
// totals, alerts, progress reports, retries and failures of servant replies, the per-host
// job guard, cancelling, and bad documents.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/backup/rhv/job/backup_fixture.h"
#include "tests/support/test_job_host.h"
#include "tests/support/test_servant.h"

using namespace backup_test;
using Lines = std::vector<std::string>;

namespace {

const std::string NO_RESERVE = R"("storage_reserved_bytes": 0, "storage_reserved_percent": 0)";

// Adds a VM of cluster east-dev with one 1-MiB disk on the NFS domain; returns its id.
std::string add_vm(test_support::Engine_Simulator& e, const std::string& name)
{
  test_support::Sim_VM vm;
  vm.name = name;
  vm.cluster_id = inv::CLUSTER_EAST_DEV_ID;
  std::string id = e.add_vm(vm);
  test_support::Sim_Disk disk;
  disk.name = name + "_Disk1";
  disk.storage_domain_id = inv::SD_EAST_NFS_ID;
  disk.provisioned_size = inv::MiB;
  test_support::Sim_Disk_Attachment a;
  a.vm_id = id;
  a.disk_id = e.add_disk(disk);
  a.bootable = true;
  EXPECT_TRUE(e.attach_disk(a));
  return id;
}

// A servant's backup result for a VM, without "code".
json_spirit::Object result_for(const std::string& vm_id, const std::string& vm_name, uint64_t size)
{
  json_spirit::Object r = parse(R"({"data_center_id": ")" + std::string(inv::DC_EAST_ID) +
                                R"(", "data_center_name": "east", "cluster_id": "c", "cluster_name": "cn",
                                    "host_id": "", "host_name": "", "start_time": 1700000000,
                                    "end_time": 1700000090})")
                              .get_obj();
  r["vm_id"] = json_spirit::Value(vm_id);
  r["vm_name"] = json_spirit::Value(vm_name);
  r["source_size"] = json_spirit::Value(static_cast<unsigned long>(size));
  r["storage_size"] = json_spirit::Value(static_cast<unsigned long>(size / 2));
  r["set_size"] = json_spirit::Value(static_cast<unsigned long>(size / 4));
  return r;
}

}  // namespace

TEST(RHV_Backup_Executor, a_data_center_backup_sends_one_task_per_vm_and_keeps_their_histories)
{
  Backup_Fixture f;
  Backup_Servant_Stub servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  // db-01 lies on the iSCSI domain with 18 GiB (3.6 %) free: a 16-GiB, 3-% reserve lets it in.
  Job_Run r(f, "def-dc", source({src_entry("Datacenter", inv::DC_EAST_ID)}),
            R"({"storage_reserved_bytes": 17179869184, "storage_reserved_percent": 3, "parallel_vms": 3,
                "parallel_disks_per_vm": 5, "compression": "none", "block_size": 65536})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}))
      << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "Assign 3 threads to backup RHV VMs.\n"));
  EXPECT_TRUE(logged(r.job, "Job Options:\n\tcompression=auto\n\tcompression_level=0\n\tblock_size=65536\n"
                            "\tparallel_vms=3\n\tparallel_disks_per_vm=3\n"));
  EXPECT_TRUE(logged(r.job, "Successfully backup RHV.\n"));

  // What each servant was asked to do.
  std::vector<RHV_Backup_Params> tasks = servant.requests();
  ASSERT_EQ(tasks.size(), 3u);
  std::sort(tasks.begin(), tasks.end(),
            [](const RHV_Backup_Params& a, const RHV_Backup_Params& b) { return a.vm_id < b.vm_id; });
  const char* names[] = {"web-01", "db-01", "app-02"};
  const size_t disk_counts[] = {2, 3, 1};
  uint64_t total_source = 0;
  for (size_t i = 0; i < tasks.size(); ++i) {
    const RHV_Backup_Params& t = tasks[i];
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(t.vm_name, names[i]);
    EXPECT_EQ(t.attachments.size(), disk_counts[i]);
    EXPECT_EQ(t.def_id, "def-dc");
    EXPECT_EQ(t.host_uuid, HOST_RECORD_ID);
    EXPECT_EQ(t.resource_uuid, "source-1");
    EXPECT_EQ(t.job_revision, 7);
    EXPECT_EQ(t.access_key, "test-access-key");
    EXPECT_EQ(t.backupd_host, "127.0.0.1");
    EXPECT_EQ(t.data_center_name, "east");
    EXPECT_EQ(t.host_id, "");
    EXPECT_EQ(t.parallel_disks_per_vm, 3u);
    EXPECT_EQ(t.parallel_workers_per_disk, 1u);
    EXPECT_EQ(t.block_size, 65536u);
    EXPECT_EQ(t.client_io_opts.compression_method, 1);
    EXPECT_EQ(t.client_io_opts.d2t_access_mode, D2T_Access_RPC);
    EXPECT_EQ(t.client_io_opts.extra_options.at("X-Access-Key"), "test-access-key");
    EXPECT_EQ(t.host_info.agent_vm_id, inv::AGENT_VM_ID);
    EXPECT_EQ(t.host_info.agent_vm_name, inv::AGENT_VM_NAME);
    EXPECT_EQ(t.host_info.password, "engine-password");
    EXPECT_EQ(t.pool_url, "file://" + f.env().default_pool_dir() + "/" + HOST_RECORD_ID);
    EXPECT_EQ(dump(t.catalog), R"({"agent":"agent-1","name":"nightly","pool_uuid":")" +
                                   std::string(Standin_Env::DEFAULT_POOL_UUID) + "\"}");
    EXPECT_EQ(t.backup_method, NFC);
    EXPECT_EQ(t.backup_type, JOB_DEFINITION_SUBTYPE_FULL);
    for (const RHV_Disk_Attachment& a : t.attachments)
      total_source += a.disk.provisioned_size;
  }

  // The job result: one history per VM, in VM-id order.
  json_spirit::Array histories = r.histories();
  ASSERT_EQ(histories.size(), 3u);
  const std::set<std::string> keys = {"cluster_id", "cluster_name", "data_center_id", "data_center_name",
                                      "end_time",   "host_id",      "host_name",      "name",
                                      "set_size",   "size",         "start_time",     "storaged_size",
                                      "succeed",    "vm_id"};
  for (size_t i = 0; i < histories.size(); ++i) {
    const json_spirit::Object& h = histories[i].get_obj();
    std::set<std::string> have;
    for (const auto& m : h)
      have.insert(m.first);
    EXPECT_EQ(have, keys);
    EXPECT_EQ(h.at("name").get_str(), names[i]);
    EXPECT_EQ(h.at("vm_id").get_str(), tasks[i].vm_id);
    EXPECT_TRUE(h.at("succeed").get_bool());
    EXPECT_EQ(h.at("storaged_size").get_uint64() * 2, h.at("size").get_uint64());
  }
  EXPECT_EQ(r.job->activity().size.load(), total_source);
  EXPECT_EQ(r.job->activity().set_storage_size.load(), total_source / 2);

  Lines alerts = f.alert_codes();
  std::sort(alerts.begin(), alerts.end());
  EXPECT_EQ(alerts, (Lines{"3/31 [\"app-02\"]", "3/31 [\"db-01\"]", "3/31 [\"web-01\"]"}));

  // The servants wrote their progress files; the final report shows them completed.
  Job_Event progress = final_progress(r.job);
  ASSERT_EQ(progress.progress.size(), 3u);
  for (const VM_Job_Progress& p : progress.progress) {
    EXPECT_EQ(p.state, STATE_COMPLETED) << p.name;
    EXPECT_EQ(p.processed_bytes, p.total_bytes) << p.name;
    EXPECT_GT(p.total_bytes, 0u) << p.name;
  }
}

TEST(RHV_Backup_Executor, nothing_to_back_up_succeeds_with_a_warning_alert)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  // The options are not even read without VMs.
  Job_Run r(f, "def-none", source({src_entry("VirtualMachine", inv::AGENT_VM_ID)}), R"({"block_size": 4096})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}));
  EXPECT_TRUE(logged(r.job, "No RHV VMs to backup.\n"));
  EXPECT_FALSE(logged(r.job, "Resolving RHV options.\n"));
  EXPECT_EQ(f.alert_codes(), Lines{"5/3 []"});
  EXPECT_EQ(r.job->results().count("rhev"), 0u);
  EXPECT_TRUE(servant.requests().empty());
  EXPECT_EQ(r.job->activity().size.load(), 0u);
}

TEST(RHV_Backup_Executor, servant_replies_of_each_kind)
{
  Backup_Fixture f;
  test_support::Engine_Simulator& e = f.engine();
  const std::string web = inv::VM_WEB_ID, db = inv::VM_DB_ID, app = inv::VM_APP_ID;
  const std::string bad = add_vm(e, "bad-01"), lacking = add_vm(e, "lacking-01"), failing = add_vm(e, "failing-01"),
                    text = add_vm(e, "text-01");
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  json_spirit::Object without_host_name = result_for(lacking, "lacking-01", 100);
  without_host_name.erase("host_name");
  Test_Servant::Action text_result;
  text_result.result = json_spirit::Value("done");
  servant.script(web, {Test_Servant::success(result_for(web, "web-01", 1000))});
  servant.script(db, {Test_Servant::failure(result_for(db, "db-01", 5000)),
                      Test_Servant::success(result_for(db, "db-01", 3000))});
  servant.script(app, {Test_Servant::error(-32603, "servant crashed")});
  servant.script(bad, {Test_Servant::malformed()});
  servant.script(lacking, {Test_Servant::success(without_host_name)});
  servant.script(failing, {Test_Servant::failure(result_for(failing, "failing-01", 7000))});
  servant.script(text, {text_result});

  std::vector<std::string> entries;
  for (const std::string& id : {web, db, app, bad, lacking, failing, text})
    entries.push_back(src_entry("VirtualMachine", id));
  Job_Run r(f, "def-replies", source(entries), "{" + NO_RESERVE + R"(, "parallel_vms": 4})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::FAILURE}));
  EXPECT_TRUE(logged(r.job, "Total RHV VM count 7, succeeded VM count 2\n")) << r.job->job_log()->text();

  // Retries only for a servant's failure code, up to the definition's retry count (2).
  EXPECT_EQ(servant.count(web), 1u);
  EXPECT_EQ(servant.count(db), 2u);
  EXPECT_EQ(servant.count(app), 1u);
  EXPECT_EQ(servant.count(bad), 1u);
  EXPECT_EQ(servant.count(lacking), 1u);
  EXPECT_EQ(servant.count(failing), 3u);
  EXPECT_EQ(servant.count(text), 1u);
  EXPECT_TRUE(logged(r.job, "JSON-RPC request returned errno -32603: servant crashed\n"));
  EXPECT_GE(count_logged(r.job, "Unrecognized RHV VM backup response: JSON member 'host_name' not found.\n"), 1u);
  bool not_response = false, not_object = false;
  for (const Job_Log::Line& l : r.job->job_log()->lines()) {
    not_response |= l.text.rfind("Unexpected error in backup/rhv/job/rhv_executor.cpp:", 0) == 0 &&
                    l.text.find(", obj is not JSON-RPC response!\n") != std::string::npos;
    not_object |= l.text.rfind("Unexpected error in backup/rhv/job/rhv_executor:", 0) == 0 &&
                  l.text.find(", rsp->result is not object!\n") != std::string::npos;
  }
  EXPECT_TRUE(not_response);
  EXPECT_TRUE(not_object);
  EXPECT_EQ(count_logged(r.job, "Failed to backup RHV VM: the result is " +
                                    dump(json_spirit::Value([&] {
                                      json_spirit::Object o = result_for(failing, "failing-01", 7000);
                                      o["code"] = json_spirit::Value(1);
                                      return o;
                                    }())) +
                                    ", try again.\n"),
            3u);

  // Histories: the last attempt of each VM that answered readably, in VM-id order.
  json_spirit::Array histories = r.histories();
  std::vector<std::string> summary;
  for (const json_spirit::Value& h : histories)
    summary.push_back(h.get_obj().at("name").get_str() + (h.get_obj().at("succeed").get_bool() ? " ok " : " failed ") +
                      std::to_string(h.get_obj().at("storaged_size").get_uint64()));
  std::vector<std::pair<std::string, std::string>> expected = {
      {web, "web-01 ok 500"}, {db, "db-01 ok 1500"}, {failing, "failing-01 failed 0"}};
  std::sort(expected.begin(), expected.end());
  Lines expected_summary;
  for (const auto& x : expected)
    expected_summary.push_back(x.second);
  EXPECT_EQ(summary, expected_summary);
  EXPECT_EQ(r.job->activity().size.load(), 4000u);
  EXPECT_EQ(r.job->activity().set_storage_size.load(), 2000u);
  EXPECT_EQ(r.job->activity().set_size.load(), 1000u);
  Lines alerts = f.alert_codes();
  std::sort(alerts.begin(), alerts.end());
  EXPECT_EQ(alerts, (Lines{"3/31 [\"db-01\"]", "3/31 [\"web-01\"]"}));

  // The test servant writes no progress: every VM ends failed in the final report.
  Job_Event progress = final_progress(r.job);
  EXPECT_EQ(progress.progress.size(), 7u);
  for (const VM_Job_Progress& p : progress.progress)
    EXPECT_EQ(p.state, STATE_FAILED) << p.name;
}

// The history of a VM is kept under the id its reply names: the servant names the VM of
// its task even when it fails before it could fetch the VM, so a reply without one is an
// old or foreign servant's, and such replies share one record.
TEST(RHV_Backup_Executor, histories_are_kept_under_the_vm_the_reply_names)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  servant.script(inv::VM_WEB_ID, {Test_Servant::failure(result_for("", "", 10))});
  servant.script(inv::VM_APP_ID, {Test_Servant::failure(result_for(inv::VM_APP_ID, "app-02", 10))});
  Job_Run r(f, "def-unnamed", source({src_entry("VirtualMachine", inv::VM_WEB_ID), src_entry("VirtualMachine", inv::VM_APP_ID)}),
            "{" + NO_RESERVE + "}");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(servant.requests().size(), 6u);
  ASSERT_EQ(r.histories().size(), 2u) << dump(json_spirit::Value(r.histories()));
  std::vector<std::string> ids;
  for (const json_spirit::Value& h : r.histories()) {
    ids.push_back(h.get_obj().at("vm_id").get_str());
    EXPECT_FALSE(h.get_obj().at("succeed").get_bool());
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"", inv::VM_APP_ID}));
}

TEST(RHV_Backup_Executor, parallelism_is_capped_by_the_number_of_vms)
{
  Backup_Fixture f;
  Backup_Servant_Stub servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  {
    Job_Run r(f, "def-one", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}),
              R"({"parallel_vms": 4, "parallel_disks_per_vm": 5})");
    ASSERT_TRUE(r.run());
    EXPECT_TRUE(logged(r.job, "Assign 1 threads to backup RHV VMs.\n"));
    ASSERT_EQ(servant.requests().size(), 1u);
    EXPECT_EQ(servant.requests()[0].parallel_disks_per_vm, 5u);
  }
  std::vector<std::string> entries = {src_entry("Cluster", inv::CLUSTER_EAST_PROD_ID),
                                      src_entry("Cluster", inv::CLUSTER_EAST_DEV_ID)};
  for (int i = 0; i < 9; ++i)
    add_vm(f.engine(), "many-" + std::to_string(i));
  Job_Run r(f, "def-many", source(entries), "{" + NO_RESERVE + R"(, "parallel_vms": 10, "parallel_disks_per_vm": 5})");
  ASSERT_TRUE(r.run());
  EXPECT_TRUE(logged(r.job, "Assign 10 threads to backup RHV VMs.\n"));
  EXPECT_TRUE(logged(r.job, "Successfully backup RHV.\n")) << r.job->job_log()->text();
  std::vector<RHV_Backup_Params> tasks = servant.requests();
  ASSERT_EQ(tasks.size(), 13u);
  for (size_t i = 1; i < tasks.size(); ++i)
    EXPECT_EQ(tasks[i].parallel_disks_per_vm, 1u);
  EXPECT_EQ(r.histories().size(), 12u);
}

TEST(RHV_Backup_Executor, a_vm_that_fails_twice_and_then_succeeds_is_backed_up)
{
  Backup_Fixture f;
  Backup_Servant_Stub servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  servant.script(inv::VM_DB_ID, {1, 1, 0});
  Job_Run r(f, "def-again", source({src_entry("Datacenter", inv::DC_EAST_ID)}),
            R"({"storage_reserved_bytes": 17179869184, "storage_reserved_percent": 3, "parallel_vms": 3})");
  ASSERT_TRUE(r.run());
  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}))
      << r.job->job_log()->text();
  EXPECT_TRUE(logged(r.job, "Successfully backup RHV.\n"));
  EXPECT_EQ(servant.requests().size(), 5u);
  const json_spirit::Array histories = r.histories();
  ASSERT_EQ(histories.size(), 3u);
  for (const json_spirit::Value& h : histories)
    EXPECT_TRUE(h.get_obj().at("succeed").get_bool()) << dump(h);
  // The thread count is a debug line, as the restore's is.
  size_t assign_lines = 0;
  for (const Job_Log::Line& l : r.job->job_log()->lines())
    if (l.text == "Assign 3 threads to backup RHV VMs.\n") {
      ++assign_lines;
      EXPECT_EQ(l.priority, LM_DEBUG);
    }
  EXPECT_EQ(assign_lines, 1u);
}

TEST(RHV_Backup_Executor, bad_documents_fail_the_job_and_raise_no_task)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  const std::string web = source({src_entry("VirtualMachine", inv::VM_WEB_ID)});
  struct Case {
    const char* name;
    std::string source;
    std::string options;
    std::string line;
  } cases[] = {
      {"unknown type", source({src_entry("Host", "h")}), "{}", "Unknown entry type 'Host'.\n"},
      {"no entries", R"({"id": "source-1"})", "{}",
       "Invalid entries in backup sources: JSON Pointer path '/entries' not exist in JSON!\n"},
      {"mistyped id", R"({"entries": [{"type": "Cluster", "id": 5}]})", "{}", ""},
      {"block size", web, R"({"block_size": 4096})", "Option block_size exceeded limits.\n"},
      {"parallel VMs", web, R"({"parallel_vms": 0})", "Option parallel_vms exceeded limits.\n"},
      {"disks per VM", web, R"({"parallel_disks_per_vm": 6})", "Option parallel_disks_per_vm exceeded limits.\n"},
      {"san", web, R"({"backup_method": "san"})", "Unsupported backup method 'san'.\n"},
  };
  int n = 0;
  for (const Case& c : cases) {
    Job_Run r(f, "def-bad-" + std::to_string(++n), c.source, c.options);
    ASSERT_TRUE(r.run()) << c.name;
    EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::FAILURE})) << c.name;
    if (!c.line.empty())
      EXPECT_TRUE(logged(r.job, c.line)) << c.name << "\n" << r.job->job_log()->text();
    else
      EXPECT_NE(r.job->job_log()->text().find("Invalid entries in backup sources: JSON member 'id' is "),
                std::string::npos)
          << r.job->job_log()->text();
    EXPECT_EQ(r.job->results().count("rhev"), 0u) << c.name;
  }
  EXPECT_TRUE(servant.requests().empty());
  EXPECT_TRUE(f.alert_codes().empty());
}

TEST(RHV_Backup_Executor, jobs_of_one_rhv_host_wait_for_each_other)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  servant.script(inv::VM_WEB_ID, {Test_Servant::held(Test_Servant::success(result_for(inv::VM_WEB_ID, "web-01", 10)))});
  servant.set_default(Test_Servant::success(result_for(inv::VM_APP_ID, "app-02", 10)));
  const std::string waiting = "Waiting for other jobs of this RHV(" + HOST_RECORD_ID + ") to be completed.\n";
  const std::string app = source({src_entry("VirtualMachine", inv::VM_APP_ID)});

  Job_Run first(f, "def-first", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}), "{}");
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(servant.wait_running(1));

  // A job asked to cancel while it waits gives up.
  Job_Run canceled(f, "def-canceled", app, "{}");
  ASSERT_TRUE(canceled.start());
  ASSERT_TRUE(eventually([&] { return logged(canceled.job, waiting); }));
  EXPECT_EQ(canceled.job->stop_i(nullptr), 0);
  ASSERT_TRUE(canceled.wait());
  EXPECT_EQ(final_events(canceled.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::CANCELED}));
  EXPECT_FALSE(logged(canceled.job, "Resolving RHV backup entries.\n"));

  // An aborting job keeps waiting for its turn.
  Job_Run aborting(f, "def-aborting", app, "{}");
  ASSERT_TRUE(aborting.start());
  ASSERT_TRUE(eventually([&] { return logged(aborting.job, waiting); }));
  aborting.job->state_i(JOB_STATE_ABORTING);
  ASSERT_TRUE(eventually([&] { return count_logged(aborting.job, waiting) >= 2; }));
  EXPECT_EQ(aborting.job->completed(), 0);

  // A second job waits for the first.
  Job_Run second(f, "def-second", app, "{}");
  ASSERT_TRUE(second.start());
  ASSERT_TRUE(eventually([&] { return logged(second.job, waiting); }));
  EXPECT_EQ(servant.count(inv::VM_APP_ID), 0u);

  servant.release_all();
  ASSERT_TRUE(first.wait());
  ASSERT_TRUE(second.wait());
  ASSERT_TRUE(aborting.wait());
  EXPECT_EQ(final_events(first.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}));
  EXPECT_EQ(final_events(second.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::SUCCESS}));
  EXPECT_TRUE(logged(second.job, "Successfully backup RHV.\n"));
  // The aborting job took the guard in turn, then stopped before dispatching.
  EXPECT_TRUE(logged(aborting.job, "Resolving RHV backup entries.\n"));
  EXPECT_EQ(final_events(aborting.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::FAILURE}));
  EXPECT_EQ(servant.count(inv::VM_APP_ID), 1u);
}

TEST(RHV_Backup_Executor, cancel_while_dispatching_stops_without_retries)
{
  Backup_Fixture f;
  Test_Servant servant;
  Test_Servant_Registration registration("rhev.backup", servant);
  servant.script(inv::VM_WEB_ID,
                 {Test_Servant::held(Test_Servant::failure(result_for(inv::VM_WEB_ID, "web-01", 10)))});
  Job_Run r(f, "def-cancel",
            source({src_entry("VirtualMachine", inv::VM_WEB_ID), src_entry("VirtualMachine", inv::VM_DB_ID),
                    src_entry("VirtualMachine", inv::VM_APP_ID)}),
            "{" + NO_RESERVE + R"(, "parallel_vms": 1})");
  ASSERT_TRUE(r.start());
  ASSERT_TRUE(servant.wait_running(1));
  EXPECT_EQ(r.job->stop_i(nullptr), 0);
  servant.release_all();
  ASSERT_TRUE(r.wait());

  EXPECT_EQ(final_events(r.job), (std::vector<Job_Event::Kind>{Job_Event::START, Job_Event::CANCELED}));
  EXPECT_EQ(servant.requests().size(), 1u);
  EXPECT_TRUE(logged(r.job, "Total RHV VM count 3, succeeded VM count 0\n"));
  ASSERT_EQ(r.histories().size(), 1u);
  EXPECT_FALSE(r.histories()[0].get_obj().at("succeed").get_bool());
  Job_Event progress = final_progress(r.job);
  EXPECT_EQ(progress.progress.size(), 3u);
  for (const VM_Job_Progress& p : progress.progress)
    EXPECT_EQ(p.state, STATE_FAILED) << p.name;
}

// The servant task scheduler may hand the replies of several VMs to the result callback at
// once, from its own threads: every VM keeps its history record.
TEST(RHV_Backup_Executor, replies_handled_at_once_keep_every_history)
{
  struct Probe : RHV_Backup_Executor {
    using RHV_Backup_Executor::RHV_Backup_Executor;
    size_t histories() const { return histories_.size(); }
  };
  Backup_Fixture f;
  Job_var job(new Job(f.definition("def-concurrent", source({}), "{}")), false);
  Probe exec(*job.get());
  const int threads = 8, per_thread = 40;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&exec, t] {
      for (int i = 0; i < per_thread; ++i) {
        json_spirit::Object reply = result_for("vm-" + std::to_string(t) + "-" + std::to_string(i), "vm", 10);
        reply["code"] = json_spirit::Value(1);
        exec.handle_result_i(reply);
      }
    });
  for (std::thread& w : workers)
    w.join();
  EXPECT_EQ(exec.histories(), static_cast<size_t>(threads * per_thread));
}
