// Infrastructure records against engine-shaped documents.

#include "backup/rhv/api/rhv_defs_infra.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/backup/rhv/api/record_test_helpers.h"
#include "tests/support/engine_documents.h"

using json_spirit::Object;
using namespace record_test;
namespace ed = engine_documents;
using Lines = std::vector<std::string>;
using Keys = std::vector<std::string>;

namespace {

const std::string DC = ed::uuid(15, 0);
const std::string DC2 = ed::uuid(15, 1);

}  // namespace

TEST(Infra_Records, engine_replies_round_trip_every_named_key)
{
  Keys base{"id", "name", "comment", "description"};
  auto with = [&base](Keys k) {
    k.insert(k.end(), base.begin(), base.end());
    return k;
  };
  expect_round_trip<RHV_Data_Center>(ed::data_center(DC, "Default"), with({"local", "status"}));
  expect_round_trip<RHV_Cluster>(ed::cluster(ed::uuid(10, 0), "Default", DC), with({"cpu", "data_center"}));
  expect_round_trip<RHV_Host>(ed::host(ed::uuid(11, 0), "host1", "10.0.0.5", ed::uuid(10, 0)),
                              with({"status", "address", "cluster"}));
  expect_round_trip<RHV_Network>(ed::network(ed::uuid(14, 0), "ovirtmgmt", DC), with({"data_center"}));
  ed::VM_Spec vm = ed::sample_vm(1, 1, 2);
  expect_round_trip<RHV_VNIC_Profile>(ed::vnic_profile(vm.nics[0]),
                                      with({"migratable", "port_mirroring", "pass_through", "network",
                                            "network_filter", "qos", "data_center"}));
  expect_round_trip<RHV_NIC>(ed::nic(vm.nics[1], vm.id),
                             with({"linked", "plugged", "interface", "mac", "vnic_profile", "vm"}));
  expect_round_trip<RHV_Storage_Domain>(
      ed::storage_domain(ed::uuid(12, 0), "data1", 536870912000L, 107374182400L, {DC, DC2}),
      with({"available", "used", "committed", "type", "storage_format", "status", "data_centers"}));
}

TEST(Infra_Records, engine_replies_load_into_members)
{
  RHV_Storage_Domain sd;
  ASSERT_TRUE(sd.load(ed::storage_domain("sd1", "data1", 536870912000L, 107374182400L, {DC, DC2})));
  EXPECT_EQ(sd.available, 536870912000L);
  EXPECT_EQ(sd.used, 107374182400L);
  EXPECT_EQ(sd.committed, 53687091200L);
  EXPECT_EQ(sd.type, "data");
  EXPECT_EQ(sd.storage.type, "nfs");
  ASSERT_EQ(sd.data_centers.size(), 2u);
  EXPECT_EQ(sd.data_centers[0].id, DC);
  EXPECT_EQ(sd.data_centers[1].id, DC2);
  // The "storage" object is written back with its type only.
  EXPECT_EQ(text(sd.dump().at("storage")), R"({"type":"nfs"})");

  ed::VM_Spec vm = ed::sample_vm(5, 0, 1);
  RHV_NIC nic;
  ASSERT_TRUE(nic.load(ed::nic(vm.nics[0], vm.id)));
  EXPECT_EQ(nic.vm.id, vm.id);
  EXPECT_EQ(nic.mac.address, vm.nics[0].mac);
  ASSERT_TRUE(nic.linked);
  EXPECT_FALSE(*nic.linked);  // sample VM 5 has its NIC unlinked
  EXPECT_EQ(nic.vnic_profile.id, vm.nics[0].profile_id);
  EXPECT_EQ(nic.vnic_profile.name, "ovirtmgmt");
  EXPECT_EQ(nic.vnic_profile.network.id, vm.nics[0].network_id);
  EXPECT_EQ(nic.vnic_profile.pass_through.mode, "disabled");
  EXPECT_FALSE(nic.vnic_profile.migratable);  // absent: unset, and not written
  EXPECT_EQ(nic.vnic_profile.dump().count("migratable"), 0u);
}

TEST(Infra_Records, absent_and_empty_lists_and_parts)
{
  struct Row {
    char const* what;
    char const* input;
    char const* dump;
  };
  const Row rows[] = {
      {"no data centers", R"({"id": "s", "available": "10"})", R"({"available":"10","id":"s"})"},
      {"empty data center array", R"({"id": "s", "data_centers": {"data_center": []}})", R"({"id":"s"})"},
      {"empty wrapper", R"({"id": "s", "data_centers": {}})", R"({"id":"s"})"},
      {"empty storage", R"({"id": "s", "storage": {}})", R"({"id":"s"})"},
      {"storage without type", R"({"id": "s", "storage": {"path": "/x"}})", R"({"id":"s"})"},
      {"negative sizes", R"({"id": "s", "available": "-1", "used": "-20", "committed": "0"})",
       R"({"committed":"0","id":"s"})"},
      // Conversion stops at the first non-digit: "1e9" is 1.
      {"digits then letters", R"({"id": "s", "used": "1e9"})", R"({"id":"s","used":"1"})"},
  };
  for (Row const& row : rows) {
    RHV_Storage_Domain sd;
    sd.data_centers.resize(2);  // a load replaces them
    ASSERT_TRUE(sd.load(obj(row.input))) << row.what;
    EXPECT_EQ(dump_text(sd), row.dump) << row.what;
  }

  // A NIC whose reply carries only the profile's id writes the profile back as that id.
  RHV_NIC nic;
  ASSERT_TRUE(nic.load(obj(R"({"id": "n", "vnic_profile": {"id": "p"}})")));
  EXPECT_EQ(dump_text(nic), R"({"id":"n","vnic_profile":{"id":"p"}})");

  // A host of an id and an address dumps exactly those, in key order.
  RHV_Host host;
  host.id = "h";
  host.address = "10.0.0.5";
  EXPECT_EQ(dump_text(host), R"({"address":"10.0.0.5","id":"h"})");
}

TEST(Infra_Records, failed_loads_log_innermost_first_and_keep_the_record)
{
  struct Row {
    char const* what;
    Outcome (*load)(Object const&, Object const&);
    char const* input;
    Lines lines;  // "{id:<object>}" stands for the base record's exception line about <object>
  };
  Object seed = obj(R"({"id": "seed", "name": "kept", "status": "up"})");
  const std::string no_id = R"({"href":"/ovirt-engine/api/datacenters/x"})";
  const Row rows[] = {
      {"data center without id", try_load<RHV_Data_Center>, R"({"name": "dc", "local": "true"})",
       {"{id:" + std::string(R"({"local":"true","name":"dc"})") + "}",
        "Invalid object format: '{\"local\":\"true\",\"name\":\"dc\"}'.\n"}},
      {"cluster cpu", try_load<RHV_Cluster>, R"({"id": "c", "cpu": {"topology": {"cores": "two"}}})",
       {"Invalid cores format: 'two'.\n", "Invalid cpu format: '{\"topology\":{\"cores\":\"two\"}}'.\n"}},
      {"cluster data center link", try_load<RHV_Cluster>,
       R"({"id": "c", "data_center": {"href": "/ovirt-engine/api/datacenters/x"}})",
       {"{id:" + no_id + "}", "Invalid data center format: '" + no_id + "'.\n"}},
      {"host cluster link", try_load<RHV_Host>, R"({"id": "h", "cluster": {"name": "c"}})",
       {"{id:{\"name\":\"c\"}}", "Invalid cluster format: '{\"name\":\"c\"}'.\n"}},
      {"network data center link", try_load<RHV_Network>, R"({"id": "n", "data_center": {}})",
       {"{id:{}}", "Invalid data center format: '{}'.\n"}},
      {"profile network", try_load<RHV_VNIC_Profile>, R"({"id": "p", "network": {"id": 1}})",
       {"{id:{\"id\":1}}", "Invalid network format: '{\"id\":1}'.\n"}},
      {"profile network filter", try_load<RHV_VNIC_Profile>, R"({"id": "p", "network_filter": {}})",
       {"{id:{}}", "Invalid network_filter format: '{}'.\n"}},
      {"profile qos", try_load<RHV_VNIC_Profile>, R"({"id": "p", "qos": {}, "data_center": {}})",
       {"{id:{}}", "Invalid qos format: '{}'.\n"}},
      {"profile data center", try_load<RHV_VNIC_Profile>, R"({"id": "p", "data_center": {}})",
       {"{id:{}}", "Invalid data_center format: '{}'.\n"}},
      {"nic profile", try_load<RHV_NIC>, R"({"id": "n", "vnic_profile": {"name": "ovirtmgmt"}})",
       {"{id:{\"name\":\"ovirtmgmt\"}}", "Invalid object format: '{\"name\":\"ovirtmgmt\"}'.\n",
        "Invalid vnic profile format: '{\"name\":\"ovirtmgmt\"}'.\n"}},
      {"nic vm link", try_load<RHV_NIC>, R"({"id": "n", "vm": {}})", {"{id:{}}", "Invalid vm format: '{}'.\n"}},
      {"storage available", try_load<RHV_Storage_Domain>, R"({"id": "s", "available": "lots", "used": "x"})",
       {"Invalid available format: 'lots'.\n"}},
      {"storage used", try_load<RHV_Storage_Domain>, R"({"id": "s", "used": "-"})", {"Invalid used format: '-'.\n"}},
      {"storage committed", try_load<RHV_Storage_Domain>, R"({"id": "s", "committed": ""})",
       {"Invalid committed format: ''.\n"}},
      {"storage data centers", try_load<RHV_Storage_Domain>,
       R"({"id": "s", "data_centers": {"data_center": [{"id": "a"}, {"name": "b"}, {"id": "c"}]}})",
       {"{id:{\"name\":\"b\"}}", "Invalid data_center format: '{\"name\":\"b\"}'.\n",
        "Invalid data centers format: '{\"data_center\":[{\"id\":\"a\"},{\"name\":\"b\"},{\"id\":\"c\"}]}'.\n"}},
  };
  for (Row const& row : rows) {
    Outcome r = row.load(seed, obj(row.input));
    Lines expected;
    for (std::string const& line : row.lines)
      expected.push_back(line.compare(0, 4, "{id:") == 0 ? id_exception_line(line.substr(4, line.size() - 5))
                                                         : line);
    EXPECT_FALSE(r.ok) << row.what;
    EXPECT_EQ(r.lines, expected) << row.what;
    EXPECT_EQ(r.after, r.before) << row.what;
    EXPECT_TRUE(r.other.empty()) << row.what;
  }
}
