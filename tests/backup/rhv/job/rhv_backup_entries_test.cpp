// From the job source's entries to the VMs a backup dispatches, against the engine
// simulator's sample inventory: each entry type and its filters, the exclusion patterns,
// shared disks, the agent VM and other data centers, left-over disks on the agent VM, the
// storage-space rule, and the initialisation before it (host record, login, method).

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/backup/rhv/job/backup_fixture.h"
#include "tests/support/log_capture.h"

using namespace backup_test;
using Lines = std::vector<std::string>;

namespace {

const std::string NO_RESERVE = R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0})";
const std::string EAST = inv::DC_EAST_ID;
const std::string WEB = "web-01: web-01_Disk1 web-01_data";
const std::string DB = "db-01: db-01_Disk1 db-01_data db-01_log";
const std::string APP = "app-02: app-02_Disk1";

std::string id(const char* s)
{
  return s;
}

// Every expected line is among the logged ones.
void expect_lines(const Log_Capture& log, ACE_Log_Priority priority, const Lines& expected, const std::string& what)
{
  Lines logged = log.texts(priority);
  for (const std::string& line : expected)
    EXPECT_NE(std::find(logged.begin(), logged.end(), line), logged.end())
        << what << ": missing " << line << "\nlogged:\n" << log.dump();
}

std::string space_line(const std::string& vm, const std::string& domain, const std::string& reserve,
                       const std::string& available, const std::string& percent, const std::string& actual)
{
  return "RHV VM id '" + vm + "', storage_domain id: '" + domain + "', does not have enough space: \n" +
         "\texpected min space: " + reserve + " bytes, actually space: " + available + " bytes.\n" +
         "\texpected min percent: " + percent + "%, actually percent: " + actual + "%.\n";
}

}  // namespace

TEST(RHV_Backup_Entries, entries_and_filters_give_the_vms_to_back_up)
{
  Backup_Fixture f;
  const std::string web = inv::VM_WEB_ID, db = inv::VM_DB_ID, app = inv::VM_APP_ID, west = inv::VM_WEST_ID;
  const std::string prod = inv::CLUSTER_EAST_PROD_ID, dev = inv::CLUSTER_EAST_DEV_ID;
  struct Case {
    const char* name;
    Lines entries;
    std::string options;
    Lines expected;
    Lines warnings;
  } cases[] = {
      {"whole data center", {src_entry("Datacenter", EAST)}, NO_RESERVE, {WEB, DB, APP},
       {"Filter RHV disk 'shared-data': it is a shared disk.\n",
        "Filter RHV VM id '" + id(inv::VM_EMPTY_ID) + "': no disks to backup.\n"}},
      {"entries after the data center are never read", {src_entry("Datacenter", EAST), src_entry("Bogus", "x")}, NO_RESERVE,
       {WEB, DB, APP}, {}},
      {"another data center is skipped",
       {src_entry("Datacenter", inv::DC_WEST_ID), src_entry("VirtualMachine", web)}, NO_RESERVE, {WEB},
       {"Filter RHV data center id '" + id(inv::DC_WEST_ID) + "': it doesn't belong to agent data center '" + EAST +
        "'.\n"}},
      {"clusters", {src_entry("Cluster", dev), src_entry("Cluster", dev), src_entry("Cluster", inv::CLUSTER_WEST_PROD_ID)},
       NO_RESERVE, {APP},
       {"Filter RHV cluster id '" + dev + "': it has been added.\n",
        "Filter RHV cluster id '" + id(inv::CLUSTER_WEST_PROD_ID) + "': it doesn't belong to agent data center '" +
            EAST + "'.\n"}},
      {"virtual machines",
       {src_entry("VirtualMachine", web), src_entry("VirtualMachine", web), src_entry("VirtualMachine", inv::AGENT_VM_ID),
        src_entry("VirtualMachine", west), src_entry("VirtualMachine", "no-such-vm")},
       NO_RESERVE, {WEB},
       {"Filter RHV VM id '" + web + "': it has been added.\n",
        "Filter RHV VM id '" + id(inv::AGENT_VM_ID) + "': it is a agent vm.\n",
        "Filter RHV VM id '" + west + "': it doesn't belong to agent data center '" + EAST + "'.\n",
        "Filter RHV VM id 'no-such-vm': Failed to get VM info.\n"}},
      {"single disks keep the boot disk", {disks_entry(db, {inv::DISK_DB_LOG_ID, inv::DISK_DB_LOG_ID})}, NO_RESERVE,
       {"db-01: db-01_Disk1 db-01_log"}, {"Filter RHV Disk id '" + id(inv::DISK_DB_LOG_ID) + "': it has been added.\n"}},
      {"the whole VM wins over its disks given first",
       {disks_entry(web, {inv::DISK_WEB_OS_ID}), src_entry("VirtualMachine", web)}, NO_RESERVE, {WEB},
       {"Filter RHV VM id '" + web + "': it has been resolved.\n"}},
      {"the whole VM wins over its disks given after",
       {src_entry("VirtualMachine", web), disks_entry(web, {inv::DISK_WEB_OS_ID})}, NO_RESERVE, {WEB},
       {"Filter RHV VM id '" + web + "': it has been added.\n"}},
      {"a VM outside the clusters is found, one inside them is not",
       {src_entry("Cluster", prod), src_entry("VirtualMachine", app), src_entry("VirtualMachine", web)}, NO_RESERVE,
       {WEB, DB, APP}, {"Filter RHV VM id '" + web + "': Failed to get VM info.\n"}},
      {"every cluster given", {src_entry("Cluster", prod), src_entry("Cluster", dev), src_entry("VirtualMachine", web)},
       NO_RESERVE, {WEB, DB, APP}, {"All RHV clusters in data center 'east' have been resolved.\n"}},
      {"entries that are not objects are skipped", {"5", "\"text\"", src_entry("VirtualMachine", web)}, NO_RESERVE,
       {WEB}, {}},
      {"space rule at the defaults", {src_entry("Datacenter", EAST)}, "{}", {WEB, APP},
       {space_line(db, inv::SD_EAST_ISCSI_ID, "10737418240", "19327352832", "20", "3")}},
      {"a reserve of 150 percent fails every domain", {src_entry("VirtualMachine", web)},
       R"({"storage_reserved_percent": 150})", {},
       {space_line(web, inv::SD_EAST_NFS_ID, "10737418240", "2199023255552", "150", "80")}},
      {"a reserve far above 100 percent does not overflow", {src_entry("VirtualMachine", web)},
       R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 100000000})", {},
       {space_line(web, inv::SD_EAST_NFS_ID, "0", "2199023255552", "100000000", "80")}},
  };
  for (const Case& c : cases) {
    Log_Capture log(true);
    Direct_Backup run(f, source(c.entries), c.options);
    ASSERT_TRUE(run.resolve()) << c.name << "\n" << log.dump();
    EXPECT_EQ(run.entries(), c.expected) << c.name;
    expect_lines(log, LM_WARNING, c.warnings, c.name);
  }
}

TEST(RHV_Backup_Entries, exclusion_patterns_and_the_task_identity_of_each_vm)
{
  Backup_Fixture f;
  Log_Capture log(true);
  Direct_Backup run(f, source({src_entry("Datacenter", EAST)}),
                    R"({"storage_reserved_percent": 0, "exclusion": ["web-*", 5, "*-02"]})");
  ASSERT_TRUE(run.resolve()) << log.dump();
  EXPECT_EQ(run.entries(), Lines{DB});
  expect_lines(log, LM_INFO,
               {"VM exclusion list: [\"web-*\",5,\"*-02\"].\n", "Filter RHV VM 'web-01': it is excluded from backup.\n",
                "Filter RHV VM 'app-02': it is excluded from backup.\n"},
               "exclusion");
  const RHV_Backup_Params& db = run.exec->entries().at(0);
  EXPECT_EQ(db.vm_id, inv::VM_DB_ID);
  EXPECT_EQ(db.data_center_id, EAST);
  EXPECT_EQ(db.data_center_name, "east");
  EXPECT_EQ(db.cluster_id, inv::CLUSTER_EAST_PROD_ID);
  EXPECT_EQ(db.cluster_name, "east-prod");
  EXPECT_EQ(db.attachments.at(0).disk.storage_domains.at(0).id, inv::SD_EAST_ISCSI_ID);
}

TEST(RHV_Backup_Entries, bad_sources_and_options_fail_with_their_messages)
{
  Backup_Fixture f;
  struct Case {
    const char* name;
    std::string source;
    std::string options;
    Lines errors;  // the last error lines, in order
  } cases[] = {
      {"type in other letter case", source({src_entry("VirtualMachine", inv::VM_WEB_ID), src_entry("virtualmachine", "x")}),
       "{}",
       {"Unknown entry type 'virtualmachine'.\n", "Failed to add entry.\n",
        "Failed to resolve entries: [{\"id\":\"" + id(inv::VM_WEB_ID) +
            "\",\"type\":\"VirtualMachine\"},{\"id\":\"x\",\"type\":\"virtualmachine\"}].\n"}},
      {"no entries", R"({"id": "source-1"})", "{}",
       {"Invalid entries in backup sources: JSON Pointer path '/entries' not exist in JSON!\n"}},
      {"entries not an array", R"({"entries": {"type": "Cluster"}})", "{}",
       {"Invalid entries in backup sources: JSON Pointer path '/entries' not exist in JSON!\n"}},
      {"entry without an id", R"({"entries": [{"type": "Cluster"}]})", "{}",
       {"Invalid entries in backup sources: JSON member 'id' not found\n"}},
      {"entry without a type", R"({"entries": [{"id": "x"}]})", "{}",
       {"Invalid entries in backup sources: JSON member 'type' not found\n"}},
      {"disk without an id", R"({"entries": [{"type": "VirtualMachine", "id": "v", "disks": [{}]}]})", "{}",
       {"Invalid entries in backup sources: JSON member 'id' not found\n"}},
      {"block size below its limits", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}), R"({"block_size": 4096})",
       {"Option block_size exceeded limits.\n"}},
      {"no parallel VM", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}), R"({"parallel_vms": 0})",
       {"Option parallel_vms exceeded limits.\n"}},
      {"parallel VMs wrapping below zero", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}),
       R"({"parallel_vms": 4294967295})", {"Option parallel_vms exceeded limits.\n"}},
      {"too many disks per VM", source({src_entry("VirtualMachine", inv::VM_WEB_ID)}),
       R"({"parallel_disks_per_vm": 6})", {"Option parallel_disks_per_vm exceeded limits.\n"}},
  };
  for (const Case& c : cases) {
    Log_Capture log(true);
    Direct_Backup run(f, c.source, c.options);
    EXPECT_FALSE(run.resolve()) << c.name;
    Lines errors = log.texts(LM_ERROR);
    ASSERT_GE(errors.size(), c.errors.size()) << c.name << "\n" << log.dump();
    EXPECT_EQ(Lines(errors.end() - c.errors.size(), errors.end()), c.errors) << c.name;
  }

  // Mistyped options keep their defaults, and the limits are not checked without VMs.
  Log_Capture log(true);
  Direct_Backup mistyped(f, source({src_entry("VirtualMachine", inv::VM_WEB_ID)}),
                         R"({"parallel_vms": "9", "block_size": -1, "storage_reserved_percent": "0"})");
  ASSERT_TRUE(mistyped.resolve()) << log.dump();
  EXPECT_EQ(mistyped.entries(), Lines{WEB});
  Direct_Backup none(f, source({src_entry("VirtualMachine", inv::AGENT_VM_ID)}), R"({"block_size": 4096})");
  EXPECT_TRUE(none.resolve()) << log.dump();
  EXPECT_TRUE(none.entries().empty());
}

TEST(RHV_Backup_Entries, space_rule_at_its_boundary_asks_each_domain_once)
{
  Backup_Fixture f;
  test_support::Engine_Simulator& e = f.engine();
  // Two VMs with their disks on a domain with exactly 20 % free at the defaults.
  for (const char* name : {"edge-01", "edge-02"}) {
    test_support::Sim_VM vm;
    vm.name = name;
    vm.cluster_id = inv::CLUSTER_EAST_DEV_ID;
    std::string vm_id = e.add_vm(vm);
    test_support::Sim_Disk disk;
    disk.name = std::string(name) + "_Disk1";
    disk.storage_domain_id = inv::SD_EAST_LOW_ID;
    disk.provisioned_size = inv::MiB;
    test_support::Sim_Disk_Attachment a;
    a.vm_id = vm_id;
    a.disk_id = e.add_disk(disk);
    a.bootable = true;
    ASSERT_TRUE(e.attach_disk(a));
  }
  const std::string domain_path = e.api_path("/storagedomains/") + inv::SD_EAST_LOW_ID;
  const Lines edges = {"edge-01: edge-01_Disk1", "edge-02: edge-02_Disk1"};

  ASSERT_TRUE(e.set_storage_space(inv::SD_EAST_LOW_ID, 10 * inv::GiB, 40 * inv::GiB));
  {
    Log_Capture log(true);
    Direct_Backup run(f, source({src_entry("Cluster", inv::CLUSTER_EAST_DEV_ID)}));
    ASSERT_TRUE(run.resolve()) << log.dump();
    EXPECT_EQ(run.entries(), (Lines{APP, edges[0], edges[1]}));
  }
  EXPECT_EQ(e.count_requests("GET", domain_path), 1u);

  e.clear_requests();
  ASSERT_TRUE(e.set_storage_space(inv::SD_EAST_LOW_ID, 10 * inv::GiB, 40 * inv::GiB + 1));
  {
    Log_Capture log(true);
    Direct_Backup run(f, source({src_entry("Cluster", inv::CLUSTER_EAST_DEV_ID)}));
    ASSERT_TRUE(run.resolve()) << log.dump();
    EXPECT_EQ(run.entries(), Lines{APP});
    Lines shortages;
    for (const std::string& line : log.texts(LM_WARNING))
      if (line.find("does not have enough space") != std::string::npos)
        shortages.push_back(line);
    ASSERT_EQ(shortages.size(), 2u) << log.dump();
    for (const std::string& line : shortages)
      EXPECT_NE(line.find("actually space: 10737418240 bytes.\n\texpected min percent: 20%, actually percent: 19%.\n"),
                std::string::npos)
          << line;
  }
  EXPECT_EQ(e.count_requests("GET", domain_path), 1u);
}

TEST(RHV_Backup_Entries, disks_left_on_the_agent_vm_are_detached_first)
{
  Backup_Fixture f;
  test_support::Engine_Simulator& e = f.engine();
  // An interrupted run left web-01's data disk (from a snapshot) on the agent VM.
  std::string snapshot = e.add_snapshot(inv::VM_WEB_ID, "tessera3-agent-x-1");
  ASSERT_FALSE(snapshot.empty());
  test_support::Sim_Disk_Attachment left;
  left.vm_id = inv::AGENT_VM_ID;
  left.disk_id = inv::DISK_WEB_DATA_ID;
  left.snapshot_id = snapshot;
  ASSERT_TRUE(e.attach_disk(left, true));
  ASSERT_EQ(e.attachments(inv::AGENT_VM_ID).size(), 2u);

  {
    Log_Capture log(true);
    Direct_Backup run(f, source({src_entry("VirtualMachine", inv::VM_WEB_ID)}), NO_RESERVE);
    ASSERT_TRUE(run.resolve()) << log.dump();
    EXPECT_EQ(run.entries(), Lines{WEB});
  }
  std::vector<test_support::Sim_Disk_Attachment> on_agent = e.attachments(inv::AGENT_VM_ID);
  ASSERT_EQ(on_agent.size(), 1u);
  EXPECT_EQ(on_agent[0].disk_id, inv::DISK_AGENT_OS_ID);

  // The engine takes the disk off but its answer is lost: the request sent again is answered
  // "not found", which means done.
  ASSERT_TRUE(e.attach_disk(left, true));
  test_support::Engine_Fault fault;
  fault.method = "DELETE";
  fault.path = e.api_path("/vms/") + inv::AGENT_VM_ID + "/diskattachments/.*";
  fault.kind = test_support::Engine_Fault::done_then_close;
  e.add_fault(fault);
  {
    Log_Capture log(true);
    Direct_Backup run(f, source({src_entry("VirtualMachine", inv::VM_WEB_ID)}), NO_RESERVE);
    ASSERT_TRUE(run.resolve()) << log.dump();
    EXPECT_EQ(run.entries(), Lines{WEB});
    EXPECT_EQ(e.attachments(inv::AGENT_VM_ID).size(), 1u);
  }
  e.clear_faults();

  // When the disk cannot be taken off the agent VM, its VM is left out.
  ASSERT_TRUE(e.attach_disk(left, true));
  fault.kind = test_support::Engine_Fault::error_status;
  fault.status_code = 409;
  e.add_fault(fault);
  Log_Capture log(true);
  Direct_Backup run(f, source({src_entry("VirtualMachine", inv::VM_WEB_ID), src_entry("VirtualMachine", inv::VM_APP_ID)}),
                    NO_RESERVE);
  ASSERT_TRUE(run.resolve()) << log.dump();
  EXPECT_EQ(run.entries(), Lines{APP});
  expect_lines(log, LM_WARNING,
               {"Filter RHV VM id '" + id(inv::VM_WEB_ID) + "': Failed to detach disks of '" + inv::VM_WEB_ID +
                "' from agent VM '" + inv::AGENT_VM_ID + "'.\n"},
               "failed detach");
}

TEST(RHV_Backup_Entries, initialisation_failures)
{
  const std::string web = source({src_entry("VirtualMachine", inv::VM_WEB_ID)});
  struct Case {
    const char* name;
    std::function<void(Backup_Fixture&)> setup;
    std::string options;
    std::string line;  // the last error line; "" when the initialisation succeeds
  } cases[] = {
      {"nfc in upper case runs as nfc", [](Backup_Fixture&) {}, R"({"backup_method": "NFC"})", ""},
      {"san on an engine of 4.5", [](Backup_Fixture&) {}, R"({"backup_method": "san"})",
       "Unsupported backup method 'san'.\n"},
      {"san on an engine of 4.3", [](Backup_Fixture& g) { g.engine().set_version({"4.3.10-1.el7", 4, 3, 10, 0}); },
       R"({"backup_method": "san"})", "Unsupported backup method 'san' when RHV version less than 4.4.\n"},
      {"no agent VM", [](Backup_Fixture& g) { g.set_record("agent_vm_id", json_spirit::Value("")); }, "{}",
       "Unsupported backup method 'nfc' when agent_vm_id is empty.\n"},
      {"no host record", [](Backup_Fixture&) { unregister_global_json_rpc("rhev.query"); }, "{}",
       "Failed to get RHV resource.\n"},
  };
  for (const Case& c : cases) {
    Backup_Fixture g;
    c.setup(g);
    Log_Capture log(true);
    Direct_Backup run(g, web, c.options);
    EXPECT_EQ(run.exec->init(), c.line.empty()) << c.name << "\n" << log.dump();
    if (c.line.empty()) {
      EXPECT_EQ(run.exec->backup_method(), NFC) << c.name;
    } else {
      Lines errors = log.texts(LM_ERROR);
      ASSERT_FALSE(errors.empty()) << c.name;
      EXPECT_EQ(errors.back(), c.line) << c.name;
    }
    EXPECT_TRUE(g.alerts().empty()) << c.name;
  }

  // A login refused by the engine raises the login alert.
  Backup_Fixture f;
  f.set_password("wrong-password");
  Log_Capture log(true);
  Direct_Backup run(f, web);
  EXPECT_FALSE(run.exec->init());
  EXPECT_EQ(log.texts(LM_ERROR).back(),
            "admin@internal failed to login RHV 127.0.0.1:" + std::to_string(f.engine().port()) + ".\n");
  EXPECT_EQ(f.alert_codes(),
            Lines{"7/1 [\"admin@internal\",\"127.0.0.1\"," + std::to_string(f.engine().port()) + "]"});
}
