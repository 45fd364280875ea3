// The per-VM task parameters of a restore: the key set and round trip, the NIC flags as
// texts, required keys, elements of other types, and the job side's list readers.

#include "backup/rhv/job/rhv_restore_params.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"

namespace {

json_spirit::Value parse(const std::string& text)
{
  json_spirit::Value v;
  std::string why;
  EXPECT_TRUE(json_spirit::parse(text, v, &why)) << why << " in " << text;
  return v;
}

std::string dump(const json_spirit::Value& v)
{
  return JSON_Dump(v).str();
}

RHV_Restore_Params sample_params()
{
  RHV_Restore_Params p;
  p.backupd_host = "127.0.0.1";
  p.backupd_port = 8443;
  p.def_id = "def-r";
  p.host_uuid = "host-1";
  p.resource_uuid = "source-r";
  p.access_key = "key";
  p.host_info.uuid = "host-1";
  p.host_info.host = "127.0.0.1";
  p.host_info.port = 8080;
  p.host_info.username = "admin@internal";
  p.host_info.password = "secret";
  p.cluster_id = "cl-1";
  p.cluster_name = "east-prod";
  p.vm_id = "vm-1";
  p.vm_name = "web-01";
  p.original_restore = false;
  p.start_vm = true;
  p.target_cluster_id = "cl-2";
  p.target_cluster_name = "east-dev";
  p.target_vm_name = "web-01_20240101000000";
  p.catalog_uuid = "set-1";
  p.pool_uuid = "pool-1";
  p.retry_seconds = 30;
  RHV_Restore_Disk d;
  d.id = "disk-1";
  d.source_datastore_id = "sd-1";
  d.target_datastore_id = "sd-2";
  p.disks.push_back(d);
  RHV_Restore_NIC n;
  n.name = "nic1";
  n.interface = "virtio";
  n.linked = false;
  n.mac_address = "56:6f:00:00:00:01";
  n.auto_gen_mac = false;
  n.vnic_profile_id = "profile-1";
  p.nics.push_back(n);
  return p;
}

TEST(RHV_Restore_Params, dump_writes_every_key_and_loads_back)
{
  const RHV_Restore_Params p = sample_params();
  const json_spirit::Object obj = p.dump();

  std::vector<std::string> keys;
  for (const auto& member : obj)
    keys.push_back(member.first);
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "access_key", "action", "backupd_host", "backupd_port", "backupd_ssl", "block_size",
                      "catalog_uuid", "client_io_opts", "cluster_id", "cluster_name", "data_center_id",
                      "data_center_name", "def_id", "disks", "host_id", "host_info", "host_name", "host_uuid",
                      "job_revision", "nics", "original_restore", "parallel_disks_per_vm",
                      "parallel_workers_per_disk", "pool_uuid", "resource_uuid", "start_vm", "target_cluster_id",
                      "target_vm_id", "target_vm_name", "vm_id", "vm_name"}));
  EXPECT_EQ(obj.at("action").get_str(), "restore");
  EXPECT_EQ(dump(obj.at("disks")), R"([{"id":"disk-1","source_datastore_id":"sd-1","target_datastore_id":"sd-2"}])");
  // The link state travels as a text; "plugged" was never set and is not written.
  EXPECT_EQ(dump(obj.at("nics")), R"([{"auto_gen_mac":false,"interface":"virtio","linked":"false",)"
                                  R"("mac_address":"56:6f:00:00:00:01","name":"nic1","vnic_profile_id":"profile-1"}])");

  RHV_Restore_Params back;
  ASSERT_TRUE(back.load(obj));
  EXPECT_FALSE(back.original_restore);
  EXPECT_TRUE(back.start_vm);
  EXPECT_EQ(back.target_cluster_id, "cl-2");
  EXPECT_EQ(back.target_cluster_name, "");  // job side only
  EXPECT_EQ(back.target_vm_name, "web-01_20240101000000");
  EXPECT_EQ(back.catalog_uuid, "set-1");
  EXPECT_EQ(back.pool_uuid, "pool-1");
  EXPECT_EQ(back.retry_seconds, 0);  // not carried
  EXPECT_EQ(back.host_info.password.c_str(), std::string("secret"));
  EXPECT_EQ(dump(json_spirit::Value(back.dump())), dump(json_spirit::Value([&] {
              RHV_Restore_Params expected = p;
              expected.target_cluster_name.clear();
              return expected.dump();
            }())));
}

TEST(RHV_Restore_Params, load_refuses_missing_keys_and_empty_source_ids)
{
  struct Row {
    const char* name;
    std::function<void(json_spirit::Object&)> change;
    ACE_Log_Priority priority;
    std::string message;  // the start of the one line logged
  };
  const std::vector<Row> rows = {
    {"no nics", [](json_spirit::Object& o) { o.erase("nics"); }, LM_ERROR, "Failed to load RHV restore params: "},
    {"no pool uuid", [](json_spirit::Object& o) { o.erase("pool_uuid"); }, LM_ERROR,
     "Failed to load RHV restore params: "},
    {"start_vm a text", [](json_spirit::Object& o) { o["start_vm"] = json_spirit::Value("true"); }, LM_ERROR,
     "Failed to load RHV restore params: "},
    {"disks an object", [](json_spirit::Object& o) { o["disks"] = json_spirit::Value(json_spirit::Object()); },
     LM_ERROR, "Failed to load RHV restore params: "},
    {"empty vm id", [](json_spirit::Object& o) { o["vm_id"] = json_spirit::Value(""); }, LM_EMERGENCY,
     "Unexpected error in backup/rhv/job/rhv_restore_params.cpp:"},
    {"empty cluster id", [](json_spirit::Object& o) { o["cluster_id"] = json_spirit::Value(""); }, LM_EMERGENCY,
     "Unexpected error in backup/rhv/job/rhv_restore_params.cpp:"},
    {"nic without auto_gen_mac",
     [](json_spirit::Object& o) { o["nics"].get_array()[0].get_obj().erase("auto_gen_mac"); }, LM_ERROR,
     "Failed to add load nic info: "},
    {"nic without name", [](json_spirit::Object& o) { o["nics"].get_array()[0].get_obj().erase("name"); },
     LM_ERROR, "Failed to add load nic info: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    json_spirit::Object obj = sample_params().dump();
    row.change(obj);
    Log_Capture log(true);
    RHV_Restore_Params p;
    EXPECT_FALSE(p.load(obj));
    std::vector<Log_Capture::Line> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << log.dump();
    EXPECT_EQ(lines[0].priority, row.priority);
    EXPECT_EQ(lines[0].text.rfind(row.message, 0), 0u) << lines[0].text;
  }
  // The check lines name the empty member.
  json_spirit::Object obj = sample_params().dump();
  obj["vm_id"] = json_spirit::Value("");
  Log_Capture log(true);
  RHV_Restore_Params p;
  EXPECT_FALSE(p.load(obj));
  EXPECT_NE(log.dump().find(", vm_id is empty:\n"), std::string::npos) << log.dump();
}

TEST(RHV_Restore_Params, list_elements_of_other_types_are_skipped_and_flags_are_exact_texts)
{
  json_spirit::Object obj = sample_params().dump();
  obj["disks"] = parse(R"([7, {"id": "disk-a"}, "x", {}, {"id": "disk-b", "target_datastore_id": "sd-9"}])");
  obj["nics"] = parse(R"([null,
      {"name": "n1", "interface": "virtio", "auto_gen_mac": true, "linked": "True", "plugged": "true"},
      {"name": "n2", "interface": "e1000", "auto_gen_mac": false, "linked": "true"}])");
  Log_Capture log(true);
  RHV_Restore_Params p;
  ASSERT_TRUE(p.load(obj));
  EXPECT_TRUE(log.texts().empty()) << log.dump();

  ASSERT_EQ(p.disks.size(), 3u);
  EXPECT_EQ(p.disks[0].id, "disk-a");
  EXPECT_EQ(p.disks[1].id, "");  // a disk with none of its keys has empty ids
  EXPECT_EQ(p.disks[1].target_datastore_id, "");
  EXPECT_EQ(p.disks[2].target_datastore_id, "sd-9");
  ASSERT_EQ(p.nics.size(), 2u);
  ASSERT_TRUE(p.nics[0].linked.has_value());
  EXPECT_FALSE(*p.nics[0].linked);  // "True" is not "true"
  EXPECT_TRUE(*p.nics[0].plugged);
  EXPECT_TRUE(*p.nics[1].linked);
  EXPECT_FALSE(p.nics[1].plugged.has_value());
  EXPECT_EQ(dump(json_spirit::Value(p.nics[1].dump())),
            R"({"auto_gen_mac":false,"interface":"e1000","linked":"true","mac_address":"","name":"n2","vnic_profile_id":""})");

  // A load replaces the lists of an earlier load.
  ASSERT_TRUE(p.load(sample_params().dump()));
  EXPECT_EQ(p.disks.size(), 1u);
  EXPECT_EQ(p.nics.size(), 1u);
}

TEST(RHV_Restore_Params, list_readers_append_and_stop_at_a_bad_element)
{
  RHV_Restore_Params p;
  EXPECT_TRUE(p.load_disks(json_spirit::Array()));
  EXPECT_TRUE(p.load_disks(parse(R"([{"id": "d1"}, 3])").get_array()));
  EXPECT_TRUE(p.load_disks(parse(R"([{"id": "d2"}])").get_array()));
  ASSERT_EQ(p.disks.size(), 2u);  // appended, not replaced
  EXPECT_EQ(p.disks[1].id, "d2");

  Log_Capture log(true);
  EXPECT_FALSE(p.load_nics(parse(R"([{"name": "a", "interface": "virtio", "auto_gen_mac": true},
                                      {"name": "b", "interface": "virtio"},
                                      {"name": "c", "interface": "virtio", "auto_gen_mac": true}])")
                               .get_array()));
  EXPECT_EQ(p.nics.size(), 1u);  // the elements before the bad one stay
  ASSERT_EQ(log.texts(LM_ERROR).size(), 1u);
  EXPECT_EQ(log.texts(LM_ERROR)[0].rfind("Failed to add load nic info: ", 0), 0u);

  RHV_Restore_Disk disk;
  EXPECT_FALSE(disk.load(json_spirit::Value("disk-1")));
  ASSERT_EQ(log.texts(LM_ERROR).size(), 2u);
  EXPECT_EQ(log.texts(LM_ERROR)[1].rfind("Failed to load RHV_Restore_Disk from JSON: ", 0), 0u);
}

}  // namespace
