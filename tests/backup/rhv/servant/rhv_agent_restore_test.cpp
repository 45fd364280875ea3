// The agent restore worker against the engine simulator, in this process: each VM is
// first backed up by the backup worker, then restored from what it wrote. Restored disks
// equal the source disks byte for byte; the new VM, its NICs, the reply, the alerts and
// the progress record are as a restore job expects; and every failure leaves no disk or
// VM of the restore behind.

#include "backup/rhv/servant/rhv_agent_restore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/job/job_types.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/engine_simulator_restore.h"
#include "tests/support/log_capture.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using test_support::Engine_Fault;
using test_support::Restore_Test_Bed;
using test_support::Servant_Pauses;
using test_support::Sim_Disk;
using test_support::Sim_VM;
using Lines = std::vector<std::string>;

namespace {

// "<level>/<code>" of each alert.
Lines alert_codes(const Restore_Test_Bed& bed)
{
  Lines out;
  for (const json_spirit::Object& a : bed.alerts())
    out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()));
  return out;
}

// The alerts raised after the first `skip` ones.
Lines alerts_after(const Restore_Test_Bed& bed, size_t skip)
{
  Lines all = alert_codes(bed);
  return Lines(all.begin() + static_cast<long>(std::min(skip, all.size())), all.end());
}

bool logged(const Log_Capture& log, ACE_Log_Priority priority, const std::string& prefix)
{
  for (const std::string& line : log.texts(priority))
    if (line.rfind(prefix, 0) == 0)
      return true;
  return false;
}

// Rewrites the stored catalog set without the pieces of one disk.
void drop_pieces(const Restore_Test_Bed& bed, const std::string& set_uuid, const std::string& disk_id)
{
  const std::string file = bed.env().catalog_dir() + "/" + set_uuid + ".json";
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  json_spirit::Value set;
  ASSERT_TRUE(json_spirit::parse(text, set, nullptr));
  json_spirit::Array kept;
  for (const json_spirit::Value& piece : set.get_obj().at("pieces").get_array())
    if (piece.get_obj().at("object").get_str() != disk_id)
      kept.push_back(piece);
  set.get_obj()["pieces"] = json_spirit::Value(kept);
  std::ofstream(file, std::ios::trunc) << JSON_Dump(set).str();
}

// The bodies the restore sent on a route.
std::vector<json_spirit::Object> bodies(const Restore_Test_Bed& bed, const std::string& method,
                                        const std::string& path_regex)
{
  std::vector<json_spirit::Object> out;
  const std::regex re(path_regex);
  for (const test_support::Engine_Request& r : bed.engine().requests())
    if (r.method == method && std::regex_match(r.path, re)) {
      json_spirit::Value v;
      EXPECT_TRUE(json_spirit::parse(r.body, v, nullptr)) << r.body;
      if (v.type() == json_spirit::obj_type)
        out.push_back(v.get_obj());
    }
  return out;
}

uint64_t pool_bytes(const Restore_Test_Bed& bed)
{
  uint64_t total = 0;
  for (const std::string& f : bed.pool_files()) {
    struct stat st;
    if (::stat((bed.pool_dir() + "/" + f).c_str(), &st) == 0)
      total += static_cast<uint64_t>(st.st_size);
  }
  return total;
}

// The disk of a VM's attachment list made by the restore from `source_disk_id`.
const Sim_Disk* restored_from(const std::vector<Sim_Disk>& disks, const std::string& source_name)
{
  for (const Sim_Disk& d : disks)
    if (d.name.rfind(source_name + "_", 0) == 0 && d.name.size() == source_name.size() + 15)
      return &d;
  return nullptr;
}

// ---- successful restores ----

struct Success_Case {
  const char* name;
  const char* vm_id;
  std::function<void(Restore_Test_Bed&, RHV_Restore_Params&)> setup;
  std::function<void(Restore_Test_Bed&, const RHV_Restore_Params&, const Sim_VM&, const std::vector<Sim_Disk>&)> check;
  Lines more_alerts;  // raised after the VM was made
};

TEST(RHV_Agent_Restore, restores_the_vm_with_every_disk_equal_to_its_source)
{
  const std::vector<Success_Case> cases = {
    {"in place, started", inv::VM_WEB_ID,
     [](Restore_Test_Bed&, RHV_Restore_Params& p) { p.start_vm = true; },
     [](Restore_Test_Bed& bed, const RHV_Restore_Params&, const Sim_VM& vm, const std::vector<Sim_Disk>& disks) {
       EXPECT_EQ(vm.cluster_id, inv::CLUSTER_EAST_PROD_ID);
       EXPECT_EQ(vm.status, "up");
       EXPECT_TRUE(bed.engine().nics(vm.id).empty());  // no NIC given, none added
       for (const Sim_Disk& d : disks) {
         EXPECT_EQ(d.storage_domain_id, inv::SD_EAST_NFS_ID);
         EXPECT_EQ(d.format, d.name.rfind("web-01_data_", 0) == 0 ? "raw" : "cow");
       }
       EXPECT_EQ(bed.engine().count_requests("POST", bed.engine().api_path("/vms/[^/]+/start")), 1u);
     },
     {}},
    {"to another cluster and an iSCSI domain, not started", inv::VM_WEB_ID,
     [](Restore_Test_Bed&, RHV_Restore_Params& p) {
       p.original_restore = false;
       p.target_cluster_id = inv::CLUSTER_EAST_DEV_ID;
       for (RHV_Restore_Disk& d : p.disks)
         d.target_datastore_id = inv::SD_EAST_ISCSI_ID;
     },
     [](Restore_Test_Bed& bed, const RHV_Restore_Params&, const Sim_VM& vm, const std::vector<Sim_Disk>& disks) {
       EXPECT_EQ(vm.cluster_id, inv::CLUSTER_EAST_DEV_ID);
       EXPECT_EQ(vm.status, "down");
       EXPECT_EQ(bed.engine().count_requests("POST", bed.engine().api_path("/vms/[^/]+/start")), 0u);
       // Block storage takes thin qcow2 disks only.
       for (const Sim_Disk& d : disks) {
         EXPECT_EQ(d.storage_domain_id, inv::SD_EAST_ISCSI_ID);
         EXPECT_EQ(d.format, "cow");
         EXPECT_TRUE(d.sparse);
       }
     },
     {}},
    {"NICs mapped, one MAC kept, one made by the engine", inv::VM_WEB_ID,
     [](Restore_Test_Bed&, RHV_Restore_Params& p) {
       p.original_restore = false;
       p.target_cluster_id = inv::CLUSTER_EAST_PROD_ID;
       RHV_Restore_NIC kept;
       kept.name = "nic1";
       kept.interface = "virtio";
       kept.linked = false;
       kept.plugged = true;
       kept.auto_gen_mac = false;
       kept.mac_address = "56:6f:1a:2b:3c:4d";
       kept.vnic_profile_id = inv::PROFILE_EAST_BACKEND_ID;
       RHV_Restore_NIC made;
       made.name = "nic2";
       made.interface = "e1000";
       made.auto_gen_mac = true;
       made.mac_address = "56:6f:00:00:00:01";  // not used: the engine chooses
       made.vnic_profile_id = inv::PROFILE_EAST_MGMT_ID;
       // Refused by the engine (a profile of another data center): the restore goes on.
       RHV_Restore_NIC refused;
       refused.name = "nic3";
       refused.interface = "virtio";
       refused.vnic_profile_id = inv::PROFILE_WEST_MGMT_ID;
       p.nics = {kept, made, refused};
     },
     [](Restore_Test_Bed& bed, const RHV_Restore_Params&, const Sim_VM& vm, const std::vector<Sim_Disk>&) {
       std::vector<test_support::Sim_NIC> nics = bed.engine().nics(vm.id);
       ASSERT_EQ(nics.size(), 2u);
       EXPECT_EQ(nics[0].name, "nic1");
       EXPECT_EQ(nics[0].mac, "56:6f:1a:2b:3c:4d");
       EXPECT_FALSE(nics[0].linked);
       EXPECT_EQ(nics[0].vnic_profile_id, inv::PROFILE_EAST_BACKEND_ID);
       EXPECT_EQ(nics[1].name, "nic2");
       EXPECT_EQ(nics[1].interface, "e1000");
       EXPECT_NE(nics[1].mac, "56:6f:00:00:00:01");
       // Flags travel as strings, and an unset one is not sent.
       std::vector<json_spirit::Object> sent = bodies(bed, "POST", bed.engine().api_path("/vms/[^/]+/nics"));
       ASSERT_EQ(sent.size(), 3u);
       EXPECT_EQ(sent[0].at("linked").get_str(), "false");
       EXPECT_EQ(sent[0].at("plugged").get_str(), "true");
       EXPECT_EQ(sent[1].count("linked"), 0u);
       EXPECT_EQ(sent[1].count("mac"), 0u);
     },
     {}},
    {"a domain reporting no free space figure", inv::VM_APP_ID,
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       ASSERT_TRUE(bed.engine().set_storage_space(inv::SD_EAST_NFS_ID, -1, -1));
       p.parallel_disks_per_vm = 4;
     },
     [](Restore_Test_Bed&, const RHV_Restore_Params&, const Sim_VM& vm, const std::vector<Sim_Disk>& disks) {
       EXPECT_EQ(vm.cluster_id, inv::CLUSTER_EAST_DEV_ID);
       EXPECT_EQ(disks.size(), 1u);
     },
     {}},
    {"start refused: the VM is restored all the same", inv::VM_APP_ID,
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       p.start_vm = true;
       Engine_Fault f;
       f.method = "POST";
       f.path = bed.engine().api_path("/vms/[^/]+/start");
       f.status_code = 409;
       bed.engine().add_fault(f);
     },
     [](Restore_Test_Bed& bed, const RHV_Restore_Params&, const Sim_VM& vm, const std::vector<Sim_Disk>&) {
       EXPECT_EQ(vm.status, "down");
       EXPECT_EQ(bed.alert_lines().back(), "5/32 [\"app-02_restored\"]");
     },
     {"5/32"}},
  };

  for (const Success_Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restore_Test_Bed bed;
    const std::string set = bed.backup(c.vm_id);
    ASSERT_FALSE(set.empty());
    const size_t backup_alerts = bed.alerts().size();
    RHV_Restore_Params params = bed.restore_params("rst-1", c.vm_id, set);
    ASSERT_TRUE(bed.make_job_files("rst-1", c.vm_id));
    if (c.setup)
      c.setup(bed, params);

    Log_Capture log(true);
    const json_spirit::Object result = bed.run_restore(params);
    ASSERT_EQ(result.at("code").get_int64(), 0) << log.dump();

    // The reply.
    const json_spirit::Object catalog = bed.catalog_sets().at(0);
    EXPECT_EQ(result.at("vm_id").get_str(), c.vm_id);
    EXPECT_EQ(result.at("vm_name").get_str(), params.vm_name);
    EXPECT_EQ(result.at("source_size").get_uint64(), catalog.at("source_size").get_uint64());
    EXPECT_EQ(result.at("set_size").get_uint64(), catalog.at("set_size").get_uint64());
    EXPECT_EQ(result.at("storage_size").get_uint64(), pool_bytes(bed));
    EXPECT_LE(result.at("start_time").get_int64(), result.at("end_time").get_int64());

    // The new VM and its disks, each attached to it and equal to its source.
    std::vector<Sim_VM> vms = bed.new_vms();
    ASSERT_EQ(vms.size(), 1u);
    const Sim_VM& vm = vms[0];
    EXPECT_EQ(vm.name, params.target_vm_name);
    std::vector<Sim_Disk> disks = bed.new_disks();
    ASSERT_EQ(disks.size(), params.disks.size());
    std::vector<test_support::Sim_Disk_Attachment> attached = bed.engine().attachments(vm.id);
    EXPECT_EQ(attached.size(), disks.size());
    Lines created;
    for (const RHV_Restore_Disk& wanted : params.disks) {
      Sim_Disk source;
      ASSERT_TRUE(bed.engine().find_disk(wanted.id, source));
      const Sim_Disk* restored = restored_from(disks, source.name);
      ASSERT_NE(restored, nullptr) << source.name;
      EXPECT_EQ(restored->provisioned_size, source.provisioned_size);
      EXPECT_EQ(bed.engine().disk_digest(restored->id), bed.engine().disk_digest(source.id)) << source.name;
      EXPECT_TRUE(std::any_of(attached.begin(), attached.end(), [&](const test_support::Sim_Disk_Attachment& a) {
        return a.disk_id == restored->id && a.active;
      }));
      created.push_back("3/24");
    }
    created.push_back("3/26");
    created.insert(created.end(), c.more_alerts.begin(), c.more_alerts.end());
    EXPECT_EQ(alerts_after(bed, backup_alerts), created);

    // The progress record.
    test_support::Progress_Snapshot progress = bed.progress("rst-1", c.vm_id);
    EXPECT_EQ(progress.state, 2);
    EXPECT_EQ(progress.virtual_disk_count, static_cast<int32_t>(params.disks.size()));
    EXPECT_EQ(progress.processed_virtual_disk_count, static_cast<int32_t>(params.disks.size()));
    EXPECT_EQ(progress.total_bytes, catalog.at("set_size").get_uint64());
    EXPECT_EQ(progress.processed_bytes, progress.total_bytes);
    EXPECT_EQ(progress.end_time, result.at("end_time").get_int64());

    // Nothing stays plugged into the agent VM.
    EXPECT_TRUE(bed.engine_clean());
    if (c.check)
      c.check(bed, params, vm, disks);
  }
}

TEST(RHV_Agent_Restore, zero_chunks_are_not_written_and_the_disk_request_copies_the_backed_up_profile)
{
  Restore_Test_Bed bed;
  const std::string set = bed.backup(inv::VM_APP_ID);
  ASSERT_FALSE(set.empty());
  RHV_Restore_Params params = bed.restore_params("rst-z", inv::VM_APP_ID, set);
  ASSERT_TRUE(bed.make_job_files("rst-z", inv::VM_APP_ID));
  Log_Capture log(true);
  ASSERT_EQ(bed.run_restore(params).at("code").get_int64(), 0) << log.dump();
  EXPECT_TRUE(log.contains("Activating 1 thread to restore the VM, disk count = 1, piece count = 1.\n"));
  EXPECT_TRUE(log.contains("backup block_size: 1048576, current block_size: 1048576.\n"));

  std::vector<Sim_Disk> disks = bed.new_disks();
  ASSERT_EQ(disks.size(), 1u);
  // The source holds an allocated run of zeros at 1 MiB; the restored disk has a hole there.
  const int fd = ::open(disks[0].path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const off_t data = ::lseek(fd, inv::MiB, SEEK_DATA);
  ::close(fd);
  EXPECT_GT(data, inv::MiB + 65535);
  EXPECT_EQ(bed.engine().disk_digest(disks[0].id), bed.engine().disk_digest(inv::DISK_APP_OS_ID));

  // The disk request: the backed-up profile, on the task's domain.
  std::vector<json_spirit::Object> sent = bodies(bed, "POST", bed.engine().api_path("/disks"));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(JSON_Dump(json_spirit::Value(sent[0].at("storage_domains"))).str(),
            R"({"storage_domain":[{"id":")" + std::string(inv::SD_EAST_NFS_ID) + R"("}]})");
  EXPECT_EQ(sent[0].at("backup").get_str(), "none");
}

// ---- failures ----

struct Failure_Case {
  const char* name;
  std::function<void(Restore_Test_Bed&, RHV_Restore_Params&)> setup;
  // Runs at each pause of the worker, with the seconds asked.
  std::function<void(Restore_Test_Bed&, unsigned seconds)> on_pause;
  Lines alerts;  // "<level>/<code>" raised by the restore, in order
  Lines errors;  // prefixes of lines the restore logs at LM_ERROR (LM_INFO: what its clean-up leaves)
  std::function<void(Restore_Test_Bed&, const Servant_Pauses&)> check;
};

std::string disks_path(const Restore_Test_Bed& bed)
{
  return bed.engine().api_path("/disks");
}

// The engine refuses the second new disk; the fault, for more of its kind.
Engine_Fault refuse_second_disk(Restore_Test_Bed& bed)
{
  Engine_Fault f;
  f.method = "POST";
  f.path = disks_path(bed);
  f.nth = 2;
  f.status_code = 409;
  bed.engine().add_fault(f);
  return f;
}

// Device waits pause 3 s; the other pauses are the disk polls and the monitor's steps.
constexpr unsigned DEVICE_WAIT = 3;

TEST(RHV_Agent_Restore, a_failed_restore_removes_the_disks_and_the_vm_it_created)
{
  const std::vector<Failure_Case> cases = {
    {"catalog set missing",
     [](Restore_Test_Bed&, RHV_Restore_Params& p) { p.catalog_uuid = "00000000-0000-4000-8000-00000000dead"; },
     nullptr, {"7/27"},
     {"Failed to retrieve catalogs for RHV VM 'web-01', ID=", "No catalogs found for VM 'web-01'.\n"},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("POST", ".*"), 0u);
     }},
    {"disk creation refused",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       Engine_Fault f;
       f.method = "POST";
       f.path = disks_path(bed);
       f.status_code = 409;
       bed.engine().add_fault(f);
     },
     nullptr, {"7/23"}, {"Failed to add disk for VM web-01:"}, nullptr},
    {"second disk refused", [](Restore_Test_Bed& bed, RHV_Restore_Params&) { refuse_second_disk(bed); },
     nullptr, {"3/24", "7/23"}, {"Failed to add disk for VM web-01:"},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("DELETE", bed.engine().api_path("/disks/[^/]+")), 1u);
     }},
    {"second disk refused, the first not removable",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       Engine_Fault f = refuse_second_disk(bed);
       // A conflict that no wait resolves.
       f.method = "DELETE";
       f.path += "/[^/]+";
       f.nth = 1;
       f.detail = "Cannot remove Virtual Disk. It is plugged into running VM db-03: detach it first.";
       bed.engine().add_fault(f);
     },
     nullptr, {"3/24", "7/23"}, {"Failed to add disk for VM web-01:", "Failed to remove disk "},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       // Refused once, not tried again: the disk is left.
       EXPECT_EQ(bed.engine().count_requests("DELETE", disks_path(bed) + "/[^/]+"), 1u);
       EXPECT_EQ(bed.new_disks().size(), 1u);
       bed.mark_engine();
     }},
    {"disk never ready",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       test_support::Engine_Timing t;
       t.disk_create = std::chrono::hours(1);
       bed.engine().set_timing(t);
     },
     // The lock ends after the last poll: the disk can then be removed.
     [](Restore_Test_Bed& bed, unsigned) {
       if (bed.engine().count_requests("GET", disks_path(bed) + "/.*") == 100)
         bed.engine().run_pending();
     },
     {"7/23"}, {"Failed to add disk "},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("GET", disks_path(bed) + "/.*"), 100u);
     }},
    {"VM creation refused",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       Engine_Fault f;
       f.method = "POST";
       f.path = bed.engine().api_path("/vms");
       f.status_code = 400;
       bed.engine().add_fault(f);
     },
     nullptr, {"3/24", "3/24", "7/25"}, {"Failed to create VM web-01:"},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("DELETE", bed.engine().api_path("/disks/[^/]+")), 2u);
       EXPECT_EQ(bed.engine().count_requests("DELETE", bed.engine().api_path("/vms/[^/]+")), 0u);
     }},
    {"attach to the new VM refused",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       Engine_Fault f;
       f.method = "POST";
       f.path = bed.engine().api_path("/vms/(?!" + std::string(inv::AGENT_VM_ID) + ")[^/]+/diskattachments");
       f.nth = 2;
       f.status_code = 409;
       bed.engine().add_fault(f);
     },
     nullptr, {"3/24", "3/24", "3/26"}, {"Failed to attach disk "},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       EXPECT_EQ(bed.engine().count_requests("DELETE", bed.engine().api_path("/vms/[^/]+")), 1u);
     }},
    {"piece missing from the pool",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       for (const std::string& f : bed.pool_files()) {
         if (f.find(inv::DISK_WEB_DATA_ID) != std::string::npos) {
           ASSERT_EQ(::unlink((bed.pool_dir() + "/" + f).c_str()), 0);
         }
       }
     },
     nullptr, {"3/24", "3/24", "3/26"}, {"Failed to open file 'RHV/"}, nullptr},
    {"device never appears",
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       bed.engine().set_devices_appear(false);
       p.parallel_disks_per_vm = 1;
     },
     nullptr, {"3/24", "3/24", "3/26"}, {},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       // Six attempts on each disk, each with 11 checks 3 s apart.
       const std::string agent = bed.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments");
       EXPECT_EQ(bed.engine().count_requests("POST", agent), 12u);
       EXPECT_EQ(bed.engine().count_requests("DELETE", agent + "/.*"), 12u);
     }},
    {"storage domain runs short during the write",
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       test_support::Engine_Timing t;
       t.device_appear = std::chrono::hours(1);
       bed.engine().set_timing(t);
       p.parallel_disks_per_vm = 1;
     },
     // While the first device is awaited, the domain fills up; the device appears once the
     // monitor has read the domain since.
     [](Restore_Test_Bed& bed, unsigned seconds) {
       test_support::Sim_Storage_Domain nfs;
       ASSERT_TRUE(bed.engine().find_storage_domain(inv::SD_EAST_NFS_ID, nfs));
       if (seconds != DEVICE_WAIT || nfs.available == 16 * inv::GiB)
         return;  // once
       const std::string domain = bed.engine().api_path("/storagedomains/" + std::string(inv::SD_EAST_NFS_ID));
       const size_t reads = bed.engine().count_requests("GET", domain);
       ASSERT_TRUE(bed.engine().set_storage_space(inv::SD_EAST_NFS_ID, 16 * inv::GiB, 2000 * inv::GiB));
       // Polled with a breather, so that the engine's own threads get at its lock.
       while (bed.engine().count_requests("GET", domain) == reads)
         std::this_thread::sleep_for(std::chrono::milliseconds(1));
       bed.engine().run_pending();
     },
     {"3/24", "3/24", "3/26", "7/6"},
     {"rhv storage pool 'east-nfs:" + std::string(inv::SD_EAST_NFS_ID) + "' available space(total="},
     nullptr},
    {"job canceled during the write",
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       test_support::Engine_Timing t;
       t.device_appear = std::chrono::hours(1);
       bed.engine().set_timing(t);
       p.parallel_disks_per_vm = 1;
     },
     [](Restore_Test_Bed& bed, unsigned seconds) {
       if (seconds != DEVICE_WAIT || bed.activity()->state == JOB_STATE_CANCELING)
         return;  // once
       bed.activity()->state = JOB_STATE_CANCELING;
       bed.engine().run_pending();
     },
     {"3/24", "3/24", "3/26"}, {"Failed to read data from pool RHV/"},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       // One run went through before the cancel was seen.
       EXPECT_EQ(bed.progress("rst-f", inv::VM_WEB_ID).processed_bytes, static_cast<uint64_t>(inv::MiB));
     }},
    {"job canceled while the device is awaited",
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) {
       bed.engine().set_devices_appear(false);
       p.parallel_disks_per_vm = 1;
     },
     [](Restore_Test_Bed& bed, unsigned seconds) {
       if (seconds == DEVICE_WAIT)
         bed.activity()->state = JOB_STATE_CANCELING;
     },
     {"3/24", "3/24", "3/26"}, {},
     [](Restore_Test_Bed&, const Servant_Pauses& pauses) {
       // The wait ends at the cancel: no check of the device after it.
       const std::vector<unsigned> seconds = pauses.seconds();
       EXPECT_EQ(std::count(seconds.begin(), seconds.end(), DEVICE_WAIT), 1);
     }},
    {"job canceled while a disk made without an answer is awaited",
     [](Restore_Test_Bed& bed, RHV_Restore_Params&) {
       test_support::Engine_Timing t;
       t.disk_create = std::chrono::hours(1);
       bed.engine().set_timing(t);
       Engine_Fault f;
       f.method = "POST";
       f.path = disks_path(bed);
       f.kind = Engine_Fault::done_then_close;
       bed.engine().add_fault(f);
       // The disk is made as its removal arrives.
       f.method = "DELETE";
       f.path += "/[^/]+";
       f.kind = Engine_Fault::pass;
       f.beside = [&bed](const test_support::Engine_Request&) { bed.engine().run_pending(); };
       bed.engine().add_fault(f);
     },
     // Canceled at the first poll of the disk; the clean-up's time runs out in the second pause.
     [](Restore_Test_Bed& bed, unsigned) {
       const size_t polls = bed.engine().count_requests("GET", disks_path(bed) + "/.*");
       if (polls == 1)
         bed.activity()->state = JOB_STATE_CANCELING;
       if (polls == 2)
         std::this_thread::sleep_for(std::chrono::seconds(RHV_Agent_Restore::CANCEL_CLEANUP_SECONDS));
     },
     {"7/23"}, {"Failed to add disk for VM web-01:"},
     [](Restore_Test_Bed&, const Servant_Pauses& pauses) {
       // The wait ends with the clean-up's time: no pause after it.
       EXPECT_EQ(pauses.seconds().size(), 2u);
     }},
    {"catalog without the piece of a disk",
     [](Restore_Test_Bed& bed, RHV_Restore_Params& p) { drop_pieces(bed, p.catalog_uuid, inv::DISK_WEB_DATA_ID); },
     nullptr, {"3/24", "3/24", "3/26"}, {"Unexpected error in backup/rhv/servant/rhv_agent_restore_write.cpp:"},
     [](Restore_Test_Bed& bed, const Servant_Pauses&) {
       // No disk was plugged into the agent VM.
       EXPECT_EQ(bed.engine().count_requests(
                     "POST", bed.engine().api_path("/vms/" + std::string(inv::AGENT_VM_ID) + "/diskattachments")),
                 0u);
     }},
    {"disk named by the task is not in the backup",
     [](Restore_Test_Bed&, RHV_Restore_Params& p) { p.disks.back().id = inv::DISK_DB_OS_ID; }, nullptr, {},
     {"Disk " + std::string(inv::DISK_DB_OS_ID) + " not found for VM web-01.\n"}, nullptr},
  };

  for (const Failure_Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restore_Test_Bed bed;
    const std::string set = bed.backup(inv::VM_WEB_ID);
    ASSERT_FALSE(set.empty());
    const size_t backup_alerts = bed.alerts().size();
    RHV_Restore_Params params = bed.restore_params("rst-f", inv::VM_WEB_ID, set);
    ASSERT_TRUE(bed.make_job_files("rst-f", inv::VM_WEB_ID));
    if (c.setup)
      c.setup(bed, params);
    Servant_Pauses pauses([&bed, &c](size_t, unsigned seconds) {
      if (c.on_pause)
        c.on_pause(bed, seconds);
    });

    Log_Capture log(true);
    const json_spirit::Object result = bed.run_restore(params);

    EXPECT_EQ(result.at("code").get_int64(), 1);
    EXPECT_EQ(result.at("vm_id").get_str(), inv::VM_WEB_ID);
    EXPECT_EQ(result.at("vm_name").get_str(), "web-01");
    EXPECT_EQ(alerts_after(bed, backup_alerts), c.alerts);
    for (const std::string& error : c.errors) {
      EXPECT_TRUE(logged(log, LM_ERROR, error) || logged(log, LM_EMERGENCY, error) || logged(log, LM_INFO, error))
          << error << " not in\n" << log.dump();
    }
    EXPECT_TRUE(log.contains("Failed to restore RHV vm.\n"));
    EXPECT_EQ(bed.progress("rst-f", inv::VM_WEB_ID).state, 3);
    if (c.check)
      c.check(bed, pauses);
    EXPECT_TRUE(bed.restore_clean());
  }
}

TEST(RHV_Agent_Restore, a_refused_login_still_replies_and_leaves_the_progress_record_alone)
{
  Restore_Test_Bed bed;
  const std::string set = bed.backup(inv::VM_APP_ID);
  ASSERT_FALSE(set.empty());
  RHV_Restore_Params params = bed.restore_params("rst-l", inv::VM_APP_ID, set);
  params.host_info.password = "wrong-password";
  ASSERT_TRUE(bed.make_job_files("rst-l", inv::VM_APP_ID));

  Log_Capture log(true);
  const time_t before = ::time(nullptr);
  const json_spirit::Object result = bed.run_restore(params);
  EXPECT_EQ(result.at("code").get_int64(), 1);
  EXPECT_EQ(result.at("vm_id").get_str(), inv::VM_APP_ID);
  EXPECT_EQ(result.at("vm_name").get_str(), "app-02");
  EXPECT_EQ(result.at("start_time").get_int64(), 0);
  EXPECT_GE(result.at("end_time").get_int64(), static_cast<int64_t>(before));
  EXPECT_EQ(result.at("storage_size").get_uint64(), 0u);
  EXPECT_EQ(result.size(), 8u);
  // The progress file was never opened by the worker: still pending.
  test_support::Progress_Snapshot progress = bed.progress("rst-l", inv::VM_APP_ID);
  EXPECT_EQ(progress.state, 0);
  EXPECT_EQ(progress.end_time, 0);
  EXPECT_TRUE(bed.restore_clean());
}

TEST(RHV_Agent_Restore, the_device_is_opened_without_creating_it_and_must_be_a_device)
{
  char dir_template[] = "/tmp/rhv_restore_device_XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string missing = dir + "/virtio-missing";
  const std::string regular = dir + "/virtio-regular";
  ASSERT_EQ(::close(::open(regular.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0640)), 0);

  struct Case {
    const std::string& path;
    bool regular_files;
    bool opens;
    const char* error;
  };
  const std::vector<Case> cases = {
    {missing, true, false, "errno=2, "},
    {regular, false, false, "errno=15, "},
    {dir, true, false, "errno=21, "},
    {regular, true, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.regular_files ? " (regular files allowed)" : ""));
    Log_Capture log(true);
    Fixed_Block_File_Writer writer;
    EXPECT_EQ(RHV_Agent_Restore::open_device(writer, c.path, 1 << 20, c.regular_files), c.opens);
    EXPECT_EQ(writer.is_open(), c.opens);
    if (c.error != nullptr) {
      EXPECT_TRUE(logged(log, LM_ERROR, "Failed to open device '" + c.path + "' for writing, " + c.error))
          << log.dump();
    }
  }
  // The missing device was not made.
  EXPECT_NE(::access(missing.c_str(), F_OK), 0);
  ::unlink(regular.c_str());
  ::rmdir(dir.c_str());
}

// Disks written at once add their bytes to the one progress record: none is lost.
TEST(RHV_Agent_Restore, disks_adding_progress_at_once_lose_no_bytes)
{
  struct Worker : test_support::Progress_Worker<RHV_Agent_Restore> {
    using RHV_Agent_Restore::write_run;
  };
  Restore_Test_Bed bed;
  Fixed_Block_File_Writer unused;  // runs of zeros are not written
  const char zeros[8] = {};
  EXPECT_EQ(test_support::bytes_lost_at_once<Worker>(
                bed, sizeof zeros, [&](Worker& w) { w.write_run(unused, "unused", zeros, sizeof zeros, 0); }),
            0u);
}

TEST(RHV_Agent_Restore, a_device_that_takes_fewer_bytes_than_written_fails_the_restore)
{
  Restore_Test_Bed bed;
  const std::string set = bed.backup(inv::VM_APP_ID);
  ASSERT_FALSE(set.empty());
  RHV_Restore_Params params = bed.restore_params("rst-w", inv::VM_APP_ID, set);
  ASSERT_TRUE(bed.make_job_files("rst-w", inv::VM_APP_ID));

  // Files of this process cannot grow past a limit set once the new disk exists (its
  // backing file is made whole at creation): the device then takes only the first bytes
  // of a chunk, and the write of that chunk comes back short.
  const std::string source = bed.engine().read_disk(inv::DISK_APP_OS_ID);
  uint64_t failing = 0;
  for (uint64_t pos = 2 * inv::MiB; pos < source.size(); pos += 65536)
    if (source.substr(pos, 65536).find_first_not_of('\0') != std::string::npos) {
      failing = pos;
      break;
    }
  ASSERT_GT(failing, 0u);
  const uint64_t limit = failing + 100;

  test_support::Engine_Timing t;
  t.disk_create = std::chrono::hours(1);
  bed.engine().set_timing(t);
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore = {}, old_action = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &old_action), 0);
  std::atomic<bool> limited{false};
  {
    Servant_Pauses pauses([&](size_t, unsigned) {
      if (limited.exchange(true))
        return;
      bed.engine().run_pending();
      struct rlimit low = saved;
      low.rlim_cur = limit;
      EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
    });
    Log_Capture log(true);
    const json_spirit::Object result = bed.run_restore(params);
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(result.at("code").get_int64(), 1);
    EXPECT_TRUE(logged(log, LM_ERROR, "Failed to write data to disk ")) << log.dump();
    bool exact = false;
    for (const std::string& line : log.texts(LM_ERROR))
      exact = exact || (line.rfind("Failed to write data to disk ", 0) == 0 &&
                        line.find(" at " + std::to_string(failing) + "\n") != std::string::npos);
    EXPECT_TRUE(exact) << "expected the chunk at " << failing << "\n" << log.dump();
  }
  ::sigaction(SIGXFSZ, &old_action, nullptr);
  EXPECT_TRUE(bed.restore_clean());
}

// ---- restores in a child process whose system calls are restricted ----

#if defined(__x86_64__)
constexpr uint32_t THIS_AUDIT_ARCH = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t THIS_AUDIT_ARCH = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t THIS_AUDIT_ARCH = 0;
#endif

// Installs a seccomp filter on the calling thread and the threads it makes from then on:
// `rules` run with the system call number loaded; calls of another architecture pass.
// False when the filter cannot be installed.
bool filter_system_calls(std::vector<struct sock_filter> rules)
{
  std::vector<struct sock_filter> filter = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, THIS_AUDIT_ARCH, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
  };
  filter.insert(filter.end(), rules.begin(), rules.end());
  struct sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

// From here on the calling process can make no thread: clone3 is refused as unknown (so
// that the C library falls back to clone) and clone with CLONE_THREAD fails with EAGAIN,
// as when the process is out of threads. New processes can still be made.
bool block_thread_creation()
{
  return filter_system_calls({
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 3),
    // The flags' low word (little-endian): CLONE_THREAD lies in it.
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
    BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  });
}

// From here on every flush of written data to a device fails with EIO, as a device
// whose write-back failed reports it.
bool fail_device_flushes()
{
  return filter_system_calls({
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fdatasync, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  });
}

void* no_op(void*)
{
  return nullptr;
}

// How the child that ran the restore ended.
enum Child_Exit { CHILD_RAN = 0, CHILD_NO_FILTER = 10, CHILD_THREADS_STILL_START = 11, CHILD_NO_REPORT = 12 };

// What the child reported: its reply and its log lines.
struct Child_Restore {
  json_spirit::Object reply;
  Lines warnings, errors;
  std::string dump;  // every line
};

// Runs the restore in a forked child that first calls `restrict` (0 to go on, else the
// child's exit code) and then restores on its one thread. The simulator's server and
// the bed stay in this process. A failure of the test when the child did not run.
::testing::AssertionResult restore_in_child(Restore_Test_Bed& bed, const RHV_Restore_Params& params,
                                            const std::function<int()>& restrict, Child_Restore& out)
{
  const std::string report = bed.env().path("child_report.json");
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0)
    return ::testing::AssertionFailure() << "fork: " << std::strerror(errno);
  if (child == 0) {
    Servant_Pauses pauses;
    Log_Capture log(true);
    if (const int code = restrict())
      ::_exit(code);
    const json_spirit::Object reply = bed.run_restore(params);
    json_spirit::Array lines;
    for (const Log_Capture::Line& line : log.lines())
      lines.push_back(json_spirit::Value(json_spirit::Object{
          {"priority", json_spirit::Value(static_cast<long>(line.priority))}, {"text", json_spirit::Value(line.text)}}));
    json_spirit::Object doc{{"reply", json_spirit::Value(reply)}, {"lines", json_spirit::Value(lines)}};
    std::ofstream file(report, std::ios::trunc);
    file << JSON_Dump(json_spirit::Value(doc)).str();
    file.close();
    // No destructor runs here: the bed, its simulator and its folder belong to the parent.
    ::_exit(file ? CHILD_RAN : CHILD_NO_REPORT);
  }

  // A guard against a hung restore, not a timing.
  int status = 0;
  pid_t ended = 0;
  for (int waited_ms = 0; (ended = ::waitpid(child, &status, WNOHANG)) == 0 && waited_ms < 120000; waited_ms += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (ended == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return ::testing::AssertionFailure() << "the restore in the child did not end";
  }
  if (!WIFEXITED(status))
    return ::testing::AssertionFailure() << "the child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  if (WEXITSTATUS(status) != CHILD_RAN)
    return ::testing::AssertionFailure() << "the child ended with " << WEXITSTATUS(status);

  std::ifstream in(report);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  json_spirit::Value doc;
  if (!json_spirit::parse(text, doc, nullptr))
    return ::testing::AssertionFailure() << "unreadable report: " << text;
  out.reply = doc.get_obj().at("reply").get_obj();
  for (const json_spirit::Value& line : doc.get_obj().at("lines").get_array()) {
    const long priority = static_cast<long>(line.get_obj().at("priority").get_int64());
    const std::string& t = line.get_obj().at("text").get_str();
    if (priority == LM_WARNING)
      out.warnings.push_back(t);
    if (priority == LM_ERROR)
      out.errors.push_back(t);
    out.dump += t;
  }
  return ::testing::AssertionSuccess();
}

TEST(RHV_Agent_Restore, without_threads_the_monitor_is_reported_not_started_and_the_restore_fails_cleanly)
{
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not let a child of a threaded process make (or fail to make) threads";
#endif
  if (THIS_AUDIT_ARCH == 0)
    GTEST_SKIP() << "thread blocking is written for x86-64 and AArch64 only";

  // The backup and the simulator's server need threads: they run in this process, and
  // only the child that runs the restore is denied them.
  Restore_Test_Bed bed;
  const std::string set = bed.backup(inv::VM_APP_ID);
  ASSERT_FALSE(set.empty());
  const size_t backup_alerts = bed.alerts().size();
  RHV_Restore_Params params = bed.restore_params("rst-t", inv::VM_APP_ID, set);
  ASSERT_TRUE(bed.make_job_files("rst-t", inv::VM_APP_ID));

  Child_Restore child;
  ASSERT_TRUE(restore_in_child(bed, params, [] {
    if (!block_thread_creation())
      return static_cast<int>(CHILD_NO_FILTER);
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, no_op, nullptr) == 0) {
      ::pthread_join(thread, nullptr);
      return static_cast<int>(CHILD_THREADS_STILL_START);
    }
    return 0;
  }, child));

  // The monitor's failure is a warning and the restore goes on to the data step, whose
  // workers cannot start either: the restore fails, replies and removes what it made.
  const Lines& warnings = child.warnings;
  const Lines& errors = child.errors;
  const std::string& dump = child.dump;
  EXPECT_EQ(std::count(warnings.begin(), warnings.end(), "Failed to start storage monitor.\n"), 1) << dump;
  const std::string worker_error = "Failed to activate thread pool worker, errno=" + std::to_string(EAGAIN) + ".\n";
  EXPECT_EQ(std::count(errors.begin(), errors.end(), worker_error), 1) << dump;
  EXPECT_EQ(std::count(errors.begin(), errors.end(), "Failed to activate thread task scheduler.\n"), 1) << dump;
  EXPECT_NE(dump.find("Failed to restore RHV vm.\n"), std::string::npos) << dump;
  const json_spirit::Object& reply = child.reply;
  ASSERT_EQ(reply.count("code"), 1u) << dump;
  EXPECT_EQ(reply.at("code").get_int64(), 1);
  EXPECT_EQ(reply.at("vm_id").get_str(), inv::VM_APP_ID);
  EXPECT_EQ(reply.at("vm_name").get_str(), "app-02");
  // The disk and the VM were made before the data step, and then removed.
  EXPECT_EQ(alerts_after(bed, backup_alerts), (Lines{"3/24", "3/26"}));
  EXPECT_EQ(bed.progress("rst-t", inv::VM_APP_ID).state, 3);
  EXPECT_TRUE(bed.restore_clean());
}

// Data the device did not keep (its write-back failed after the last write) fails the
// disk, and the restore with it.
TEST(RHV_Agent_Restore, a_device_that_fails_to_flush_fails_the_restore)
{
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not let a child of a threaded process make threads";
#endif
  if (THIS_AUDIT_ARCH == 0)
    GTEST_SKIP() << "the flush filter is written for x86-64 and AArch64 only";
  Restore_Test_Bed bed;
  const std::string set = bed.backup(inv::VM_APP_ID);
  ASSERT_FALSE(set.empty());
  RHV_Restore_Params params = bed.restore_params("rst-s", inv::VM_APP_ID, set);
  ASSERT_TRUE(bed.make_job_files("rst-s", inv::VM_APP_ID));

  Child_Restore child;
  ASSERT_TRUE(restore_in_child(bed, params, [] { return fail_device_flushes() ? 0 : static_cast<int>(CHILD_NO_FILTER); },
                               child));
  EXPECT_EQ(child.reply.at("code").get_int64(), 1) << child.dump;
  const std::string flush_error = "Failed to flush data to disk ";
  EXPECT_TRUE(std::any_of(child.errors.begin(), child.errors.end(), [&](const std::string& line) {
    return line.rfind(flush_error, 0) == 0 && line.find("errno=" + std::to_string(EIO) + ", ") != std::string::npos;
  })) << child.dump;
  EXPECT_TRUE(bed.restore_clean());
}

}  // namespace
