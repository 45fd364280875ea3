// VM, disk, disk attachment and snapshot records against engine-shaped documents.

#include "backup/rhv/api/rhv_defs_vm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/backup/rhv/api/record_test_helpers.h"
#include "tests/support/engine_documents.h"

using json_spirit::Object;
using json_spirit::Value;
using namespace record_test;
namespace ed = engine_documents;
using Lines = std::vector<std::string>;
using Keys = std::vector<std::string>;

namespace {

const Keys VM_KEYS{"id", "name", "comment", "description", "bios", "cpu", "os", "memory", "status",
                   "custom_emulated_machine", "memory_policy", "template", "host", "cluster", "storage_domains",
                   "disk_attachments", "nics"};
const Keys DISK_KEYS{"id", "name", "comment", "description", "provisioned_size", "actual_size", "sparse",
                     "shareable", "storage_type", "content_type", "format", "status", "backup", "backup_mode",
                     "snapshot", "storage_domains"};
const Keys ATTACHMENT_KEYS{"id", "name", "comment", "description", "active", "bootable", "pass_discard",
                           "read_only", "interface", "logical_name", "disk", "vm"};

// Drops the engine's relation links from a document, to keep it short.
void strip_links(Value& v)
{
  if (v.type() == json_spirit::obj_type) {
    v.get_obj().erase("actions");
    v.get_obj().erase("link");
    v.get_obj().erase("href");
    for (auto& member : v.get_obj())
      strip_links(member.second);
  } else if (v.type() == json_spirit::array_type) {
    for (Value& element : v.get_array())
      strip_links(element);
  }
}

// Stands for the base record's exception line about the object that follows.
std::vector<std::string> expand(Lines const& lines)
{
  Lines out;
  for (std::string const& line : lines)
    out.push_back(line.compare(0, 4, "{id:") == 0 ? id_exception_line(line.substr(4, line.size() - 5)) : line);
  return out;
}

}  // namespace

TEST(VM_Record, loads_a_followed_vm_with_its_attachments_disks_and_nics)
{
  ed::VM_Spec shape = ed::sample_vm(2, 3, 2);
  shape.disks[1].shareable = true;
  RHV_VM vm;
  ASSERT_TRUE(vm.load(ed::vm(shape, ed::FOLLOW_ALL)));
  EXPECT_EQ(vm.id, shape.id);
  EXPECT_EQ(vm.name, shape.name);
  EXPECT_EQ(vm.status, "up");
  EXPECT_EQ(vm.memory, shape.memory);
  EXPECT_EQ(vm.cluster.id, shape.cluster_id);
  EXPECT_EQ(vm.host.id, shape.host_id);
  EXPECT_EQ(vm.template_.id, shape.template_id);
  EXPECT_EQ(vm.cpu.topology.cores, shape.cores);
  EXPECT_EQ(vm.os.type, "rhel_8x64");
  EXPECT_EQ(vm.memory_policy.max, shape.memory * 4);
  ASSERT_TRUE(vm.bios.boot_menu.enabled);
  EXPECT_FALSE(*vm.bios.boot_menu.enabled);

  ASSERT_EQ(vm.disk_attachments.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    RHV_Disk_Attachment const& a = vm.disk_attachments[i];
    ed::Disk_Spec const& d = shape.disks[i];
    EXPECT_EQ(a.id, d.id);
    EXPECT_EQ(a.vm.id, shape.id);
    EXPECT_EQ(a.interface, "virtio_scsi");
    EXPECT_EQ(a.logical_name, d.logical_name);
    ASSERT_TRUE(a.bootable);
    EXPECT_EQ(*a.bootable, i == 0);
    EXPECT_EQ(a.disk.id, d.id);
    EXPECT_EQ(a.disk.name, d.name);
    EXPECT_EQ(a.disk.provisioned_size, d.provisioned_size);
    EXPECT_EQ(a.disk.actual_size, d.actual_size);
    EXPECT_EQ(a.disk.format, d.format);
    ASSERT_TRUE(a.disk.shareable);
    EXPECT_EQ(*a.disk.shareable, i == 1);
    ASSERT_EQ(a.disk.storage_domains.size(), 1u);
    EXPECT_EQ(a.disk.storage_domains[0].id, d.storage_domain_id);
  }
  ASSERT_EQ(vm.nics.size(), 2u);
  EXPECT_EQ(vm.nics[1].name, "nic2");
  EXPECT_EQ(vm.nics[1].vnic_profile.name, "backend");
  EXPECT_EQ(vm.nics[1].mac.address, shape.nics[1].mac);

  // A copy keeps its own vectors.
  RHV_VM copy(vm);
  copy.disk_attachments.clear();
  copy.nics[0].name = "changed";
  EXPECT_EQ(vm.disk_attachments.size(), 3u);
  EXPECT_EQ(vm.nics[0].name, "nic1");
}

TEST(VM_Record, engine_replies_round_trip_every_named_key)
{
  for (unsigned follow : {unsigned(ed::FOLLOW_NONE), unsigned(ed::FOLLOW_DISK_ATTACHMENTS), unsigned(ed::FOLLOW_ALL)})
    for (unsigned long n : {0ul, 2ul, 3ul, 4ul})
      expect_round_trip<RHV_VM>(ed::vm(ed::sample_vm(n, 2, 2), follow), VM_KEYS);

  ed::VM_Spec shape = ed::sample_vm(7, 2, 0);
  expect_round_trip<RHV_Disk>(ed::disk(shape.disks[0]), DISK_KEYS);
  expect_round_trip<RHV_Disk_Attachment>(ed::disk_attachment(shape.disks[0], shape.id, true), ATTACHMENT_KEYS);
  expect_round_trip<RHV_Disk_Attachment>(ed::disk_attachment(shape.disks[1], shape.id, false), ATTACHMENT_KEYS);
}

TEST(VM_Record, absent_and_empty_lists_load_empty_and_are_not_dumped)
{
  ed::VM_Spec shape = ed::sample_vm(1, 2, 2);
  Object plain = ed::vm(shape, ed::FOLLOW_NONE);
  Object empty_arrays = plain;
  empty_arrays["disk_attachments"] = Value(Object{{"disk_attachment", Value(json_spirit::Array())}});
  empty_arrays["nics"] = Value(Object{{"nic", Value(json_spirit::Array())}});
  Object empty_wrappers = plain;
  empty_wrappers["disk_attachments"] = Value(Object());
  empty_wrappers["nics"] = Value(Object());

  for (Object const* input : {&plain, &empty_arrays, &empty_wrappers}) {
    RHV_VM vm;
    ASSERT_TRUE(vm.load(ed::vm(shape, ed::FOLLOW_ALL)));
    ASSERT_EQ(vm.disk_attachments.size(), 2u);
    ASSERT_TRUE(vm.load(*input));
    EXPECT_TRUE(vm.disk_attachments.empty());
    EXPECT_TRUE(vm.nics.empty());
    Object dumped = vm.dump();
    EXPECT_EQ(dumped.count("disk_attachments"), 0u);
    EXPECT_EQ(dumped.count("nics"), 0u);
    EXPECT_EQ(dumped.count("storage_domains"), 0u);
  }
}

TEST(VM_Record, dump_writes_keys_in_byte_order_and_numbers_as_texts)
{
  RHV_VM vm;
  vm.id = "v";
  vm.template_.id = "t";
  vm.bios.type = "q35_ovmf";
  vm.memory = 1073741824;
  vm.cluster.id = "c";
  vm.cpu.topology.sockets = 2;
  RHV_Disk_Attachment a;
  a.id = "d";
  a.active = true;
  a.disk.id = "d";
  a.disk.provisioned_size = 10;
  vm.disk_attachments.push_back(a);
  EXPECT_EQ(dump_text(vm),
            R"({"bios":{"type":"q35_ovmf"},"cluster":{"id":"c"},"cpu":{"topology":{"sockets":"2"}},)"
            R"("disk_attachments":{"disk_attachment":[{"active":"true","disk":{"id":"d","provisioned_size":"10"},)"
            R"("id":"d"}]},"id":"v","memory":"1073741824","template":{"id":"t"}})");

  RHV_Disk disk;
  disk.provisioned_size = 5368709120;
  EXPECT_EQ(dump_text(disk), R"({"provisioned_size":"5368709120"})");
  disk.actual_size = 0;
  disk.sparse = false;
  EXPECT_EQ(dump_text(disk), R"({"actual_size":"0","provisioned_size":"5368709120","sparse":"false"})");
}

TEST(Snapshot_Record, loads_attachments_from_one_key_and_dumps_them_under_another)
{
  ed::VM_Spec shape = ed::sample_vm(3, 2, 1);
  Object reply = ed::snapshot(shape, "snap-1", "tessera3-agent-x-1", 1580000300000L);
  RHV_Snapshot snap;
  ASSERT_TRUE(snap.load(reply));
  EXPECT_EQ(snap.id, "snap-1");
  EXPECT_EQ(snap.date, 1580000300000L);
  EXPECT_EQ(snap.snapshot_status, "ok");
  EXPECT_EQ(snap.snapshot_type, "regular");
  EXPECT_EQ(snap.description, "tessera3-agent-x-1");
  ASSERT_TRUE(snap.persist_memorystate);
  EXPECT_EQ(snap.vm.id, shape.id);
  EXPECT_EQ(snap.vm.memory, shape.memory);
  ASSERT_EQ(snap.disk_attachments.size(), 2u);
  EXPECT_EQ(snap.disk_attachments[1].disk.id, shape.disks[1].id);
  EXPECT_EQ(snap.disk_attachments[1].disk.snapshot.id, "snap-1");

  Object dumped = snap.dump();
  EXPECT_EQ(dumped.count("disk_attachment"), 0u);
  ASSERT_EQ(dumped.count("disk_attachments"), 1u);
  EXPECT_EQ(dumped.at("disk_attachments").get_obj().at("disk_attachment").get_array().size(), 2u);
  ASSERT_EQ(dumped.at("date").type(), json_spirit::int_type);  // a JSON integer, not a text
  EXPECT_EQ(dumped.at("date").get_int64(), 1580000300000L);
  std::string why;
  Object expected_vm = ed::vm(shape, ed::FOLLOW_NONE);
  EXPECT_TRUE(within(dumped.at("vm"), Value(expected_vm), "/vm", why)) << why;

  // Loaded again, the dump has no attachments: it writes the key the load does not read.
  RHV_Snapshot again;
  ASSERT_TRUE(again.load(dumped));
  EXPECT_TRUE(again.disk_attachments.empty());
  EXPECT_EQ(again.vm.id, shape.id);

  // A request body for a snapshot of chosen disks.
  RHV_Snapshot request;
  request.description = "d";
  RHV_Disk_Attachment chosen;
  chosen.disk.id = "disk-1";
  request.disk_attachments.push_back(chosen);
  request.persist_memorystate = false;
  EXPECT_EQ(dump_text(request),
            R"({"description":"d","disk_attachments":{"disk_attachment":[{"disk":{"id":"disk-1"}}]},)"
            R"("persist_memorystate":"false"})");
}

TEST(Snapshot_Record, date_zero_or_absent_is_not_dumped)
{
  for (char const* input : {R"({"id": "s"})", R"({"id": "s", "date": 0})", R"({"id": "s", "date": "1580000"})"}) {
    RHV_Snapshot snap;
    ASSERT_TRUE(snap.load(obj(input))) << input;
    EXPECT_EQ(snap.date, 0) << input;
    EXPECT_EQ(dump_text(snap), R"({"id":"s"})") << input;
  }
}

TEST(VM_Records, failed_loads_log_innermost_first_and_keep_the_record)
{
  struct Row {
    char const* what;
    Outcome (*load)(Object const&, Object const&);
    std::string input;
    Lines lines;
  };
  Object seed = obj(R"({"id": "seed", "name": "kept", "status": "up"})");
  const Row rows[] = {
      {"vm without id", try_load<RHV_VM>, R"({"name": "v"})",
       {"{id:{\"name\":\"v\"}}", "Invalid object format: '{\"name\":\"v\"}'.\n"}},
      {"vm cpu", try_load<RHV_VM>, R"({"id": "v", "cpu": {"topology": {"threads": "x"}}, "memory": "m"})",
       {"Invalid threads format: 'x'.\n", "Invalid cpu format: '{\"topology\":{\"threads\":\"x\"}}'.\n"}},
      {"vm memory policy", try_load<RHV_VM>, R"({"id": "v", "memory_policy": {"max": "lots"}, "memory": "m"})",
       {"Invalid max format: 'lots'.\n", "Invalid memory_policy format: '{\"max\":\"lots\"}'.\n"}},
      {"vm memory", try_load<RHV_VM>, R"({"id": "v", "memory": "4GiB"})", {}},
      {"vm memory letters", try_load<RHV_VM>, R"({"id": "v", "memory": "four", "nics": {"nic": [{}]}})",
       {"Invalid memory format: 'four'.\n"}},
      {"vm nics", try_load<RHV_VM>, R"({"id": "v", "nics": {"nic": [{"id": "n"}, {}]}, "host": {}})",
       {"{id:{}}", "Invalid object format: '{}'.\n", "Invalid nic format: '{}'.\n",
        "Invalid nics format: '{\"nic\":[{\"id\":\"n\"},{}]}'.\n"}},
      {"vm template", try_load<RHV_VM>, R"({"id": "v", "template": {}, "host": {}})",
       {"{id:{}}", "Invalid template format: '{}'.\n"}},
      {"vm host", try_load<RHV_VM>, R"({"id": "v", "host": {"name": "h"}, "cluster": {}})",
       {"{id:{\"name\":\"h\"}}", "Invalid host format: '{\"name\":\"h\"}'.\n"}},
      {"vm cluster", try_load<RHV_VM>, R"({"id": "v", "cluster": {"href": "/c"}})",
       {"{id:{\"href\":\"/c\"}}", "Invalid cluster format: '{\"href\":\"/c\"}'.\n"}},
      {"vm storage domains", try_load<RHV_VM>, R"({"id": "v", "storage_domains": {"storage_domain": [{}]}})",
       {"{id:{}}", "Invalid storage_domain format: '{}'.\n", "Invalid storage domains format: '{\"storage_domain\":[{}]}'.\n"}},
      {"disk provisioned size", try_load<RHV_Disk>, R"({"id": "d", "provisioned_size": "10G"})",
       {}},
      {"disk provisioned size letters", try_load<RHV_Disk>, R"({"id": "d", "provisioned_size": "G", "actual_size": "x"})",
       {"Invalid provisioned size format: 'G'.\n"}},
      {"disk actual size", try_load<RHV_Disk>, R"({"id": "d", "actual_size": "", "snapshot": {}})",
       {"Invalid actual size format: ''.\n"}},
      {"disk snapshot", try_load<RHV_Disk>, R"({"id": "d", "snapshot": {}, "storage_domains": 5})",
       {"{id:{}}", "Invalid snapshot format: '{}'.\n"}},
      {"disk storage domains", try_load<RHV_Disk>, R"({"id": "d", "storage_domains": {"storage_domain": ["sd"]}})",
       {"Invalid storage_domain format: '\"sd\"'.\n", "Invalid storage domains format: '{\"storage_domain\":[\"sd\"]}'.\n"}},
      {"attachment disk", try_load<RHV_Disk_Attachment>, R"({"id": "a", "disk": {"name": "d"}, "vm": {}})",
       {"{id:{\"name\":\"d\"}}", "Invalid object format: '{\"name\":\"d\"}'.\n", "Invalid disk format: '{\"name\":\"d\"}'.\n"}},
      {"attachment vm", try_load<RHV_Disk_Attachment>, R"({"id": "a", "disk": {"id": "d"}, "vm": {}})",
       {"{id:{}}", "Invalid vm format: '{}'.\n"}},
      {"snapshot vm", try_load<RHV_Snapshot>, R"({"id": "s", "vm": {"id": "v", "memory": "x"}})",
       {"Invalid memory format: 'x'.\n", "Invalid vm format: '{\"id\":\"v\",\"memory\":\"x\"}'.\n"}},
      {"snapshot attachments", try_load<RHV_Snapshot>, R"({"id": "s", "disk_attachment": {"disk_attachment": [1]}})",
       {"Invalid disk_attachment format: '1'.\n", "Invalid disk attachment format: '{\"disk_attachment\":[1]}'.\n"}},
  };
  for (Row const& row : rows) {
    Outcome r = row.load(seed, obj(row.input));
    if (row.lines.empty()) {  // digits followed by letters convert to the digits
      EXPECT_TRUE(r.ok) << row.what;
      EXPECT_TRUE(r.lines.empty()) << row.what;
      continue;
    }
    EXPECT_FALSE(r.ok) << row.what;
    EXPECT_EQ(r.lines, expand(row.lines)) << row.what;
    EXPECT_EQ(r.after, r.before) << row.what;
    EXPECT_TRUE(r.other.empty()) << row.what;
  }
}

TEST(VM_Records, a_bad_disk_deep_in_a_vm_logs_every_level_outwards)
{
  ed::VM_Spec shape = ed::sample_vm(4, 3, 1);
  Value doc(ed::vm(shape, ed::FOLLOW_ALL));
  strip_links(doc);  // every line stays below the logger's line limit
  Object const& good = doc.get_obj();
  Object bad = good;
  Object& wrapper = bad["disk_attachments"].get_obj();
  Object& attachment = wrapper["disk_attachment"].get_array()[1].get_obj();
  Object& disk = attachment["disk"].get_obj();
  disk["provisioned_size"] = Value("ten gigabytes");

  Outcome r = try_load<RHV_VM>(good, bad);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.lines, (Lines{"Invalid provisioned size format: 'ten gigabytes'.\n",
                            "Invalid disk format: '" + text(disk) + "'.\n",
                            "Invalid disk_attachment format: '" + text(attachment) + "'.\n",
                            "Invalid disk attachments format: '" + text(wrapper) + "'.\n"}));
  EXPECT_EQ(r.after, r.before);
  EXPECT_NE(r.before, "{}");
}
