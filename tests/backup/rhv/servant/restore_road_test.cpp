// The round trip through servant processes: a backup job backs VMs of the engine simulator
// up into the local pool and catalog, then a restore job made from job documents restores
// them as new VMs. Checked: every restored disk equals its source disk byte for byte, the
// new VMs, the restore job's result and totals, the alerts; and that a failed restore
// leaves no disk or VM of its own on the engine.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/engine_simulator_servant_road.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using test_support::Backup_Road;
using test_support::Engine_Fault;
using test_support::Sim_Disk;
using test_support::Sim_VM;
using Lines = std::vector<std::string>;

namespace {

const std::string SERVANT_HOST = HOSTS_BIN_DIR "/servant_host";

// Backs the VMs up; the job must succeed.
void back_up(Backup_Road& road, const std::vector<std::string>& vm_ids)
{
  Job_var job = road.run("rt-backup", Backup_Road::source(vm_ids));
  ASSERT_NE(job.get(), nullptr);
  ASSERT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();
  road.mark_engine();
}

Lines alert_codes(const Backup_Road& road)
{
  Lines out;
  for (const json_spirit::Object& a : road.alerts())
    out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()));
  return out;
}

}  // namespace

TEST(Restore_Road, backed_up_vms_come_back_as_new_vms_with_equal_disks)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  back_up(road, {inv::VM_WEB_ID, inv::VM_APP_ID});
  const size_t backup_alerts = road.alerts().size();
  road.engine().clear_requests();

  Job_var job = road.run_restore("rt-restore", road.restore_source({inv::VM_WEB_ID, inv::VM_APP_ID}),
                                 R"({"original_restore": true, "parallel_vms": 2, "parallel_disks_per_vm": 2})");
  ASSERT_NE(job.get(), nullptr);
  ASSERT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();

  // Every disk of the two VMs (two of web-01, one of app-02) came back with its bytes.
  std::vector<Backup_Road::Restored_Disk> disks = road.restored_disks();
  ASSERT_EQ(disks.size(), 3u);
  Lines sources;
  for (const Backup_Road::Restored_Disk& d : disks) {
    SCOPED_TRACE(d.restored.name);
    EXPECT_TRUE(d.equal);
    EXPECT_EQ(d.restored.storage_domain_id, d.source.storage_domain_id);
    EXPECT_EQ(d.restored.provisioned_size, d.source.provisioned_size);
    sources.push_back(d.source.id);
  }
  std::sort(sources.begin(), sources.end());
  Lines expected = {inv::DISK_WEB_OS_ID, inv::DISK_WEB_DATA_ID, inv::DISK_APP_OS_ID};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sources, expected);

  // Two new VMs named after their sources, in the source clusters, holding the disks.
  std::vector<Sim_VM> vms = road.new_vms();
  ASSERT_EQ(vms.size(), 2u);
  // app-02's shared disk is not backed up, so not restored.
  const std::map<std::string, size_t> disk_counts = {{"web-01", 2}, {"app-02", 1}};
  for (const Sim_VM& vm : vms) {
    Sim_VM source;
    const std::string base = vm.name.substr(0, vm.name.size() - 15);
    ASSERT_TRUE(road.engine().find_vm_by_name(base, source)) << vm.name;
    EXPECT_EQ(vm.cluster_id, source.cluster_id);
    EXPECT_EQ(road.engine().attachments(vm.id).size(), disk_counts.at(base)) << vm.name;
  }

  // The job result: one successful history per source VM, in VM-id order, and the totals.
  json_spirit::Object histories = Backup_Road::histories(job);
  ASSERT_EQ(histories.size(), 2u);
  uint64_t size = 0;
  for (const auto& h : histories) {
    EXPECT_TRUE(h.second.get_obj().at("succeed").get_bool()) << h.first;
    size += h.second.get_obj().at("size").get_uint64();
  }
  EXPECT_EQ(job->activity().size.load(), size);
  EXPECT_GT(size, 0u);
  EXPECT_GT(job->activity().set_size.load(), 0u);

  // Disk and VM creation are announced; nothing is left plugged into the agent VM.
  Lines alerts = alert_codes(road);
  alerts.erase(alerts.begin(), alerts.begin() + static_cast<long>(backup_alerts));
  EXPECT_EQ(std::count(alerts.begin(), alerts.end(), "3/24"), 3);
  EXPECT_EQ(std::count(alerts.begin(), alerts.end(), "3/26"), 2);
  EXPECT_EQ(std::count_if(alerts.begin(), alerts.end(), [](const std::string& a) { return a[0] == '7'; }), 0);
  EXPECT_TRUE(road.engine_clean());
  // As many engine requests as a happy run always made, with one search by name before each
  // new disk and each new VM (the space monitor's storage-domain reads aside: they follow
  // the clock).
  EXPECT_EQ(road.engine().count_requests("GET", road.engine().api_path("/disks")), 3u);
  EXPECT_EQ(road.engine().count_requests("GET", road.engine().api_path("/vms")), 2u);
  EXPECT_EQ(road.engine().requests().size() - road.engine().count_requests("GET", ".*/storagedomains/.*"), 25u);
}

TEST(Restore_Road, a_restore_into_another_cluster)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  back_up(road, {inv::VM_APP_ID});
  Job_var job = road.run_restore("rt-other", road.restore_source({inv::VM_APP_ID}, inv::CLUSTER_EAST_PROD_ID),
                                 R"({"original_restore": false})");
  ASSERT_NE(job.get(), nullptr);
  ASSERT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();
  std::vector<Sim_VM> vms = road.new_vms();
  ASSERT_EQ(vms.size(), 1u);
  EXPECT_EQ(vms[0].cluster_id, inv::CLUSTER_EAST_PROD_ID);
  std::vector<Backup_Road::Restored_Disk> disks = road.restored_disks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_TRUE(disks[0].equal);
}

TEST(Restore_Road, a_failed_restore_leaves_nothing_of_its_own)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  back_up(road, {inv::VM_WEB_ID});

  struct Case {
    const char* name;
    std::function<void()> setup;
    size_t disks_removed;  // what the restore made and then removed
    size_t vms_removed;
  } cases[] = {
      // The disks and the VM exist when the second disk cannot go to the new VM.
      {"attach to the new VM refused",
       [&] {
         Engine_Fault f;
         f.method = "POST";
         f.path = road.engine().api_path("/vms/(?!" + std::string(inv::AGENT_VM_ID) + ")[^/]+/diskattachments");
         f.nth = 2;
         f.status_code = 409;
         road.engine().add_fault(f);
       },
       2, 1},
      // The VM cannot be made once its disks are.
      {"VM creation refused",
       [&] {
         Engine_Fault f;
         f.method = "POST";
         f.path = road.engine().api_path("/vms");
         f.status_code = 400;
         road.engine().add_fault(f);
       },
       2, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    road.engine().clear_requests();
    c.setup();
    Job_var job = road.run_restore("rt-fail-" + std::to_string(++n), road.restore_source({inv::VM_WEB_ID}));
    ASSERT_NE(job.get(), nullptr);
    EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "FAILURE"})) << job->job_log()->text();
    json_spirit::Object histories = Backup_Road::histories(job);
    ASSERT_EQ(histories.size(), 1u);
    EXPECT_FALSE(histories.begin()->second.get_obj().at("succeed").get_bool());
    EXPECT_NE(job->job_log()->text().find("Total VM count 1, succeeded VM count 0\n"), std::string::npos);

    Lines left;
    for (const Sim_VM& vm : road.new_vms())
      left.push_back("VM " + vm.name);
    for (const Sim_Disk& d : road.new_disks())
      left.push_back("disk " + d.name);
    EXPECT_EQ(left, Lines{});
    EXPECT_EQ(road.engine().count_requests("DELETE", road.engine().api_path("/disks/[^/]+")), c.disks_removed);
    EXPECT_EQ(road.engine().count_requests("DELETE", road.engine().api_path("/vms/[^/]+")), c.vms_removed);
    EXPECT_TRUE(road.engine_clean());
  }

  // The same backup still restores once the engine lets it.
  Job_var job = road.run_restore("rt-after", road.restore_source({inv::VM_WEB_ID}));
  ASSERT_NE(job.get(), nullptr);
  EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();
  for (const Backup_Road::Restored_Disk& d : road.restored_disks())
    EXPECT_TRUE(d.equal) << d.restored.name;
}

// The engine carries a call out and closes the connection instead of answering. A disk or
// VM made so is found by its name and removed, a disk plugged into the agent VM so is
// unplugged; a detach whose first sending was carried out is answered "not found" when
// sent again, and counts as done.
TEST(Restore_Road, an_answer_lost_on_the_way_leaves_nothing_behind)
{
  const std::string agent_attachments = "/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments";
  const struct {
    const char* method;
    std::string path;
    bool succeeds;
  } rows[] = {{"POST", "/disks", false},
              {"POST", "/vms", false},
              {"POST", agent_attachments, false},
              {"DELETE", agent_attachments + "/[^/]+", true}};
  for (bool tls : {false, true}) {
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST, 1, tls);
    back_up(road, {inv::VM_APP_ID});
    // A servant still at work after a stop is killed a second later.
    std::ofstream(road.servant_conf(), std::ios::app) << "stop_grace=1\n";
    const size_t pool_files = road.pool_files().size();
    int n = 0;
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.method) + " " + row.path + (tls ? " over TLS" : ""));
      Engine_Fault f;
      f.method = row.method;
      f.path = road.engine().api_path(row.path);
      f.kind = Engine_Fault::done_then_close;
      const int fault = road.engine().add_fault(f);
      const size_t before = road.engine().count_requests(row.method, f.path);
      Job_var job = road.start_restore("rt-lost-" + std::to_string(++n), road.restore_source({inv::VM_APP_ID}));
      ASSERT_NE(job.get(), nullptr);
      // The call is sent at most twice: a third sending is a retry that would go on for
      // minutes; the job is then stopped.
      const auto sent = [&] { return road.engine().count_requests(row.method, f.path) - before; };
      EXPECT_TRUE(test_support::wait_until([&] { return job->completed() > 0 || sent() > 2; }));
      EXPECT_LE(sent(), 2u);
      if (job->completed() == 0)
        job->stop_i(nullptr);
      EXPECT_TRUE(road.wait(job));
      EXPECT_EQ(road.engine().fault_hits(fault), 1);
      EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", row.succeeds ? "SUCCESS" : "FAILURE"}))
          << job->job_log()->text();
      EXPECT_EQ(Backup_Road::histories(job).size(), 1u);
      // A failed restore leaves no disk or VM; one that succeeded leaves its VM and disk.
      EXPECT_EQ(road.new_vms().size() + road.new_disks().size(), row.succeeds ? 2u : 0u);
      EXPECT_TRUE(road.engine_clean());
      EXPECT_TRUE(road.catalog_sets().size() == 1 && road.pool_files().size() == pool_files);
      road.engine().clear_faults();
    }
  }
}

// A restore job cancelled while its servant waits on the engine: the servant stops waiting,
// removes what it made and replies long before the stop grace (60 s) is over.
TEST(Restore_Road, a_cancel_ends_the_waits_and_the_clean_up_leaves_nothing)
{
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "over TLS" : "over plain HTTP");
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST, 1, tls);
    back_up(road, {inv::VM_APP_ID});
    test_support::Engine_Timing locked;
    locked.disk_create = std::chrono::hours(1);
    // A device that never appears; a new disk that stays locked, which the engine refuses to
    // remove until it is made: it is made once the servant has stopped waiting for it.
    for (const char* made_after : {static_cast<const char*>(nullptr), "Failed to add disk "}) {
      SCOPED_TRACE(made_after ? "new disk stays locked" : "device never appears");
      road.engine().set_devices_appear(made_after != nullptr);
      road.engine().set_timing(made_after ? locked : test_support::Engine_Timing());
      Job_var job = road.start_restore(made_after ? "rt-locked" : "rt-device", road.restore_source({inv::VM_APP_ID}));
      ASSERT_NE(job.get(), nullptr);
      test_support::Sim_Disk_Attachment a;
      EXPECT_TRUE(road.cancel_when(
          job, inv::VM_APP_ID,
          [&] { return made_after ? !road.new_disks().empty() : test_support::wait_agent_attachment(road.engine(), a, 0); },
          made_after));
      EXPECT_TRUE(road.new_vms().empty());
      EXPECT_TRUE(road.new_disks().empty());
      EXPECT_TRUE(road.engine_clean());
    }
  }
}

// A real engine keeps a new disk or VM locked for a while, refuses to remove it meanwhile,
// allows several disks of one name and refuses a second VM of one name. When a create's
// answer is lost, the clean-up waits for what this run made and removes it, never a disk or
// VM that another client made with the same name; when it cannot tell them apart, it
// removes none.
TEST(Restore_Road, after_a_lost_answer_only_what_this_run_made_is_removed_once_made)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  back_up(road, {inv::VM_APP_ID});
  Sim_Disk source;
  ASSERT_TRUE(road.engine().find_disk(inv::DISK_APP_OS_ID, source));
  std::vector<std::string> namesakes;
  // Other clients' disks of the name searched or created: on the target domain with the
  // size asked, or on another "domain", or of another "size"; or a "vm" of that name.
  auto namesakes_of = [&](const Lines& kinds) {
    return [&, kinds](const test_support::Engine_Request& r) {
      json_spirit::Value body;
      Sim_Disk d = source;
      d.id.clear();
      d.name = json_spirit::parse(r.body, body) ? body.get_obj().at("name").get_str() : r.param("search").substr(5);
      for (const std::string& kind : kinds) {
        if (kind == "vm") {
          Sim_VM vm;
          vm.name = d.name;
          vm.cluster_id = inv::CLUSTER_EAST_DEV_ID;
          namesakes.push_back(road.engine().add_vm(vm));
          continue;
        }
        d.storage_domain_id = kind == "domain" ? inv::SD_WEST_NFS_ID : source.storage_domain_id;
        d.provisioned_size = source.provisioned_size * (kind == "size" ? 2 : 1);
        namesakes.push_back(road.engine().add_disk(d));
      }
    };
  };
  auto fault = [&](const char* method, const std::string& path, Engine_Fault::Kind kind, int status,
                   std::function<void(const test_support::Engine_Request&)> beside) {
    Engine_Fault f;
    f.method = method;
    f.path = road.engine().api_path(path);
    f.kind = kind;
    f.status_code = status;
    f.detail = "[Cannot remove it. It is locked. Please try again later.]";
    f.beside = std::move(beside);
    road.engine().add_fault(f);
  };
  const std::string disks = "/disks", vms = "/vms";
  const auto lost = Engine_Fault::done_then_close, pass = Engine_Fault::pass, refused = Engine_Fault::error_status;
  const struct {
    const char* what;
    const std::string& create;  // the create that fails: lost after it was carried out, dropped, refused
    Engine_Fault::Kind kind;
    Lines before, after;          // namesakes made beside the name search before the create, beside the create
    bool locked;                  // what it makes stays locked for 2 s
    const std::string& removed;   // what the clean-up removes; its first removal is refused as locked, or
    Engine_Fault::Kind first;     // answered by a not found page, or carried out
    size_t removals, left;        // removals sent, disks and VMs of this run left
    const char* line;
  } rows[] = {
      {"disk still being made", disks, lost, {}, {}, true, disks, refused, 2, 0, "Found disk "},
      {"beside a namesake", disks, lost, {"same"}, {}, false, disks, pass, 1, 0, "Found disk "},
      {"beside namesakes made meanwhile elsewhere or of another size", disks, lost, {}, {"domain", "size"}, false,
       disks, pass, 1, 0, "Found disk "},
      {"beside a namesake made meanwhile", disks, lost, {}, {"same"}, false, disks, pass, 0, 1,
       "None of them is removed.\n"},
      {"dropped before it was carried out, beside a namesake", disks, Engine_Fault::close_connection, {"same"}, {},
       false, disks, pass, 0, 0, ""},
      {"VM still being made", vms, lost, {}, {}, true, vms, refused, 2, 0, "Found VM "},
      {"VM refused beside a namesake", vms, lost, {"vm"}, {}, false, vms, pass, 0, 0,
       "was there before the create: it is not this run's and is left alone.\n"},
      {"a removal answered by a not found page", vms, refused, {}, {}, false, disks, Engine_Fault::html, 1, 1,
       "Failed to remove disk "},
  };
  int n = 0;
  std::time_t last = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    // Names carry the second: no row meets the disks of the one before.
    while (std::time(nullptr) == last)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    road.mark_engine();
    road.engine().clear_requests();
    namesakes.clear();
    test_support::Engine_Timing timing;
    if (row.locked)
      (row.create == disks ? timing.disk_create : timing.vm_create) = std::chrono::seconds(2);
    road.engine().set_timing(timing);
    fault("GET", row.create, pass, 0, namesakes_of(row.before));
    fault("POST", row.create, row.kind, 400, namesakes_of(row.after));
    fault("DELETE", row.removed + "/[^/]+", row.first, row.first == Engine_Fault::html ? 404 : 409, nullptr);

    Job_var job = road.run_restore("rt-made-" + std::to_string(++n), road.restore_source({inv::VM_APP_ID}));
    ASSERT_NE(job.get(), nullptr);
    EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "FAILURE"})) << job->job_log()->text();
    EXPECT_NE(job->job_log()->text().find(row.line), std::string::npos) << job->job_log()->text();
    EXPECT_EQ(road.engine().count_requests("DELETE", road.engine().api_path(row.removed + "/[^/]+")), row.removals);
    EXPECT_EQ(road.new_vms().size() + road.new_disks().size(), row.left + namesakes.size());
    Sim_Disk kept;
    Sim_VM kept_vm;
    for (const std::string& id : namesakes)
      EXPECT_TRUE(road.engine().find_disk(id, kept) || road.engine().find_vm(id, kept_vm)) << id;
    EXPECT_TRUE(road.engine_clean());
    road.engine().clear_faults();
    last = std::time(nullptr);
  }
}
