// Lists of records in the engine's wrapper objects.

#include "backup/rhv/api/rhv_defs_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "tests/backup/rhv/api/record_test_helpers.h"
#include "tests/support/engine_documents.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;
using namespace record_test;
namespace ed = engine_documents;
using Lines = std::vector<std::string>;

namespace {

std::vector<std::string> ids(RHV_Objects const& v)
{
  std::vector<std::string> out;
  for (RHV_Object const& o : v)
    out.push_back(o.id);
  return out;
}

RHV_Objects three_links()
{
  RHV_Objects v;
  EXPECT_TRUE(load_rhv_objects(obj(R"({"storage_domain": [{"id": "a"}, {"id": "b"}, {"id": "c"}]})"),
                               "storage_domain", v));
  return v;
}

// One named pair: a reply of `n` copies of `element` under `key` loads `n` records and
// dumps back under the same key with `n` elements; an empty vector dumps as {}.
template <class V>
void check_pair(char const* key, bool (*load)(Object const&, V&), Object (*dump)(V const&), Object const& element)
{
  SCOPED_TRACE(key);
  Object reply{{key, Value(Array{Value(element), Value(element), Value(element)})}};
  V items;
  ASSERT_TRUE(load(reply, items));
  ASSERT_EQ(items.size(), 3u);
  Object dumped = dump(items);
  ASSERT_EQ(dumped.size(), 1u);
  ASSERT_EQ(dumped.count(key), 1u);
  EXPECT_EQ(dumped.at(key).get_array().size(), 3u);
  std::string why;
  EXPECT_TRUE(within(Value(dumped), Value(reply), "", why)) << why;
  EXPECT_EQ(text(dump(V())), "{}");
  // The element key is the one of this pair: another key reads as an empty list.
  Object other{{"other", Value(Array{Value(element)})}};
  ASSERT_TRUE(load(other, items));
  EXPECT_TRUE(items.empty());
}

}  // namespace

TEST(Record_Lists, every_named_pair_uses_its_element_key)
{
  ed::VM_Spec vm = ed::sample_vm(8, 2, 1);
  check_pair("data_center", load_rhv_data_centers, dump_rhv_data_centers, ed::data_center("dc", "Default"));
  check_pair("cluster", load_rhv_clusters, dump_rhv_clusters, ed::cluster("c", "Default", "dc"));
  check_pair("host", load_rhv_hosts, dump_rhv_hosts, ed::host("h", "host1", "10.0.0.1", "c"));
  check_pair("network", load_rhv_networks, dump_rhv_networks, ed::network("n", "ovirtmgmt", "dc"));
  check_pair("vnic_profile", load_rhv_vnic_profiles, dump_rhv_vnic_profiles, ed::vnic_profile(vm.nics[0]));
  check_pair("nic", load_rhv_nics, dump_rhv_nics, ed::nic(vm.nics[0], vm.id));
  check_pair("storage_domain", load_rhv_storage_domains, dump_rhv_storage_domains,
             ed::storage_domain("sd", "data", 100, 50, {"dc"}));
  check_pair("vm", load_rhv_vms, dump_rhv_vms, ed::vm(vm, ed::FOLLOW_ALL));
  check_pair("disk", load_rhv_disks, dump_rhv_disks, ed::disk(vm.disks[0]));
  check_pair("disk_attachment", load_rhv_disk_attachments, dump_rhv_disk_attachments,
             ed::disk_attachment(vm.disks[1], vm.id, true));
  Object snapshot = ed::snapshot(vm, "s", "d", 1);
  snapshot.erase("disk_attachment");  // it would be dumped under another key
  check_pair("snapshot", load_rhv_snapshots, dump_rhv_snapshots, snapshot);
}

TEST(Record_Lists, absent_key_or_empty_array_clears_the_vector)
{
  for (char const* wrapper :
       {"{}", R"({"storage_domain": []})", R"({"other": [{"id": "x"}]})", R"({"storage_domain": {"id": "x"}})",
        R"({"storage_domain": "x"})"}) {
    RHV_Objects v = three_links();
    EXPECT_TRUE(load_rhv_objects(obj(wrapper), "storage_domain", v)) << wrapper;
    EXPECT_TRUE(v.empty()) << wrapper;
  }
}

TEST(Record_Lists, loads_in_array_order_and_dumps_in_vector_order)
{
  RHV_Objects v = three_links();
  EXPECT_EQ(ids(v), (std::vector<std::string>{"a", "b", "c"}));
  std::swap(v[0], v[2]);
  EXPECT_EQ(text(dump_rhv_objects("storage_domain", v)),
            R"({"storage_domain":[{"id":"c"},{"id":"b"},{"id":"a"}]})");
  // Every element is written, even when its dump is empty.
  EXPECT_EQ(text(dump_rhv_objects("disk", RHV_Disks(1))), R"({"disk":[{}]})");
  EXPECT_EQ(text(dump_rhv_objects("disk", RHV_Disks())), "{}");
}

TEST(Record_Lists, a_failed_element_fails_the_list_and_keeps_the_vector)
{
  struct Row {
    char const* what;
    char const* wrapper;
    Lines lines;  // after the element's own lines, if any
  };
  const Row rows[] = {
      {"second without id", R"({"storage_domain": [{"id": "x"}, {"name": "y"}, {"name": "z"}]})",
       {id_exception_line(R"({"name":"y"})"), "Invalid storage_domain format: '{\"name\":\"y\"}'.\n"}},
      // Elements that are not objects fail like an element whose load fails.
      {"number", R"({"storage_domain": [{"id": "x"}, 42, {"name": "z"}]})",
       {"Invalid storage_domain format: '42'.\n"}},
      {"string", R"({"storage_domain": ["x"]})", {"Invalid storage_domain format: '\"x\"'.\n"}},
      {"null", R"({"storage_domain": [null]})", {"Invalid storage_domain format: 'null'.\n"}},
      {"bool", R"({"storage_domain": [{"id": "x"}, true]})", {"Invalid storage_domain format: 'true'.\n"}},
      {"array", R"({"storage_domain": [[{"id": "x"}]]})", {"Invalid storage_domain format: '[{\"id\":\"x\"}]'.\n"}},
      {"huge number", R"({"storage_domain": [18446744073709551615]})",
       {"Invalid storage_domain format: '18446744073709551615'.\n"}},
  };
  for (Row const& row : rows) {
    RHV_Objects v = three_links();
    bool ok = true;
    Lines lines;
    {
      Log_Capture log(true);
      EXPECT_NO_THROW(ok = load_rhv_objects(obj(row.wrapper), "storage_domain", v)) << row.what;
      lines = log.texts();
    }
    EXPECT_FALSE(ok) << row.what;
    EXPECT_EQ(lines, row.lines) << row.what;
    EXPECT_EQ(ids(v), (std::vector<std::string>{"a", "b", "c"})) << row.what;
  }
}

TEST(Record_Lists, a_stored_vm_with_a_bad_nested_list_element_fails_cleanly)
{
  // A VM read back from stored metadata whose NIC list holds a text instead of a NIC.
  ed::VM_Spec shape = ed::sample_vm(9, 1, 2);
  Object stored = ed::vm(shape, ed::FOLLOW_ALL);
  stored["nics"].get_obj()["nic"].get_array()[1] = Value("nic2");
  RHV_VMs vms(2);
  vms[0].id = "earlier";
  Object reply{{"vm", Value(Array{Value(stored)})}};
  bool ok = true;
  Lines lines;
  {
    Log_Capture log(true);
    EXPECT_NO_THROW(ok = load_rhv_vms(reply, vms));
    lines = log.texts(LM_ERROR);
  }
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Invalid nic format: '\"nic2\"'.\n");
  EXPECT_EQ(lines[1].rfind("Invalid nics format: '{\"nic\":[{", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("Invalid vm format: '{", 0), 0u) << lines[2];
  ASSERT_EQ(vms.size(), 2u);
  EXPECT_EQ(vms[0].id, "earlier");
}
