// Malformed engine documents against every record and list load: wrong JSON types,
// missing ids, numbers beyond every range, deep nesting and list elements that are not
// objects. A load must never throw or crash, must answer false on failure without
// touching its target, and must log only error lines.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_defs.h"
#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_list.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "tests/backup/rhv/api/record_test_helpers.h"
#include "tests/support/engine_documents.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;
using namespace record_test;
namespace ed = engine_documents;

namespace {

using Rng = std::mt19937_64;

std::size_t pick(Rng& rng, std::size_t n)
{
  return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
}

// Keys the records follow, so that deep values land where loads descend.
const char* const KEYS[] = {"id", "vm", "disk", "disk_attachments", "disk_attachment", "nics", "nic",
                            "vnic_profile", "storage_domains", "storage_domain", "cpu", "topology", "cores",
                            "data_centers", "data_center", "cluster", "memory", "date", "boot_menu", "enabled"};

Value deep_value(Rng& rng, std::size_t depth)
{
  Value v(ed::uuid(9, depth));
  for (std::size_t i = 0; i < depth; ++i) {  // moved level by level: no copies
    if (pick(rng, 2) == 0) {
      Object o;
      o.emplace(KEYS[pick(rng, sizeof KEYS / sizeof *KEYS)], std::move(v));
      o.emplace("id", Value("d"));
      v = Value(std::move(o));
    } else {
      Array a;
      a.push_back(std::move(v));
      v = Value(std::move(a));
    }
  }
  return v;
}

Value odd_value(Rng& rng)
{
  switch (pick(rng, 20)) {
    case 0: return Value(static_cast<long>(rng()));
    case 1: return Value(static_cast<unsigned long>(UINT64_MAX));
    case 2: return Value(-1L);
    case 3: return Value(1.5e300);
    case 4: return Value(pick(rng, 2) == 0);
    case 5: return Value();
    case 6: return Value("abc");
    case 7: return Value("");
    case 8: return Value("99999999999999999999");
    case 9: return Value("-9223372036854775809");
    case 10: return Value("12abc");
    case 11: return Value("true");
    case 12: return Value(Object());
    case 13: return Value(Array());
    case 14: return Value(Array{Value(1), Value("x"), Value(), Value(Object())});
    case 15: return Value(Object{{"id", Value(7)}});
    case 16: return Value(Object{{"disk_attachment", Value(Array{Value(1), Value(Object{{"id", Value("a")}})})}});
    case 17: return Value(std::string(5000, 'x'));
    default: return deep_value(rng, 50 + pick(rng, 400));
  }
}

void collect(Value& v, std::vector<Value*>& values, std::vector<Object*>& objects, std::vector<Array*>& arrays)
{
  values.push_back(&v);
  if (v.type() == json_spirit::obj_type) {
    objects.push_back(&v.get_obj());
    for (auto& member : v.get_obj())
      collect(member.second, values, objects, arrays);
  } else if (v.type() == json_spirit::array_type) {
    arrays.push_back(&v.get_array());
    for (Value& element : v.get_array())
      collect(element, values, objects, arrays);
  }
}

// One random change somewhere in `doc`.
void mutate(Value& doc, Rng& rng)
{
  std::vector<Value*> values;
  std::vector<Object*> objects;
  std::vector<Array*> arrays;
  collect(doc, values, objects, arrays);
  switch (pick(rng, 5)) {
    case 0: {  // drop an id, or any key
      Object& o = *objects[pick(rng, objects.size())];
      if (o.empty())
        break;
      if (pick(rng, 2) == 0 && o.count("id") != 0) {
        o.erase("id");
      } else {
        auto it = o.begin();
        std::advance(it, pick(rng, o.size()));
        o.erase(it);
      }
      break;
    }
    case 1: {  // a list element that is not an object, or a duplicate
      if (arrays.empty())
        break;
      Array& a = *arrays[pick(rng, arrays.size())];
      std::size_t at = a.empty() ? 0 : pick(rng, a.size() + 1);
      Value extra = (!a.empty() && pick(rng, 2) == 0) ? a[pick(rng, a.size())] : odd_value(rng);
      a.insert(a.begin() + static_cast<std::ptrdiff_t>(at), std::move(extra));
      break;
    }
    case 2: {  // a known key given an odd value
      Object& o = *objects[pick(rng, objects.size())];
      o[KEYS[pick(rng, sizeof KEYS / sizeof *KEYS)]] = odd_value(rng);
      break;
    }
    default: {  // any value replaced (the document itself stays an object)
      std::size_t i = pick(rng, values.size());
      if (i != 0)
        *values[i] = odd_value(rng);
      break;
    }
  }
}

// Drops the engine's relation links, which every record ignores, to keep rounds cheap.
void strip_links(Value& v)
{
  if (v.type() == json_spirit::obj_type) {
    v.get_obj().erase("actions");
    v.get_obj().erase("link");
    for (auto& member : v.get_obj())
      strip_links(member.second);
  } else if (v.type() == json_spirit::array_type) {
    for (Value& element : v.get_array())
      strip_links(element);
  }
}

Object without_links(Object o)
{
  Value v(std::move(o));
  strip_links(v);
  return std::move(v.get_obj());
}

// Loads `doc` into a record that holds `seed`; on failure the record must be unchanged.
template <class R>
void check_record(Object const& doc, Object const& seed, std::size_t (&outcomes)[2])
{
  R record;
  ASSERT_TRUE(record.load(seed));
  std::string before = dump_text(record);
  bool ok = false;
  EXPECT_NO_THROW(ok = record.load(doc));
  outcomes[ok ? 1 : 0] += 1;
  if (ok) {
    EXPECT_NO_THROW(record.dump());
  } else {
    EXPECT_EQ(dump_text(record), before);
  }
}

// Loads `wrapper` (one member, an array) as the list of `key` into a vector that holds
// two records; on failure the vector must be unchanged. The member is renamed to `key`
// in place, so the elements are never copied.
template <class V>
void check_list(bool (*load)(Object const&, V&), Object (*dump)(V const&), char const* key, Object& wrapper)
{
  auto member = wrapper.extract(wrapper.begin());
  member.key() = key;
  wrapper.insert(std::move(member));
  std::size_t const n = wrapper.begin()->second.get_array().size();

  V items(2);
  items[0].id = "kept";
  std::string before = text(dump(items));
  bool ok = false;
  EXPECT_NO_THROW(ok = load(wrapper, items));
  if (ok) {
    EXPECT_EQ(items.size(), n);
  } else {
    EXPECT_EQ(text(dump(items)), before);
  }
}

}  // namespace

TEST(Record_Fuzz, malformed_documents_never_escape_a_load)
{
  ed::VM_Spec shape = ed::sample_vm(6, 2, 2);
  std::vector<Object> bases = {
      ed::vm(shape, ed::FOLLOW_ALL),
      ed::vm(shape, ed::FOLLOW_DISK_ATTACHMENTS),
      ed::snapshot(shape, "snap", "desc", 1580000000000L),
      ed::disk_attachment(shape.disks[0], shape.id, true),
      ed::disk(shape.disks[1]),
      ed::nic(shape.nics[0], shape.id),
      ed::storage_domain("sd", "data", 100, 50, {"dc1", "dc2"}),
      ed::cluster("c", "Default", "dc1"),
      ed::host("h", "host1", "10.0.0.1", "c"),
      ed::network("n", "ovirtmgmt", "dc1"),
      ed::data_center("dc1", "Default"),
      ed::api_root(4, 4, 6, 0).at("product_info").get_obj().at("version").get_obj(),
      ed::vm_list(0, 2, 2, 1, ed::FOLLOW_ALL),
  };
  for (Object& base : bases)
    base = without_links(std::move(base));
  const Object entity_seed = obj(R"({"id": "seed", "name": "kept", "description": "d"})");
  const Object version_seed = obj(R"({"major": "4", "minor": "2", "full_version": "4.2"})");
  const Object part_seed = obj(R"({"type": "t", "address": "a", "mode": "m", "max": "1",
                                   "topology": {"cores": "1"}, "boot_menu": {"enabled": "true"}})");

  Rng rng(20240611);
  Log_Capture log(true);
  std::size_t outcomes[2] = {0, 0};  // failed and succeeded record loads
  for (int round = 0; round < 500; ++round) {
    Value doc(bases[pick(rng, bases.size())]);
    for (std::size_t n = 1 + pick(rng, 4); n > 0; --n)
      mutate(doc, rng);
    Object const& o = doc.get_obj();

    check_record<RHV_Object>(o, entity_seed, outcomes);
    check_record<RHV_Version>(o, version_seed, outcomes);
    check_record<RHV_BIOS>(o, part_seed, outcomes);
    check_record<RHV_CPU>(o, part_seed, outcomes);
    check_record<RHV_OS>(o, part_seed, outcomes);
    check_record<RHV_MAC>(o, part_seed, outcomes);
    check_record<RHV_VNIC_Pass_Through>(o, part_seed, outcomes);
    check_record<RHV_Memory_Policy>(o, part_seed, outcomes);
    check_record<RHV_Data_Center>(o, entity_seed, outcomes);
    check_record<RHV_Cluster>(o, entity_seed, outcomes);
    check_record<RHV_Host>(o, entity_seed, outcomes);
    check_record<RHV_Network>(o, entity_seed, outcomes);
    check_record<RHV_VNIC_Profile>(o, entity_seed, outcomes);
    check_record<RHV_NIC>(o, entity_seed, outcomes);
    check_record<RHV_Storage_Domain>(o, entity_seed, outcomes);
    check_record<RHV_VM>(o, entity_seed, outcomes);
    check_record<RHV_Disk>(o, entity_seed, outcomes);
    check_record<RHV_Disk_Attachment>(o, entity_seed, outcomes);
    check_record<RHV_Snapshot>(o, entity_seed, outcomes);

    // The document as the element of every list, now and then with a second element of
    // any kind.
    Object list{{"", Value(Array{doc})}};
    if (pick(rng, 3) == 0)
      list.begin()->second.get_array().push_back(pick(rng, 2) == 0 ? odd_value(rng) : doc);
    check_list(load_rhv_data_centers, dump_rhv_data_centers, "data_center", list);
    check_list(load_rhv_clusters, dump_rhv_clusters, "cluster", list);
    check_list(load_rhv_hosts, dump_rhv_hosts, "host", list);
    check_list(load_rhv_networks, dump_rhv_networks, "network", list);
    check_list(load_rhv_vnic_profiles, dump_rhv_vnic_profiles, "vnic_profile", list);
    check_list(load_rhv_nics, dump_rhv_nics, "nic", list);
    check_list(load_rhv_storage_domains, dump_rhv_storage_domains, "storage_domain", list);
    check_list(load_rhv_vms, dump_rhv_vms, "vm", list);
    check_list(load_rhv_disks, dump_rhv_disks, "disk", list);
    check_list(load_rhv_disk_attachments, dump_rhv_disk_attachments, "disk_attachment", list);
    check_list(load_rhv_snapshots, dump_rhv_snapshots, "snapshot", list);
    // The document as a list reply itself (the VM list base is one).
    RHV_VMs vms;
    EXPECT_NO_THROW(load_rhv_vms(o, vms));

    for (Log_Capture::Line const& line : log.lines())
      ASSERT_EQ(line.priority, LM_ERROR) << line.text;
    log.clear();
    if (HasFatalFailure() || HasFailure())
      FAIL() << "round " << round << " document " << text(o).substr(0, 2000);
  }
  // Both outcomes are exercised: the mutations break some loads and leave others whole.
  EXPECT_GT(outcomes[0], 500u);
  EXPECT_GT(outcomes[1], 500u);
}
