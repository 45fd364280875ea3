// The engine's JSON conventions on the base record, the version and the value parts.

#include "backup/rhv/api/rhv_defs.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_defs_infra.h"
#include "tests/backup/rhv/api/record_test_helpers.h"

using json_spirit::Object;
using namespace record_test;
using Lines = std::vector<std::string>;

TEST(String_To_Number, converts_decimal_texts_as_the_engine_writes_them)
{
  struct Row {
    std::string text;
    bool ok;
    long value;  // expected when ok
  };
  const Row int_rows[] = {
      {"", false, 0},
      {"0", true, 0},
      {"4", true, 4},
      {"-1", true, -1},
      {"+7", true, 7},
      {"12abc", true, 12},  // stops at the first non-digit
      {"abc", false, 0},
      {"-", false, 0},
      {" 1", false, 0},  // no white space is skipped
      {"2147483647", true, INT_MAX},
      {"-2147483648", true, INT_MIN},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
  };
  for (Row const& row : int_rows) {
    int value = 99;
    EXPECT_EQ(string_to_number(row.text, value), row.ok) << "'" << row.text << "'";
    if (row.ok) {
      EXPECT_EQ(value, row.value) << "'" << row.text << "'";
    }
  }
  const Row long_rows[] = {
      {"10737418240", true, 10737418240L},
      {"9223372036854775807", true, LONG_MAX},
      {"9223372036854775808", false, 0},
      {"99999999999999999999", false, 0},
      {"", false, 0},
  };
  for (Row const& row : long_rows) {
    long value = 99;
    EXPECT_EQ(string_to_number(row.text, value), row.ok) << "'" << row.text << "'";
    if (row.ok) {
      EXPECT_EQ(value, row.value) << "'" << row.text << "'";
    }
  }
}

TEST(RHV_Object_Record, loads_id_and_texts_and_ignores_other_keys)
{
  RHV_Object o;
  ASSERT_TRUE(o.load(obj(R"({"href": "/ovirt-engine/api/vms/1", "id": "1", "name": "n", "comment": "c",
                             "description": "d", "status": "up"})")));
  EXPECT_EQ(o.id, "1");
  EXPECT_EQ(o.name, "n");
  EXPECT_EQ(o.comment, "c");
  EXPECT_EQ(o.description, "d");
  EXPECT_EQ(dump_text(o), R"({"comment":"c","description":"d","id":"1","name":"n"})");

  // A link dumps as its id alone; an empty record as {}.
  ASSERT_TRUE(o.load(obj(R"({"href": "/ovirt-engine/api/clusters/7", "id": "7"})")));
  EXPECT_EQ(dump_text(o), R"({"id":"7"})");
  EXPECT_EQ(dump_text(RHV_Object()), "{}");
}

TEST(RHV_Object_Record, failed_loads_log_the_exception_and_keep_the_record)
{
  Object seed = obj(R"({"id": "seed", "name": "kept"})");
  for (char const* input : {R"({"name": "x"})", R"({"id": 5, "name": "x"})", R"({"id": null})"}) {
    Outcome r = try_load<RHV_Object>(seed, obj(input));
    EXPECT_FALSE(r.ok) << input;
    EXPECT_EQ(r.lines, Lines{id_exception_line(input)}) << input;
    EXPECT_EQ(r.after, r.before) << input;
  }
}

TEST(RHV_Version_Record, loads_and_dumps_each_member_by_its_own_rule)
{
  struct Row {
    char const* input;
    char const* dump;
  };
  const Row rows[] = {
      {R"({"major": "4", "minor": "4"})", R"({"major":"4","minor":"4"})"},
      {R"({"major": "4", "minor": "4", "build": "3"})", R"({"build":"3","major":"4","minor":"4"})"},
      {R"({"build": "6", "full_version": "4.4.10.7-1.el8", "major": "4", "minor": "4", "revision": "0"})",
       R"({"build":"6","full_version":"4.4.10.7-1.el8","major":"4","minor":"4","revision":"0"})"},
      // A negative number is accepted and then never written.
      {R"({"major": "4", "minor": "-2", "revision": "-1"})", R"({"major":"4"})"},
  };
  for (Row const& row : rows) {
    RHV_Version v;
    ASSERT_TRUE(v.load(obj(row.input))) << row.input;
    EXPECT_EQ(dump_text(v), row.dump) << row.input;
  }
  RHV_Version v;
  ASSERT_TRUE(v.load(obj(R"({"major": "4", "minor": "3"})")));
  EXPECT_EQ(v.major, 4);
  EXPECT_EQ(v.minor, 3);
  EXPECT_EQ(v.build, -1);
  EXPECT_EQ(v.revision, -1);
  EXPECT_EQ(v.full_version, "");
}

TEST(RHV_Version_Record, failed_loads_log_one_line_and_keep_the_version)
{
  Object seed = obj(R"({"major": "1", "minor": "2", "build": "3", "full_version": "1.2.3"})");
  auto missing = [](char const* key, char const* input) {
    try {
      json_spirit::object_get_str_or_throw(obj(input), key);
    } catch (std::exception const& e) {
      return std::string("Invalid version format, exception: ") + e.what() + ".\n";
    }
    return std::string("?");
  };
  struct Row {
    char const* input;
    std::string line;
  };
  const Row rows[] = {
      {R"({"major": "4", "minor": "x"})", "Invalid minor format: 'x'.\n"},
      {R"({"major": "4", "minor": ""})", "Invalid minor format: ''.\n"},
      {R"({"major": "four", "minor": "x"})", "Invalid major format: 'four'.\n"},  // major first
      {R"({"major": "4", "minor": "4", "build": "b", "revision": "r"})", "Invalid build format: 'b'.\n"},
      {R"({"major": "4", "minor": "4", "revision": "r"})", "Invalid revision format: 'r'.\n"},
      {R"({"major": "4", "minor": "4", "build": "99999999999"})", "Invalid build format: '99999999999'.\n"},
      {R"({"minor": "4"})", missing("major", R"({"minor": "4"})")},
      {R"({"major": "4"})", missing("minor", R"({"major": "4"})")},
      {R"({"major": 4, "minor": 4})", missing("major", R"({"major": 4, "minor": 4})")},
  };
  for (Row const& row : rows) {
    Outcome r = try_load<RHV_Version>(seed, obj(row.input));
    EXPECT_FALSE(r.ok) << row.input;
    EXPECT_EQ(r.lines, Lines{row.line}) << row.input;
    EXPECT_EQ(r.after, r.before) << row.input;
  }
}

TEST(Value_Parts, load_and_dump_as_the_engine_writes_them)
{
  struct Row {
    char const* what;
    std::string (*load_dump)(Object const&);
    char const* input;
    char const* dump;
  };
  auto bios = [](Object const& o) { RHV_BIOS r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  auto cpu = [](Object const& o) { RHV_CPU r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  auto os = [](Object const& o) { RHV_OS r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  auto mac = [](Object const& o) { RHV_MAC r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  auto pass = [](Object const& o) { RHV_VNIC_Pass_Through r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  auto memory = [](Object const& o) { RHV_Memory_Policy r; EXPECT_TRUE(r.load(o)); return dump_text(r); };
  const Row rows[] = {
      {"bios", bios, R"({"boot_menu": {"enabled": "true"}, "type": "q35_ovmf"})",
       R"({"boot_menu":{"enabled":"true"},"type":"q35_ovmf"})"},
      {"bios flag other text", bios, R"({"boot_menu": {"enabled": "TRUE"}})", R"({"boot_menu":{"enabled":"false"}})"},
      {"bios flag digit", bios, R"({"boot_menu": {"enabled": "1"}})", R"({"boot_menu":{"enabled":"false"}})"},
      {"bios empty", bios, R"({"boot_menu": {}, "type": ""})", "{}"},
      {"bios flag not a string", bios, R"({"boot_menu": {"enabled": true}})", "{}"},
      {"cpu", cpu,
       R"({"architecture": "x86_64", "type": "Intel", "topology": {"cores": "2", "sockets": "1", "threads": "1"}})",
       R"({"architecture":"x86_64","topology":{"cores":"2","sockets":"1","threads":"1"},"type":"Intel"})"},
      {"cpu cores only", cpu, R"({"topology": {"cores": "2"}})", R"({"topology":{"cores":"2"}})"},
      {"cpu empty topology", cpu, R"({"topology": {}})", "{}"},
      {"cpu numbers not strings", cpu, R"({"topology": {"cores": 2}})", "{}"},
      {"os", os, R"({"type": "rhel_8x64", "boot": {"devices": {"device": ["hd"]}}})", R"({"type":"rhel_8x64"})"},
      {"mac", mac, R"({"address": "56:6f:00:00:00:01"})", R"({"address":"56:6f:00:00:00:01"})"},
      {"pass through", pass, R"({"mode": "disabled"})", R"({"mode":"disabled"})"},
      {"memory policy", memory, R"({"ballooning": "true", "guaranteed": "1073741824", "max": "4294967296"})",
       R"({"guaranteed":"1073741824","max":"4294967296"})"},
      {"memory policy negative", memory, R"({"guaranteed": "-5", "max": "1"})", R"({"max":"1"})"},
  };
  for (Row const& row : rows)
    EXPECT_EQ(row.load_dump(obj(row.input)), row.dump) << row.what;

  RHV_CPU c;
  ASSERT_TRUE(c.load(obj(R"({"topology": {"cores": "2"}})")));
  EXPECT_EQ(c.topology.cores, 2);
  EXPECT_EQ(c.topology.sockets, -1);
  EXPECT_EQ(c.topology.threads, -1);
  RHV_BIOS b;
  ASSERT_TRUE(b.load(obj(R"({"boot_menu": {"enabled": "false"}})")));
  ASSERT_TRUE(b.boot_menu.enabled);
  EXPECT_FALSE(*b.boot_menu.enabled);
  ASSERT_TRUE(b.load(obj("{}")));
  EXPECT_FALSE(b.boot_menu.enabled);  // absent: unset again
}

TEST(Value_Parts, failed_loads_log_the_number_text_and_keep_the_record)
{
  struct Row {
    char const* what;
    Outcome (*load)(Object const&, Object const&);
    char const* seed;
    char const* input;
    char const* line;
  };
  const Row rows[] = {
      {"cores", try_load<RHV_CPU>, R"({"type": "seed"})", R"({"topology": {"cores": "x", "sockets": "y"}})",
       "Invalid cores format: 'x'.\n"},
      {"sockets", try_load<RHV_CPU>, R"({"type": "seed"})", R"({"topology": {"cores": "1", "sockets": "y"}})",
       "Invalid sockets format: 'y'.\n"},
      {"threads", try_load<RHV_CPU>, R"({"type": "seed"})", R"({"topology": {"threads": ""}})",
       "Invalid threads format: ''.\n"},
      {"guaranteed", try_load<RHV_Memory_Policy>, R"({"max": "1"})", R"({"guaranteed": "G1", "max": "m"})",
       "Invalid guaranteed format: 'G1'.\n"},
      {"max", try_load<RHV_Memory_Policy>, R"({"max": "1"})", R"({"max": "99999999999999999999"})",
       "Invalid max format: '99999999999999999999'.\n"},
  };
  for (Row const& row : rows) {
    Outcome r = row.load(obj(row.seed), obj(row.input));
    EXPECT_FALSE(r.ok) << row.what;
    EXPECT_EQ(r.lines, Lines{row.line}) << row.what;
    EXPECT_EQ(r.after, r.before) << row.what;
    EXPECT_TRUE(r.other.empty()) << row.what;
  }
}

TEST(Record_Load, replaces_the_whole_record)
{
  RHV_Data_Center dc;
  ASSERT_TRUE(dc.load(obj(R"({"id": "1", "name": "first", "comment": "c", "local": "true", "status": "up"})")));
  ASSERT_TRUE(dc.load(obj(R"({"id": "2"})")));
  EXPECT_EQ(dump_text(dc), R"({"id":"2"})");
  EXPECT_FALSE(dc.local);
  EXPECT_EQ(dc.name, "");
}
