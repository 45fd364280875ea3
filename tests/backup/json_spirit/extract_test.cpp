#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/filter.h"
#include "backup/json_spirit/json_pointer.h"
#include "backup/models/task/task_base.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace json_spirit;

namespace {

Object object_of(const std::string& text)
{
  Value v;
  std::string error;
  EXPECT_TRUE(parse(text, v, &error)) << error;
  return v.get_obj();
}

TEST(Json_Extract, OptionalReadsKeepDefaultsAndRequiredReadsThrow)
{
  const Object o = object_of(R"({"name":"vm","flag":true,"count":3,"obj":{"a":1},"pw":"p"})");
  unsigned short port = 80;
  long size = -1;
  std::string name, absent = "default";
  bool flag = false;
  Object obj;
  secure_string pw;
  extract(o)("port", port)("size", size)("absent", absent)("name", name)("flag", flag)("obj", obj)("pw", pw);
  EXPECT_EQ(port, 80);
  EXPECT_EQ(size, -1);
  EXPECT_EQ(absent, "default");
  EXPECT_EQ(name, "vm");
  EXPECT_TRUE(flag);
  EXPECT_EQ(JSON_Dump(obj).str(), R"({"a":1})");
  EXPECT_EQ(pw, secure_string("p"));

  EXPECT_THROW(extract_or_throw(o)("port", port), std::exception);
  EXPECT_THROW(extract_or_throw(o)("name", size), std::exception);  // mistyped
  EXPECT_EQ(port, 80);

  // A mixed chain stops at the first failing required member.
  const Object only_name = object_of(R"({"name":"x"})");
  std::string id = "id0", n = "n0";
  EXPECT_THROW(extract_or_throw(only_name)("id", id)("name", n, FG_NOTHROW), std::exception);
  EXPECT_EQ(n, "n0");
  const Object both = object_of(R"({"id":"7","comment":"c"})");
  std::string comment, description = "d0";
  extract_or_throw(both)("id", id)("comment", comment, FG_NOTHROW)("description", description, FG_NOTHROW);
  EXPECT_EQ(id, "7");
  EXPECT_EQ(comment, "c");
  EXPECT_EQ(description, "d0");
}

TEST(Json_Extract, IntegersNarrowWithoutRangeChecks)
{
  const Object o = object_of(R"({"port":70000,"wide":4294967297,"neg":-1,"err":2,"bad_err":"2",)"
                             R"("u32":8589934593,"real":1.5})");
  unsigned short port = 0;
  int wide = 0;
  unsigned int u32 = 0;
  unsigned long ul = 0;
  long l = 0;
  Task_Base::Error err = Task_Base::CODE_SUCCESS;
  extract_or_throw(o)("port", port)("wide", wide)("u32", u32)("neg", l)("err", err);
  EXPECT_EQ(port, 4464);
  EXPECT_EQ(wide, 1);
  EXPECT_EQ(u32, 1u);
  EXPECT_EQ(l, -1);
  EXPECT_EQ(err, Task_Base::CODE_FAILED_RETRY);

  // Required unsigned reads refuse a negative number, integer reads a real.
  EXPECT_THROW(extract_or_throw(o)("neg", ul), std::exception);
  EXPECT_THROW(extract_or_throw(o)("neg", port), std::exception);
  EXPECT_THROW(extract_or_throw(o)("real", l), std::exception);

  // Optional narrow reads go through a long and change the output only when
  // that read succeeds.
  port = 80;
  err = Task_Base::CODE_FAILED;
  extract(o)("missing", port)("bad_err", err)("real", port);
  EXPECT_EQ(port, 80);
  EXPECT_EQ(err, Task_Base::CODE_FAILED);
  extract(o)("port", port)("neg", port);
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(object_get(o, "err", err));
  EXPECT_EQ(err, Task_Base::CODE_FAILED_RETRY);
  EXPECT_FALSE(object_get(o, "missing", port));
  EXPECT_EQ(port, 65535);
}

TEST(Json_Extract, PointerReadsAlwaysWriteThePointer)
{
  Object o = object_of(R"({"s":"text","o":{"k":1},"a":[1,2],"v":null})");
  const std::string dummy = "elsewhere";
  const std::string* ps = &dummy;
  const Object* po = nullptr;
  const Array* pa = nullptr;
  const Value* pv = nullptr;
  extract(o)("missing", ps)("o", po)("a", pa)("v", pv);
  EXPECT_EQ(ps, nullptr);
  EXPECT_EQ(po, &o.at("o").get_obj());
  EXPECT_EQ(pa->size(), 2u);
  EXPECT_EQ(pv->type(), null_type);
  extract(o)("a", ps)("s", po);  // another type: null too
  EXPECT_EQ(ps, nullptr);
  EXPECT_EQ(po, nullptr);

  // Through a modifiable object the pointers are modifiable.
  std::string* mut = nullptr;
  Array* marr = nullptr;
  extract_or_throw(o)("s", mut)("a", marr);
  mut->append("!");
  marr->push_back(Value(3));
  EXPECT_EQ(JSON_Dump(o).str(), R"({"a":[1,2,3],"o":{"k":1},"s":"text!","v":null})");

  const Object& co = o;
  EXPECT_THROW(extract_or_throw(co)("missing", pa), std::exception);
  EXPECT_THROW(extract_or_throw(co)("o", ps), std::exception);

  EXPECT_EQ(object_get_or_default<std::string>(co, "s", "d"), "text!");
  EXPECT_EQ(object_get_or_default<std::string>(co, "o", "d"), "d");

  int calls = 0;
  extract(co)([&](const Object& x) { calls += static_cast<int>(x.size()); })("s", ps);
  EXPECT_EQ(*ps, "text!");
  EXPECT_EQ(calls, 4);
}

TEST(Json_Pointer_Extract, ReadsPathsAndNamesTheMissingOne)
{
  Value doc;
  ASSERT_TRUE(parse(R"({"product_info":{"version":"4.5"},"cluster":{"id":"c1"},"size":1024,)"
                    R"("extended_attrs":{"block_size":512}})",
                    doc));
  std::string version, cluster;
  unsigned long size = 0, block = 0;
  pextract_or_throw(doc)("/product_info/version", version)("/cluster/id", cluster)("/size", size)(
    "/extended_attrs/block_size", block);
  EXPECT_EQ(version, "4.5");
  EXPECT_EQ(cluster, "c1");
  EXPECT_EQ(size, 1024u);
  EXPECT_EQ(block, 512u);

  const Array* entries = nullptr;
  try {
    pextract_or_throw(doc)("/entries", entries);
    ADD_FAILURE() << "no exception";
  } catch (const std::domain_error& e) {
    EXPECT_STREQ(e.what(), "JSON Pointer path '/entries' not exist in JSON!");
  }
  EXPECT_THROW(pextract_or_throw(doc.get_obj())("/size", version), std::domain_error);  // mistyped

  boost::optional<std::string> pool = std::string("stale");
  pextract(doc)("/pool_uuid", pool);
  EXPECT_FALSE(pool);
  pextract(doc)("/cluster/id", pool);
  EXPECT_EQ(*pool, "c1");

  std::string keep = "keep";
  const Object* cl = nullptr;
  const Object& obj = doc.get_obj();
  pextract(obj)("/nope", keep)("/cluster", cl)("/entries", entries, FG_NOTHROW);
  EXPECT_EQ(keep, "keep");
  EXPECT_EQ(cl, &obj.at("cluster").get_obj());
  EXPECT_EQ(entries, nullptr);

  // The same extractor with the chroot bit: optional reads are skipped,
  // required ones fail.
  auto ex = pextract(doc);
  ex.flags_ |= FG_BRK_UNT_CHROOT;
  ex("/cluster/id", keep);
  EXPECT_EQ(keep, "keep");
  EXPECT_THROW(ex("/cluster/id", keep, FG_THROW), std::domain_error);
}

TEST(Json_Filter, KeepsOneTypeInOrderWithoutCopies)
{
  Value v;
  ASSERT_TRUE(parse(R"([1,{"a":1},"x",{"b":2},null,["y"],"z"])", v));
  const Array& a = v.get_array();
  std::vector<std::string> objects;
  for (const Object& o : a | get_obj) {
    objects.push_back(JSON_Dump(o).str());
    EXPECT_TRUE(&o == &a[1].get_obj() || &o == &a[3].get_obj());
  }
  EXPECT_EQ(objects, (std::vector<std::string>{R"({"a":1})", R"({"b":2})"}));
  std::vector<std::string> strings;
  for (const std::string& s : a | get_str) strings.push_back(s);
  EXPECT_EQ(strings, (std::vector<std::string>{"x", "z"}));

  Array& m = v.get_array();
  for (Object& o : m | get_obj) o["seen"] = Value(true);
  EXPECT_EQ(JSON_Dump(v).str(), R"([1,{"a":1,"seen":true},"x",{"b":2,"seen":true},null,["y"],"z"])");
  EXPECT_TRUE((Array() | get_obj).empty());

  struct Matcher {
    std::vector<std::string> patterns_;
    void add_pattern(const std::string& p) { patterns_.push_back(p); }
  } matcher;
  add_patterns(matcher, a | get_str);
  EXPECT_EQ(matcher.patterns_, strings);
}

}  // namespace
