// The agent backup worker against the engine simulator, in this process: the stored
// pieces equal the source disks, the catalog record, the reply, the alerts in order, the
// progress record, and what every failure leaves behind (nothing: no snapshot, no
// attachment, no device, no piece).

#include "backup/rhv/servant/rhv_agent_backup.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "backup/rhv/servant/rhv_servant_handler.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/engine_simulator_servant.h"
#include "tests/support/log_capture.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using test_support::Engine_Fault;
using test_support::Servant_Pauses;
using test_support::Servant_Test_Bed;
using test_support::Sim_Disk_Attachment;
using Lines = std::vector<std::string>;

namespace {

std::string dump(const json_spirit::Value& v)
{
  return JSON_Dump(v).str();
}

// "<level>/<code>" of each alert.
Lines alert_codes(const Servant_Test_Bed& bed)
{
  Lines out;
  for (const json_spirit::Object& a : bed.alerts())
    out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()));
  return out;
}

// Runs one backup request through the handler on this thread; the reply's result.
json_spirit::Object run_backup(Servant_Test_Bed& bed, const RHV_Backup_Params& params)
{
  RHV_Backup_Servant_Handler handler;
  JSON_RPC_Object_var reply = bed.call(handler, "rhev.backup", json_spirit::Value(params.dump()));
  if (reply.get() == nullptr || reply->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    ADD_FAILURE() << "no response";
    return json_spirit::Object();
  }
  const json_spirit::Value& result = static_cast<const JSON_RPC_Response*>(reply.get())->result;
  EXPECT_EQ(result.type(), json_spirit::obj_type);
  return result.type() == json_spirit::obj_type ? result.get_obj() : json_spirit::Object();
}

// mkdir -p.
bool make_dirs(const std::string& path)
{
  for (size_t pos = 1; pos <= path.size(); ++pos)
    if (pos == path.size() || path[pos] == '/')
      if (::mkdir(path.substr(0, pos).c_str(), 0750) != 0 && errno != EEXIST)
        return false;
  return true;
}

// The pieces stored under the pool (temporary files included).
Lines stored_files(const Servant_Test_Bed& bed)
{
  return bed.pool_files();
}

std::string piece_path(const std::string& vm_id, const std::string& disk_id, time_t start, const char* subtype)
{
  char stamp[32];
  struct tm tm;
  gmtime_r(&start, &tm);
  strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
  return "RHV/" + vm_id + "/nfc_" + disk_id + "_" + stamp + "_" + subtype + "_1-piece";
}

// Adds a VM of cluster east-dev named `name` with one disk of `size` bytes on the NFS
// domain (its id `disk_id`, made when empty); returns the VM's id.
std::string add_one_disk_vm(Servant_Test_Bed& bed, const std::string& name, uint64_t size,
                            const std::string& disk_id = "")
{
  test_support::Sim_VM vm;
  vm.name = name;
  vm.cluster_id = inv::CLUSTER_EAST_DEV_ID;
  const std::string vm_id = bed.engine().add_vm(vm);
  test_support::Sim_Disk disk;
  disk.id = disk_id;
  disk.name = name + "_Disk1";
  disk.storage_domain_id = inv::SD_EAST_NFS_ID;
  disk.provisioned_size = static_cast<int64_t>(size);
  Sim_Disk_Attachment a;
  a.vm_id = vm_id;
  a.disk_id = bed.engine().add_disk(disk);
  EXPECT_TRUE(bed.engine().attach_disk(a));
  return vm_id;
}

TEST(RHV_Agent_Backup, backs_up_every_disk_of_the_vm_and_leaves_nothing_behind)
{
  Servant_Test_Bed bed;
  RHV_Backup_Params params = bed.backup_params("def-1", inv::VM_WEB_ID);
  params.parallel_disks_per_vm = 1;  // one piece after the other: the alerts come in a fixed order
  ASSERT_TRUE(bed.make_job_files("def-1", inv::VM_WEB_ID));

  Log_Capture log(true);
  const json_spirit::Object result = run_backup(bed, params);
  EXPECT_EQ(result.at("code").get_int64(), 0) << log.dump();

  // The reply.
  const uint64_t source = 24 * inv::MiB;
  EXPECT_EQ(result.at("source_size").get_uint64(), source);
  EXPECT_EQ(result.at("set_size").get_uint64(), source);
  EXPECT_EQ(result.at("vm_id").get_str(), inv::VM_WEB_ID);
  EXPECT_EQ(result.at("vm_name").get_str(), "web-01");
  EXPECT_EQ(result.at("data_center_name").get_str(), "east");
  EXPECT_EQ(result.at("cluster_name").get_str(), "east-prod");
  EXPECT_EQ(result.at("host_id").get_str(), "");
  const time_t start = static_cast<time_t>(result.at("start_time").get_int64());
  EXPECT_LE(start, result.at("end_time").get_int64());
  EXPECT_TRUE(log.contains("Activating 1 thread to backup the VM, disk count = 2, piece count = 2.\n"));

  // The pieces: one per disk, each an image equal to its disk.
  const std::string os_piece = piece_path(inv::VM_WEB_ID, inv::DISK_WEB_OS_ID, start, "full");
  const std::string data_piece = piece_path(inv::VM_WEB_ID, inv::DISK_WEB_DATA_ID, start, "full");
  const std::string host = Servant_Test_Bed::HOST_RECORD_ID;
  Lines expected_files = {host + "/" + os_piece, host + "/" + data_piece};
  std::sort(expected_files.begin(), expected_files.end());
  EXPECT_EQ(stored_files(bed), expected_files);
  EXPECT_EQ(bed.image_digest(os_piece, 16 * inv::MiB), bed.engine().disk_digest(inv::DISK_WEB_OS_ID));
  EXPECT_EQ(bed.image_digest(data_piece, 8 * inv::MiB), bed.engine().disk_digest(inv::DISK_WEB_DATA_ID));
  struct stat os_stat, data_stat;
  ASSERT_EQ(::stat((bed.pool_dir() + "/" + host + "/" + os_piece).c_str(), &os_stat), 0);
  ASSERT_EQ(::stat((bed.pool_dir() + "/" + host + "/" + data_piece).c_str(), &data_stat), 0);
  EXPECT_EQ(result.at("storage_size").get_uint64(), static_cast<uint64_t>(os_stat.st_size + data_stat.st_size));

  // The catalog record.
  std::vector<json_spirit::Object> sets = bed.catalog_sets();
  ASSERT_EQ(sets.size(), 1u);
  const json_spirit::Object& set = sets[0];
  EXPECT_EQ(set.at("name").get_str(), "nightly");
  EXPECT_EQ(set.at("agent").get_str(), "agent-1");
  EXPECT_EQ(set.at("format_version").get_str(), "1.0");
  EXPECT_EQ(set.at("backup_method").get_str(), "nfc");
  EXPECT_EQ(set.at("host_uuid").get_str(), host);
  EXPECT_EQ(set.at("uri").get_str(), host);
  EXPECT_EQ(set.at("full_set_uuid").get_str(), set.at("set_uuid").get_str());
  EXPECT_EQ(dump(set.at("set_uuids")), "[\"" + set.at("set_uuid").get_str() + "\"]");
  EXPECT_EQ(set.at("activity_uid").get_str(), "6b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3");
  EXPECT_EQ(set.at("activity_id").get_str(), "a0a1a2a3-b0b1-4c0c-8d0d-e0e1e2e3e4e5");
  EXPECT_EQ(set.at("def_id").get_str(), "def-1");
  EXPECT_EQ(set.at("resource_uuid").get_str(), "source-1");
  EXPECT_EQ(set.at("vm_id").get_str(), inv::VM_WEB_ID);
  EXPECT_EQ(set.at("subtype").get_str(), "full");
  EXPECT_EQ(set.at("start_time").get_int64(), static_cast<int64_t>(start));
  EXPECT_EQ(set.at("set_size").get_uint64(), source);
  EXPECT_EQ(set.at("source_size").get_uint64(), source);
  EXPECT_EQ(dump(set.at("storages")), R"([{"attrs":{"code_name":"reborn"},"pool_uuid":")" +
                                          std::string(Standin_Env::DEFAULT_POOL_UUID) + R"(","size":)" +
                                          std::to_string(result.at("storage_size").get_uint64()) + "}]");
  EXPECT_EQ(dump(set.at("pieces")),
            R"([{"extended_attrs":{"block_size":1048576,"index":1,"offset":0,"source_size":16777216},"object":")" +
                std::string(inv::DISK_WEB_OS_ID) + R"(","path":")" + os_piece + R"(","size":16777216},)" +
                R"({"extended_attrs":{"block_size":1048576,"index":1,"offset":0,"source_size":8388608},"object":")" +
                inv::DISK_WEB_DATA_ID + R"(","path":")" + data_piece + R"(","size":8388608}])");
  const json_spirit::Object& rhev = set.at("rhev").get_obj();
  EXPECT_EQ(rhev.at("data_center_id").get_str(), inv::DC_EAST_ID);
  EXPECT_EQ(rhev.at("vm").get_obj().at("name").get_str(), "web-01");
  EXPECT_EQ(rhev.at("version").get_obj().at("major").get_str(), "4");
  const json_spirit::Array& attachments = rhev.at("disk_attachments").get_array();
  ASSERT_EQ(attachments.size(), 2u);
  for (const json_spirit::Value& a : attachments) {
    const json_spirit::Object& disk = a.get_obj().at("disk").get_obj();
    EXPECT_EQ(disk.count("snapshot"), 0u);  // the snapshot's record of the disk, without its link
    EXPECT_EQ(dump(disk.at("storage_domains")),
              R"({"storage_domain":[{"id":")" + std::string(inv::SD_EAST_NFS_ID) + R"(","name":"east-nfs"}]})");
  }
  const json_spirit::Array& nics = rhev.at("nics").get_array();
  ASSERT_EQ(nics.size(), 2u);
  for (const json_spirit::Value& n : nics)
    EXPECT_FALSE(n.get_obj().at("vnic_profile").get_obj().at("name").get_str().empty());

  // The alerts, in order, with their parameters.
  const std::string description = "tessera3-agent-" + host + "-" + std::to_string(start);
  const std::string agent = inv::AGENT_VM_NAME;
  EXPECT_EQ(bed.alert_lines(), (Lines{
                                   "3/8 [\"web-01\",\"" + description + "\"]",
                                   "3/20 [\"" + agent + "\",\"web-01_Disk1\"]",
                                   "3/22 [\"" + agent + "\",\"web-01_Disk1\"]",
                                   "3/20 [\"" + agent + "\",\"web-01_data\"]",
                                   "3/22 [\"" + agent + "\",\"web-01_data\"]",
                                   "3/10 [\"web-01\",\"" + description + "\"]",
                               }));

  // The progress record.
  test_support::Progress_Snapshot progress = bed.progress("def-1", inv::VM_WEB_ID);
  EXPECT_EQ(progress.state, 2);
  EXPECT_EQ(progress.virtual_disk_count, 2);
  EXPECT_EQ(progress.processed_virtual_disk_count, 2);
  EXPECT_EQ(progress.total_bytes, source);
  EXPECT_EQ(progress.processed_bytes, source);
  EXPECT_EQ(progress.start_time, static_cast<int64_t>(start));
  EXPECT_EQ(progress.end_time, result.at("end_time").get_int64());

  EXPECT_TRUE(bed.engine_clean());
  // The snapshot held exactly the task's disks, and each was attached as a virtio disk of
  // that snapshot, inactive as boot disk.
  std::vector<test_support::Engine_Request> requests = bed.engine().requests();
  size_t attaches = 0;
  for (const test_support::Engine_Request& r : requests)
    if (r.method == "POST" && r.path == bed.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) +
                                                              "/diskattachments")) {
      ++attaches;
      json_spirit::Value body;
      ASSERT_TRUE(json_spirit::parse(r.body, body, nullptr));
      const json_spirit::Object& o = body.get_obj();
      EXPECT_EQ(o.at("interface").get_str(), "virtio");
      EXPECT_EQ(o.at("active").get_str(), "true");
      EXPECT_EQ(o.at("bootable").get_str(), "false");
      EXPECT_EQ(o.at("disk").get_obj().count("snapshot"), 1u);
    }
  EXPECT_EQ(attaches, 2u);
}

TEST(RHV_Agent_Backup, pieces_run_in_parallel_up_to_the_disks_and_logical_names_are_used)
{
  Servant_Test_Bed bed;
  bed.engine().set_logical_names(true);
  RHV_Backup_Params params = bed.backup_params("def-p", inv::VM_DB_ID);
  params.parallel_disks_per_vm = 8;
  params.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
  ASSERT_TRUE(bed.make_job_files("def-p", inv::VM_DB_ID));

  Log_Capture log(true);
  const json_spirit::Object result = run_backup(bed, params);
  EXPECT_EQ(result.at("code").get_int64(), 0) << log.dump();
  EXPECT_TRUE(log.contains("Activating 3 thread to backup the VM, disk count = 3, piece count = 3.\n")) << log.dump();

  const time_t start = static_cast<time_t>(result.at("start_time").get_int64());
  for (const char* disk : {inv::DISK_DB_OS_ID, inv::DISK_DB_DATA_ID, inv::DISK_DB_LOG_ID}) {
    SCOPED_TRACE(disk);
    test_support::Sim_Disk d;
    ASSERT_TRUE(bed.engine().find_disk(disk, d));
    // Piece names carry the job's subtype; the catalog records a full backup.
    EXPECT_EQ(bed.image_digest(piece_path(inv::VM_DB_ID, disk, start, "incremental"),
                               static_cast<uint64_t>(d.provisioned_size)),
              bed.engine().disk_digest(disk));
  }
  ASSERT_EQ(bed.catalog_sets().size(), 1u);
  EXPECT_EQ(bed.catalog_sets()[0].at("subtype").get_str(), "full");
  test_support::Progress_Snapshot progress = bed.progress("def-p", inv::VM_DB_ID);
  EXPECT_EQ(progress.processed_virtual_disk_count, 3);
  EXPECT_EQ(progress.processed_bytes, progress.total_bytes);
  EXPECT_TRUE(bed.engine_clean());
}

// One failure of a backup: how it is set up, what the test does while the worker runs,
// and what must come out.
struct Failure_Case {
  const char* name;
  const char* vm_id;
  std::function<void(Servant_Test_Bed&, RHV_Backup_Params&)> setup;
  // Runs at each pause of the worker (the worker waits for the engine or a device).
  std::function<void(Servant_Test_Bed&, size_t n)> on_pause;
  Lines alerts;                                      // "<level>/<code>" in order
  int disks_done;                                    // disks counted as backed up
  Lines errors;                                      // lines (prefixes) the run logs at LM_ERROR
  std::function<void(Servant_Test_Bed&, const Servant_Pauses&)> check;
};

std::string agent_attachments(const Servant_Test_Bed& bed)
{
  return bed.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments(/.*)?");
}

TEST(RHV_Agent_Backup, a_failed_backup_removes_its_pieces_and_its_snapshot)
{
  const std::vector<Failure_Case> cases = {
    {"snapshot refused", inv::VM_WEB_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) {
       Engine_Fault f;
       f.method = "POST";
       f.path = bed.engine().api_path("/vms/[^/]+/snapshots");
       f.status_code = 409;
       bed.engine().add_fault(f);
     },
     nullptr, {"7/7"}, 0, {"Failed to create snapshot 'tessera3-agent-"}, nullptr},
    {"attach refused", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) {
       Engine_Fault f;
       f.method = "POST";
       f.path = agent_attachments(bed);
       f.status_code = 409;
       bed.engine().add_fault(f);
     },
     nullptr, {"3/8", "7/19", "3/10"}, 0, {"Failed to attach disk 'app-02_Disk1' of snapshot 'tessera3-agent-"},
     [](Servant_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("POST", agent_attachments(bed)), 1u);
     }},
    {"catalog refused", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) {
       // The catalog folder cannot be made: a file is in the way.
       ASSERT_EQ(::close(::open(bed.env().path("blocked").c_str(), O_CREAT | O_WRONLY, 0640)), 0);
       bed.env().set("catalog_dir", bed.env().path("blocked/catalog"));
     },
     nullptr, {"3/8", "3/20", "3/22", "7/28", "3/10"}, 1, {"Failed to commit catalog for RHV VM 'app-02'.\n"}, nullptr},
    {"catalog without pool", inv::VM_APP_ID,
     [](Servant_Test_Bed&, RHV_Backup_Params& p) { p.catalog.erase("pool_uuid"); }, nullptr,
     {"3/8", "3/20", "3/22", "7/28", "3/10"}, 1, {"Failed to extract catalog from params: "}, nullptr},
    {"no disks", inv::VM_EMPTY_ID, nullptr, nullptr, {"3/8", "7/5", "3/10"}, 0,
     {"No disks found for snapshot 'tessera3-agent-"},
     [](Servant_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.alert_lines()[1], "7/5 [\"empty-01\"]");
       EXPECT_EQ(bed.progress("def-f", inv::VM_EMPTY_ID).total_bytes, 0u);
     }},
    {"snapshot stays locked", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) {
       test_support::Engine_Timing t;
       t.snapshot_create = std::chrono::hours(1);
       bed.engine().set_timing(t);
     },
     // The lock ends during the last wait, after the last poll: the wait has failed, the
     // removal that follows is allowed.
     [](Servant_Test_Bed& bed, size_t n) {
       if (n == 30)
         bed.engine().run_pending();
     },
     {"3/8", "3/10"}, 0, {"Failed to wait snapshot 'tessera3-agent-"},
     [](Servant_Test_Bed&, const Servant_Pauses& pauses) {
       // 30 polls of the new snapshot, 1 s doubling up to 120 s; the removal found it gone at once.
       std::vector<unsigned> expected = {1, 2, 4, 8, 16, 32, 64};
       expected.resize(30, 120);
       EXPECT_EQ(pauses.seconds(), expected);
     }},
    {"device never appears", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) { bed.engine().set_devices_appear(false); }, nullptr,
     {"3/8", "7/19", "3/10"}, 0, {"Failed to attach disk 'app-02_Disk1' of snapshot 'tessera3-agent-"},
     [](Servant_Test_Bed& bed, const Servant_Pauses& pauses) {
       // 11 attempts, each waiting 1, 2, then 3 s eleven times in all, then detached and 1 s more.
       std::vector<unsigned> expected;
       for (int attempt = 0; attempt < 11; ++attempt) {
         for (unsigned s : {1u, 2u, 3u, 3u, 3u, 3u, 3u, 3u, 3u, 3u, 3u})
           expected.push_back(s);
         expected.push_back(1);
       }
       EXPECT_EQ(pauses.seconds(), expected);
       EXPECT_EQ(bed.engine().count_requests("POST", agent_attachments(bed)), 11u);
       EXPECT_EQ(bed.engine().count_requests("DELETE", agent_attachments(bed)), 11u);
     }},
    {"device shorter than the disk", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) { bed.engine().set_devices_appear(false); },
     [](Servant_Test_Bed& bed, size_t n) {
       Sim_Disk_Attachment a;
       if (n == 1 && test_support::wait_agent_attachment(bed.engine(), a, 0)) {
         EXPECT_TRUE(test_support::make_device(bed.engine(), a, 3 * inv::MiB + 512));
       }
     },
     {"3/8", "3/20", "3/22", "3/10"}, 0,
     {"Failed to read data, offset: 3145728, len: '512', errno=5.\n", "Failed to read data from '"}, nullptr},
    {"job canceled while copying", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) { bed.engine().set_devices_appear(false); },
     [](Servant_Test_Bed& bed, size_t n) {
       Sim_Disk_Attachment a;
       if (n == 1 && test_support::wait_agent_attachment(bed.engine(), a, 0)) {
         bed.activity()->state = JOB_STATE_CANCELING;
         EXPECT_TRUE(test_support::make_device(bed.engine(), a));
       }
     },
     {"3/8", "3/20", "3/22", "3/10"}, 0, {"Job canceled while backing.\n", "Failed to read data from '"},
     [](Servant_Test_Bed& bed, const Servant_Pauses&) {
       // One block went through before the cancel was seen.
       EXPECT_EQ(bed.progress("def-f", inv::VM_APP_ID).processed_bytes, static_cast<uint64_t>(inv::MiB));
     }},
    {"job canceled while the device is awaited", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) { bed.engine().set_devices_appear(false); },
     [](Servant_Test_Bed& bed, size_t n) {
       if (n == 1)
         bed.activity()->state = JOB_STATE_CANCELING;
     },
     {"3/8", "7/19", "3/10"}, 0, {"Failed to attach disk 'app-02_Disk1' of snapshot 'tessera3-agent-"},
     [](Servant_Test_Bed&, const Servant_Pauses& pauses) {
       // The wait ends at the cancel: no check of the device after it, no pause after the detach.
       EXPECT_EQ(pauses.seconds(), std::vector<unsigned>{1});
     }},
    {"piece not stored at close", inv::VM_APP_ID,
     [](Servant_Test_Bed& bed, RHV_Backup_Params&) {
       // A folder where the piece must go: the pool cannot store the piece under its name.
       const time_t now = std::time(nullptr);
       for (time_t t = now - 2; t < now + 120; ++t) {
         std::string dir = bed.pool_dir() + "/" + Servant_Test_Bed::HOST_RECORD_ID + "/" +
                           piece_path(inv::VM_APP_ID, inv::DISK_APP_OS_ID, t, "full");
         ASSERT_TRUE(make_dirs(dir + "/x"));
       }
     },
     nullptr, {"3/8", "3/20", "3/22", "3/10"}, 0, {"Failed to read data from '"},
     [](Servant_Test_Bed& bed, const Servant_Pauses&) { EXPECT_TRUE(bed.catalog_sets().empty()); }},
  };

  for (const Failure_Case& c : cases) {
    SCOPED_TRACE(c.name);
    Servant_Test_Bed bed;
    Servant_Pauses pauses([&bed, &c](size_t n, unsigned) {
      if (c.on_pause)
        c.on_pause(bed, n);
    });
    RHV_Backup_Params params = bed.backup_params("def-f", c.vm_id);
    ASSERT_TRUE(bed.make_job_files("def-f", c.vm_id));
    if (c.setup)
      c.setup(bed, params);

    Log_Capture log(true);
    const json_spirit::Object result = run_backup(bed, params);

    EXPECT_EQ(result.at("code").get_int64(), 1);
    EXPECT_EQ(result.at("vm_id").get_str(), c.vm_id);
    EXPECT_EQ(alert_codes(bed), c.alerts);
    for (const std::string& error : c.errors) {
      bool found = false;
      for (const std::string& line : log.texts(LM_ERROR))
        found = found || line.rfind(error, 0) == 0;
      EXPECT_TRUE(found) << error << " not in\n" << log.dump();
    }
    EXPECT_TRUE(log.contains("Failed to backup vm.\n"));
    const test_support::Progress_Snapshot progress = bed.progress("def-f", c.vm_id);
    EXPECT_EQ(progress.state, 3);
    EXPECT_EQ(progress.processed_virtual_disk_count, c.disks_done);
    EXPECT_LE(progress.processed_bytes, progress.total_bytes);
    EXPECT_TRUE(bed.engine_clean());
    // Nothing of the piece stays in the pool, not even a partial one.
    EXPECT_TRUE(bed.catalog_sets().empty() || std::string(c.name) == "catalog refused");
    EXPECT_TRUE(bed.pool_files().empty()) << "left in the pool: " << bed.pool_files().front();
    if (c.check)
      c.check(bed, pauses);
  }
}

TEST(RHV_Agent_Backup, a_vm_whose_disks_are_all_empty_commits_an_empty_record)
{
  Servant_Test_Bed bed;
  const std::string vm_id = add_one_disk_vm(bed, "blank-01", 0);

  RHV_Backup_Params params = bed.backup_params("def-z", vm_id);
  ASSERT_TRUE(bed.make_job_files("def-z", vm_id));
  Log_Capture log(true);
  const json_spirit::Object result = run_backup(bed, params);
  EXPECT_EQ(result.at("code").get_int64(), 0) << log.dump();
  EXPECT_EQ(log.texts(LM_WARNING), (Lines{"No piece found needed for backup.\n"}));
  EXPECT_EQ(alert_codes(bed), (Lines{"3/8", "3/10"}));
  std::vector<json_spirit::Object> sets = bed.catalog_sets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(dump(sets[0].at("pieces")), "[]");
  EXPECT_EQ(dump(sets[0].at("rhev").get_obj().at("disk_attachments")), "[]");
  EXPECT_TRUE(bed.pool_files().empty());
  EXPECT_TRUE(bed.engine_clean());
}

TEST(RHV_Agent_Backup, a_refused_detach_is_only_a_warning_and_leaves_the_disk_for_the_next_run)
{
  Servant_Test_Bed bed;
  Engine_Fault f;
  f.method = "DELETE";
  f.path = agent_attachments(bed);
  f.status_code = 409;
  bed.engine().add_fault(f);
  RHV_Backup_Params params = bed.backup_params("def-d", inv::VM_APP_ID);
  ASSERT_TRUE(bed.make_job_files("def-d", inv::VM_APP_ID));

  Log_Capture log(true);
  const json_spirit::Object result = run_backup(bed, params);
  // The piece itself was stored: the backup stands.
  EXPECT_EQ(result.at("code").get_int64(), 0) << log.dump();
  EXPECT_EQ(bed.catalog_sets().size(), 1u);
  EXPECT_EQ(alert_codes(bed), (Lines{"3/8", "3/20", "7/21", "7/9"}));
  EXPECT_TRUE(log.contains("Failed to detach disk 'app-02_Disk1' from agent VM 'tessera3-agent'.\n"));
  // The engine refuses to remove a snapshot whose disk is still plugged in elsewhere.
  EXPECT_EQ(bed.engine().snapshots(inv::VM_APP_ID).size(), 1u);
  EXPECT_FALSE(bed.engine_clean());
}

TEST(RHV_Agent_Backup, snapshots_left_by_an_earlier_run_of_this_host_are_removed_first)
{
  Servant_Test_Bed bed;
  const std::string host = Servant_Test_Bed::HOST_RECORD_ID;
  bed.engine().add_snapshot(inv::VM_APP_ID, "tessera3-agent-" + host + "-1600000000");
  bed.engine().add_snapshot(inv::VM_APP_ID, "tessera3-agent-other-host-1600000000");
  bed.engine().add_snapshot(inv::VM_APP_ID, "before the upgrade");
  RHV_Backup_Params params = bed.backup_params("def-l", inv::VM_APP_ID);
  ASSERT_TRUE(bed.make_job_files("def-l", inv::VM_APP_ID));

  Log_Capture log(true);
  EXPECT_EQ(run_backup(bed, params).at("code").get_int64(), 0) << log.dump();
  Lines left;
  for (const test_support::Sim_Snapshot& s : bed.engine().snapshots(inv::VM_APP_ID))
    left.push_back(s.description);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (Lines{"before the upgrade", "tessera3-agent-other-host-1600000000"}));
  EXPECT_EQ(bed.alert_lines().front(), "3/10 [\"app-02\",\"tessera3-agent-" + host + "-1600000000\"]");
}

// A removal the engine accepted and still carries out when the worker stops polling is no
// failure; a lost create that left two snapshots of this run's description removes neither;
// a removal refused as busy while no removal runs fails at once.
TEST(RHV_Agent_Backup, a_removal_under_way_is_no_failure_and_snapshots_alike_are_left)
{
  for (bool lost : {false, true}) {
    SCOPED_TRACE(lost ? "two snapshots of this run's description" : "removal under way");
    Servant_Test_Bed bed;
    Engine_Fault f;
    f.method = "POST";
    f.path = bed.engine().api_path("/vms/[^/]+/snapshots");
    f.kind = lost ? Engine_Fault::done_then_close : Engine_Fault::pass;
    f.beside = [&bed, lost](const test_support::Engine_Request& r) {
      json_spirit::Value body;
      if (lost && json_spirit::parse(r.body, body))
        bed.engine().add_snapshot(inv::VM_APP_ID, body.get_obj().at("description").get_str());
    };
    bed.engine().add_fault(f);
    test_support::Engine_Timing t;
    t.snapshot_remove = std::chrono::hours(1);
    bed.engine().set_timing(t);
    RHV_Backup_Params params = bed.backup_params("def-s", inv::VM_APP_ID);
    ASSERT_TRUE(bed.make_job_files("def-s", inv::VM_APP_ID));
    Servant_Pauses pauses;
    Log_Capture log(true);
    EXPECT_EQ(run_backup(bed, params).at("code").get_int64(), lost ? 1 : 0) << log.dump();
    EXPECT_EQ(alert_codes(bed), lost ? Lines{"7/7"} : (Lines{"3/8", "3/20", "3/22"}));
    EXPECT_EQ(bed.engine().snapshots(inv::VM_APP_ID).size(), lost ? 2u : 1u);
    EXPECT_EQ(bed.engine().count_requests("DELETE", f.path + "/.*"), lost ? 0u : 1u);
    EXPECT_TRUE(log.contains(lost ? "None of them is removed.\n" : "' of VM 'app-02' is under way.\n")) << log.dump();
  }
  // A removal refused as busy is awaited only while the snapshot shows a removal at work.
  Servant_Test_Bed bed;
  Engine_Fault f;
  f.method = "DELETE";
  f.path = bed.engine().api_path("/vms/[^/]+/snapshots/[^/]+");
  f.status_code = 409;
  f.detail = "[Cannot remove Snapshot. Related operation is currently in progress. Please try again later.]";
  bed.engine().add_fault(f);
  ASSERT_TRUE(bed.make_job_files("def-s", inv::VM_APP_ID));
  Servant_Pauses pauses;
  EXPECT_EQ(run_backup(bed, bed.backup_params("def-s", inv::VM_APP_ID)).at("code").get_int64(), 0);
  EXPECT_EQ(alert_codes(bed), (Lines{"3/8", "3/20", "3/22", "7/9"}));
  EXPECT_EQ(pauses.seconds(), std::vector<unsigned>{});
  EXPECT_EQ(bed.engine().snapshots(inv::VM_APP_ID).size(), 1u);
}

}  // namespace

// The device name keeps at most 20 characters of the disk id: a shorter id is used whole.
TEST(RHV_Agent_Backup, a_disk_id_shorter_than_the_device_name_is_used_whole)
{
  Servant_Test_Bed bed;
  const std::string disk_id = "d-short-1";
  const std::string vm_id = add_one_disk_vm(bed, "short-01", inv::MiB, disk_id);
  ASSERT_TRUE(bed.engine().write_disk(disk_id, 4096, "data behind a short id"));

  RHV_Backup_Params params = bed.backup_params("def-s", vm_id);
  ASSERT_TRUE(bed.make_job_files("def-s", vm_id));
  Log_Capture log(true);
  const json_spirit::Object result = run_backup(bed, params);
  ASSERT_EQ(result.at("code").get_int64(), 0) << log.dump();
  const time_t start = static_cast<time_t>(result.at("start_time").get_int64());
  EXPECT_EQ(bed.image_digest(piece_path(vm_id, disk_id, start, "full"), inv::MiB), bed.engine().disk_digest(disk_id));
  EXPECT_TRUE(bed.engine_clean());
}

// Pieces running at once add their bytes to the one progress record: none is lost.
TEST(RHV_Agent_Backup, pieces_adding_progress_at_once_lose_no_bytes)
{
  struct Worker : test_support::Progress_Worker<RHV_Agent_Backup> {
    using RHV_Agent_Backup::progress_handler;
  };
  Servant_Test_Bed bed;
  EXPECT_EQ(test_support::bytes_lost_at_once<Worker>(bed, 3, [](Worker& w) { w.progress_handler(3); }), 0u);
}
