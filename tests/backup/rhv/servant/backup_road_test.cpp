// The whole backup road: the module loaded by a job host, a backup job made from job
// documents, its VMs backed up by servant processes from the engine simulator into the
// local pool and catalog. Checked afterwards: the engine (no snapshot, no attachment, no
// device left), the pieces (equal to the source disks), one catalog set per VM, the alerts
// in order, the progress files; and every way a backup can fail on the road.

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "backup/rhv/servant/rhv_servant_handler.h"
#include "platform/http/http_session.h"
#include "platform/json/json_dump.h"
#include "tests/support/engine_simulator_servant_road.h"
#include "tests/support/sample_inventory.h"
#include "tests/support/test_servant.h"

namespace inv = sample_inventory;
using test_support::Backup_Road;
using test_support::Engine_Fault;
using test_support::Sim_Disk_Attachment;
using Lines = std::vector<std::string>;

namespace {

const std::string SERVANT_HOST = HOSTS_BIN_DIR "/servant_host";

std::string options(const std::string& extra)
{
  return R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0, )" + extra + "}";
}

// Every piece a catalog set names is stored, and equals its source disk.
void expect_pieces_equal_disks(const Backup_Road& road, const json_spirit::Object& set)
{
  for (const json_spirit::Value& p : set.at("pieces").get_array()) {
    const json_spirit::Object& piece = p.get_obj();
    const std::string& disk = piece.at("object").get_str();
    SCOPED_TRACE(disk);
    EXPECT_EQ(road.image_digest(piece.at("path").get_str(), piece.at("size").get_uint64()),
              road.engine().disk_digest(disk));
  }
}

// The visible files of the pool (hidden temporaries aside).
Lines visible_pool_files(const Backup_Road& road)
{
  Lines out;
  for (const std::string& f : road.pool_files())
    if (f.substr(f.rfind('/') + 1)[0] != '.')
      out.push_back(f);
  return out;
}

// The pool paths of every piece of every catalog set, sorted.
Lines catalog_piece_files(const Backup_Road& road)
{
  Lines out;
  for (const json_spirit::Object& set : road.catalog_sets())
    for (const json_spirit::Value& p : set.at("pieces").get_array())
      out.push_back(std::string(Backup_Road::HOST_RECORD_ID) + "/" + p.get_obj().at("path").get_str());
  std::sort(out.begin(), out.end());
  return out;
}

Lines alert_codes(const Backup_Road& road)
{
  Lines out;
  for (const json_spirit::Object& a : road.alerts())
    out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()));
  return out;
}

// The servant processes this process runs now.
std::vector<pid_t> servant_processes()
{
  std::vector<pid_t> out;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr)
    return out;
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    test_support::Process_Stat stat;
    if (pid > 0 && test_support::read_process_stat(pid, stat) && stat.name == "servant_host" &&
        stat.ppid == ::getpid() && stat.state != 'Z')
      out.push_back(pid);
  }
  ::closedir(proc);
  return out;
}

// Kills the one servant process of this process once `ready` holds.
::testing::AssertionResult kill_the_servant(const std::function<bool()>& ready)
{
  std::vector<pid_t> servants;
  if (!test_support::wait_until([&] { return ready() && (servants = servant_processes()).size() == 1; }))
    return ::testing::AssertionFailure() << "the kill: no moment came with one servant process (" << servants.size()
                                         << " seen)";
  if (::kill(servants[0], SIGKILL) != 0)
    return ::testing::AssertionFailure() << "the kill: servant " << servants[0] << " could not be killed";
  return ::testing::AssertionSuccess();
}

TEST(Backup_Road, backs_up_vms_through_servant_processes_in_order)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  // One VM and one disk at a time, so that the alerts come in one order.
  Job_var job = road.run("def-road", Backup_Road::source({inv::VM_WEB_ID, inv::VM_APP_ID}),
                         options(R"("parallel_vms": 1, "parallel_disks_per_vm": 1, "block_size": 1048576)"));
  ASSERT_NE(job.get(), nullptr);
  EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();

  // The job result: both VMs succeeded, with their sizes.
  json_spirit::Object histories = Backup_Road::histories(job);
  ASSERT_EQ(histories.size(), 2u);
  const uint64_t web_size = 24 * inv::MiB, app_size = 8 * inv::MiB;
  EXPECT_TRUE(histories.at(inv::VM_WEB_ID).get_obj().at("succeed").get_bool());
  EXPECT_EQ(histories.at(inv::VM_WEB_ID).get_obj().at("size").get_uint64(), web_size);
  EXPECT_TRUE(histories.at(inv::VM_APP_ID).get_obj().at("succeed").get_bool());
  EXPECT_EQ(histories.at(inv::VM_APP_ID).get_obj().at("size").get_uint64(), app_size);
  EXPECT_EQ(job->activity().size.load(), web_size + app_size);

  // One catalog set per VM, whose pieces are exactly what the pool holds, each equal to
  // its disk (app-02's shared disk is not backed up).
  std::vector<json_spirit::Object> sets = road.catalog_sets();
  ASSERT_EQ(sets.size(), 2u);
  std::map<std::string, size_t> pieces_per_vm;
  for (const json_spirit::Object& set : sets) {
    pieces_per_vm[set.at("vm_id").get_str()] = set.at("pieces").get_array().size();
    expect_pieces_equal_disks(road, set);
  }
  EXPECT_EQ(pieces_per_vm, (std::map<std::string, size_t>{{inv::VM_WEB_ID, 2}, {inv::VM_APP_ID, 1}}));
  EXPECT_EQ(visible_pool_files(road), catalog_piece_files(road));
  EXPECT_EQ(road.pool_files(), visible_pool_files(road));
  uint64_t stored = 0;
  for (const json_spirit::Object& set : sets)
    stored += set.at("storages").get_array()[0].get_obj().at("size").get_uint64();
  EXPECT_EQ(job->activity().set_storage_size.load(), stored);

  // The alerts, in order: each VM's servant, then the job's success alert of that VM.
  EXPECT_EQ(alert_codes(road), (Lines{"3/8", "3/20", "3/22", "3/20", "3/22", "3/10", "3/31",  // web-01
                                      "3/8", "3/20", "3/22", "3/10", "3/31"}));                // app-02
  Lines lines = road.alert_lines();
  EXPECT_EQ(lines[6], "3/31 [\"web-01\"]");
  EXPECT_EQ(lines[11], "3/31 [\"app-02\"]");
  for (const json_spirit::Object& a : road.alerts())
    EXPECT_EQ(a.at("uuids").get_obj().at("def_id").get_str(), "def-road");

  // The progress files are complete.
  for (const auto& vm : std::map<std::string, uint64_t>{{inv::VM_WEB_ID, web_size}, {inv::VM_APP_ID, app_size}}) {
    test_support::Progress_Snapshot p = road.progress("def-road", vm.first);
    EXPECT_EQ(p.state, 2) << vm.first;
    EXPECT_EQ(p.total_bytes, vm.second);
    EXPECT_EQ(p.processed_bytes, vm.second);
    EXPECT_EQ(p.processed_virtual_disk_count, p.virtual_disk_count);
  }

  // The servants ran in processes of their own, and their lines reached the job log.
  EXPECT_NE(job->job_log()->text().find("Activating 1 thread to backup the VM, disk count = 2, piece count = 2."),
            std::string::npos);
  EXPECT_TRUE(road.engine_clean());
  EXPECT_EQ(road.engine().requests().size(), 37u);  // as many engine requests as a happy run always made
}

TEST(Backup_Road, vms_and_disks_in_parallel)
{
  Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
  Job_var job = road.run("def-par", Backup_Road::source({inv::VM_WEB_ID, inv::VM_DB_ID, inv::VM_APP_ID}),
                         options(R"("parallel_vms": 3, "parallel_disks_per_vm": 3)"));
  ASSERT_NE(job.get(), nullptr);
  EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "SUCCESS"})) << job->job_log()->text();
  std::vector<json_spirit::Object> sets = road.catalog_sets();
  ASSERT_EQ(sets.size(), 3u);
  for (const json_spirit::Object& set : sets)
    expect_pieces_equal_disks(road, set);
  EXPECT_EQ(visible_pool_files(road), catalog_piece_files(road));
  EXPECT_EQ(catalog_piece_files(road).size(), 6u);
  for (const char* vm : {inv::VM_WEB_ID, inv::VM_DB_ID, inv::VM_APP_ID}) {
    test_support::Progress_Snapshot p = road.progress("def-par", vm);
    EXPECT_EQ(p.state, 2) << vm;
    EXPECT_EQ(p.processed_bytes, p.total_bytes) << vm;
    EXPECT_EQ(p.processed_virtual_disk_count, p.virtual_disk_count) << vm;
  }
  // Each VM's own alerts keep their order: snapshot made, disks, snapshot removed, success.
  std::map<std::string, Lines> per_vm;
  for (const json_spirit::Object& a : road.alerts()) {
    const json_spirit::Array& params = a.at("params").get_array();
    const int code = static_cast<int>(a.at("code").get_int64());
    // Disk alerts name the disk ("<vm>_<disk>"), the others the VM.
    std::string vm = code == 20 || code == 22 ? params[1].get_str().substr(0, params[1].get_str().find('_'))
                                              : params[0].get_str();
    per_vm[vm].push_back(std::to_string(code));
  }
  EXPECT_EQ(per_vm["web-01"], (Lines{"8", "20", "22", "20", "22", "10", "31"}));
  EXPECT_EQ(per_vm["app-02"], (Lines{"8", "20", "22", "10", "31"}));
  EXPECT_EQ(per_vm["db-01"], (Lines{"8", "20", "22", "20", "22", "20", "22", "10", "31"}));
  EXPECT_TRUE(road.engine_clean());
}

// One way a VM's backup fails on the road.
struct Road_Failure {
  const char* name;
  std::function<void(Backup_Road&)> setup;
  // Runs on this thread while the job runs.
  std::function<void(Backup_Road&, const Job_var&)> meanwhile;
  Lines alerts;
  const char* final_event;
};

TEST(Backup_Road, a_failed_vm_leaves_no_snapshot_attachment_or_piece)
{
  const std::vector<Road_Failure> cases = {
    {"snapshot refused",
     [](Backup_Road& road) {
       Engine_Fault f;
       f.method = "POST";
       f.path = road.engine().api_path("/vms/[^/]+/snapshots");
       f.status_code = 409;
       road.engine().add_fault(f);
     },
     nullptr, {"7/7"}, "FAILURE"},
    {"attach refused",
     [](Backup_Road& road) {
       Engine_Fault f;
       f.method = "POST";
       f.path = road.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments");
       f.status_code = 409;
       road.engine().add_fault(f);
     },
     nullptr, {"3/8", "7/19", "3/10"}, "FAILURE"},
    {"read error mid-disk", [](Backup_Road& road) { road.engine().set_devices_appear(false); },
     [](Backup_Road& road, const Job_var&) {
       Sim_Disk_Attachment a;
       ASSERT_TRUE(test_support::wait_agent_attachment(road.engine(), a));
       ASSERT_TRUE(test_support::make_device(road.engine(), a, 5 * inv::MiB + 4096));
     },
     {"3/8", "3/20", "3/22", "3/10"}, "FAILURE"},
    {"catalog commit refused",
     [](Backup_Road& road) {
       std::ofstream(road.env().path("blocked"));
       road.env().set("catalog_dir", road.env().path("blocked/catalog"));
     },
     nullptr, {"3/8", "3/20", "3/22", "7/28", "3/10"}, "FAILURE"},
    {"job canceled while the device is awaited", [](Backup_Road& road) { road.engine().set_devices_appear(false); },
     [](Backup_Road& road, const Job_var& job) {
       Sim_Disk_Attachment a;
       ASSERT_TRUE(test_support::wait_agent_attachment(road.engine(), a));
       EXPECT_EQ(job->stop_i(nullptr), 0);
     },
     {"3/8", "7/19", "3/10"}, "CANCELED"},
  };
  for (const Road_Failure& c : cases) {
    SCOPED_TRACE(c.name);
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
    c.setup(road);
    Job_var job = road.start("def-fail", Backup_Road::source({inv::VM_APP_ID}), options(R"("block_size": 1048576)"));
    ASSERT_NE(job.get(), nullptr);
    if (c.meanwhile)
      c.meanwhile(road, job);
    ASSERT_TRUE(road.wait(job));

    EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", c.final_event})) << job->job_log()->text();
    json_spirit::Object histories = Backup_Road::histories(job);
    ASSERT_EQ(histories.size(), 1u);
    EXPECT_FALSE(histories.at(inv::VM_APP_ID).get_obj().at("succeed").get_bool());
    EXPECT_EQ(alert_codes(road), c.alerts);
    EXPECT_TRUE(road.catalog_sets().empty());
    EXPECT_TRUE(road.pool_files().empty()) << road.pool_files().front();
    EXPECT_EQ(road.progress("def-fail", inv::VM_APP_ID).state, 3);
    EXPECT_TRUE(road.engine_clean());
  }
}

// A backup whose disk stays plugged into the agent VM, or whose servant is killed (as it
// starts, or while it waits for a device), leaves things behind that the next run of the
// job clears before it backs the VM up again. A job ends soon after its servant dies.
TEST(Backup_Road, the_next_run_clears_what_a_refused_detach_or_a_dead_servant_left)
{
  struct Row {
    const char* name;
    std::function<void(Backup_Road&)> setup;
    std::function<bool(Backup_Road&)> kill_when;  // the servant is killed once it holds
    const char* first_event;
    Lines first_alerts;
    bool leaves_known;  // the alerts and what the first run leaves do not depend on timing
  };
  const auto no_device = [](Backup_Road& road) { road.engine().set_devices_appear(false); };
  const std::vector<Row> rows = {
    {"detach refused",
     [](Backup_Road& road) {
       Engine_Fault f;
       f.method = "DELETE";
       f.path = road.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments/.*");
       f.status_code = 409;
       road.engine().add_fault(f);
     },
     nullptr, "SUCCESS", {"3/8", "3/20", "7/21", "7/9", "3/31"}, true},
    {"servant killed as it starts", no_device, [](Backup_Road&) { return true; }, "FAILURE", {}, false},
    {"servant killed while it waits for a device", no_device,
     [](Backup_Road& road) {
       Sim_Disk_Attachment a;
       return test_support::wait_agent_attachment(road.engine(), a, 0);
     },
     "FAILURE", {"3/8"}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
    row.setup(road);
    Job_var first = road.start("def-again", Backup_Road::source({inv::VM_APP_ID}));
    ASSERT_NE(first.get(), nullptr);
    if (row.kill_when) {
      ASSERT_TRUE(kill_the_servant([&] { return row.kill_when(road); }));
    }
    ASSERT_TRUE(road.wait(first, "the first run"));
    EXPECT_EQ(Backup_Road::final_events(first), (Lines{"START", row.first_event})) << first->job_log()->text();
    if (row.leaves_known) {
      EXPECT_EQ(alert_codes(road), row.first_alerts);
      // The snapshot and its disk on the agent VM are still there.
      EXPECT_EQ(road.engine().snapshots(inv::VM_APP_ID).size(), 1u);
      EXPECT_FALSE(road.engine_clean());
    }
    EXPECT_TRUE(servant_processes().empty());

    road.engine().clear_faults();
    road.engine().set_devices_appear(true);
    // Piece names carry the start time to the second; the second run must not reuse the
    // first run's names.
    const std::time_t first_second = std::time(nullptr);
    while (std::time(nullptr) == first_second)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Job_var second = road.start("def-again", Backup_Road::source({inv::VM_APP_ID}));
    ASSERT_TRUE(road.wait(second, "the second run"));
    EXPECT_EQ(Backup_Road::final_events(second), (Lines{"START", "SUCCESS"})) << second->job_log()->text();
    EXPECT_TRUE(road.engine_clean());
    std::vector<json_spirit::Object> sets = road.catalog_sets();
    ASSERT_FALSE(sets.empty());
    for (const json_spirit::Object& set : sets)
      expect_pieces_equal_disks(road, set);
    EXPECT_EQ(visible_pool_files(road), catalog_piece_files(road));
  }
}

// The waits of a servant, shortened: these run the servants in this process, with this
// program's own copy of the handler.
TEST(Backup_Road, a_snapshot_that_stays_locked_and_a_device_that_never_appears_fail_the_vm)
{
  struct Row {
    const char* name;
    std::function<void(Backup_Road&)> setup;
    std::function<void(Backup_Road&, size_t)> on_pause;
    Lines alerts;
  };
  const std::vector<Row> rows = {
    {"snapshot stays locked",
     [](Backup_Road& road) {
       test_support::Engine_Timing t;
       t.snapshot_create = std::chrono::hours(1);
       road.engine().set_timing(t);
     },
     [](Backup_Road& road, size_t n) {
       if (n == 30)
         road.engine().run_pending();
     },
     {"3/8", "3/10"}},
    {"device never appears", [](Backup_Road& road) { road.engine().set_devices_appear(false); }, nullptr,
     {"3/8", "7/19", "3/10"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST);
    test_support::Servant_Pauses pauses([&road, &row](size_t n, unsigned) {
      if (row.on_pause)
        row.on_pause(road, n);
    });
    RHV_Backup_Servant_Handler handler;
    road.use_inprocess_handler(&handler);
    row.setup(road);
    Job_var job = road.run("def-wait", Backup_Road::source({inv::VM_APP_ID}));
    ASSERT_NE(job.get(), nullptr);
    EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", "FAILURE"})) << job->job_log()->text();
    EXPECT_EQ(alert_codes(road), row.alerts);
    EXPECT_TRUE(road.catalog_sets().empty());
    EXPECT_TRUE(road.pool_files().empty());
    EXPECT_EQ(road.progress("def-wait", inv::VM_APP_ID).state, 3);
    EXPECT_TRUE(road.engine_clean());
    road.use_inprocess_handler(nullptr);
  }
}

// The engine carries a create or a removal out and loses its answer: the connection
// closes, or the answer comes after the client has given up (a short receive time-out in
// the platform configuration). What was made is found and removed all the same. A removal
// sent again is answered "not found" (404, no body), which counts as done; or, while the
// engine is still removing the snapshot, refused as busy in either of the engine's
// wordings, and the snapshot is awaited as after an accepted removal.
TEST(Backup_Road, an_answer_lost_on_the_way_leaves_nothing_behind)
{
  const std::string snapshots = "/vms/" + std::string(inv::VM_APP_ID) + "/snapshots";
  const Lines done = {"3/8", "3/20", "3/22", "3/10", "3/31"};
  const struct {
    const char* method;
    std::string path;
    Engine_Fault::Kind kind;
    const char* outcome;
    Lines alerts;
    std::vector<int> statuses;  // of the calls of the route, in order
    int removal_ms = 0;         // how long the engine takes to remove a snapshot
    const char* second = nullptr;  // the detail of a 409 answering the second sending
  } rows[] = {{"POST", snapshots, Engine_Fault::done_then_close, "FAILURE", {"7/7", "3/10"}, {0}},
              {"POST", snapshots, Engine_Fault::done_then_late, "FAILURE", {"7/7", "3/10"}, {0}},
              {"POST", "/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments", Engine_Fault::done_then_close,
               "FAILURE", {"3/8", "7/19", "3/10"}, {0}},
              // The client sends the removal again on a new connection.
              {"DELETE", snapshots + "/[^/]+", Engine_Fault::done_then_close, "SUCCESS", done, {0, 404}},
              {"DELETE", "/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments/[^/]+",
               Engine_Fault::done_then_close, "SUCCESS", done, {0, 404}},
              {"DELETE", snapshots + "/[^/]+", Engine_Fault::done_then_close, "SUCCESS", done, {0, 409}, 1500},
              {"DELETE", snapshots + "/[^/]+", Engine_Fault::done_then_close, "SUCCESS", done, {0, 409}, 1500,
               "[Cannot remove Snapshot. Snapshot is locked. Please try again in a few minutes.]"}};
  for (bool tls : {false, true}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.method) + " " + row.path + " kind " + std::to_string(row.kind) +
                   (tls ? " over TLS" : "") + (row.second ? row.second : ""));
      Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST, 1, tls);
      if (row.kind == Engine_Fault::done_then_late)
        road.env().set("engine_recv_timeout_ms", "5000");
      test_support::Engine_Timing timing;
      timing.snapshot_remove = std::chrono::milliseconds(row.removal_ms);
      road.engine().set_timing(timing);
      Engine_Fault f;
      f.method = row.method;
      f.path = road.engine().api_path(row.path);
      f.kind = row.kind;
      f.delay = std::chrono::minutes(10);  // cut short when the engine stops
      const int fault = road.engine().add_fault(f);
      if (row.second != nullptr) {
        Engine_Fault busy = f;
        busy.nth = 2;
        busy.kind = Engine_Fault::error_status;
        busy.status_code = 409;
        busy.detail = row.second;
        road.engine().add_fault(busy);
      }
      Job_var job = road.run("def-lost", Backup_Road::source({inv::VM_APP_ID}));
      ASSERT_NE(job.get(), nullptr);
      EXPECT_EQ(road.engine().fault_hits(fault), 1);
      EXPECT_EQ(Backup_Road::final_events(job), (Lines{"START", row.outcome})) << job->job_log()->text();
      EXPECT_EQ(Backup_Road::histories(job).size(), 1u);
      EXPECT_EQ(alert_codes(road), row.alerts);
      std::vector<int> statuses;
      const std::regex route(f.path);
      for (const test_support::Engine_Request& r : road.engine().requests())
        if (r.method == row.method && std::regex_match(r.path, route))
          statuses.push_back(r.status);
      EXPECT_EQ(statuses, row.statuses);
      const bool failed = std::string(row.outcome) == "FAILURE";
      EXPECT_TRUE(road.catalog_sets().empty() == failed && road.pool_files().empty() == failed);
      EXPECT_TRUE(road.engine_clean());
    }
  }
}

// A job cancelled while its snapshot is being made: the servant stops waiting for it, lets
// the engine finish it (the engine refuses to remove it before), removes it and replies
// long before the stop grace (60 s) is over.
TEST(Backup_Road, a_cancel_ends_the_snapshot_wait_and_the_snapshot_is_still_removed)
{
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "over TLS" : "over plain HTTP");
    Backup_Road road(RHV_MODULE_PATH, SERVANT_HOST, 1, tls);
    test_support::Engine_Timing t;
    t.snapshot_create = std::chrono::hours(1);
    road.engine().set_timing(t);
    Job_var job = road.start("def-cancel", Backup_Road::source({inv::VM_APP_ID}));
    ASSERT_NE(job.get(), nullptr);
    EXPECT_TRUE(road.cancel_when(
        job, inv::VM_APP_ID, [&] { return !road.engine().snapshots(inv::VM_APP_ID).empty(); },
        "Failed to wait snapshot"));
    EXPECT_TRUE(road.catalog_sets().empty());
    EXPECT_TRUE(road.engine_clean());
  }
}

}  // namespace
