#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/object_get.h"
#include "platform/json/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

using namespace json_spirit;

namespace {

Value parsed(const std::string& text)
{
  Value v;
  std::string error;
  EXPECT_TRUE(parse(text, v, &error)) << text << ": " << error;
  return v;
}

TEST(Json_Value, ConstructorsGiveTheDocumentedTypes)
{
  const std::string s = "s";
  std::string ms = "m";
  unsigned short port = 443;
  struct Row {
    Value v;
    Value_type type;
    bool is_uint64;
    const char* json;
  } rows[] = {
    {Value(), null_type, false, "null"},
    {Value(s), str_type, false, "\"s\""},
    {Value(ms), str_type, false, "\"m\""},
    {Value(std::string("t")), str_type, false, "\"t\""},
    {Value("lit"), str_type, false, "\"lit\""},
    {Value(secure_string("pw")), secure_str_type, false, "\"pw\""},
    {Value(-5L), int_type, false, "-5"},
    {Value(7UL), int_type, true, "7"},
    {Value(std::numeric_limits<unsigned long>::max()), int_type, true, "18446744073709551615"},
    {Value(3), int_type, false, "3"},
    {Value(port), int_type, false, "443"},
    {Value(true), bool_type, false, "true"},
    {Value(0.5), real_type, false, "0.5"},
    {Value(Object{{"k", Value(1)}}), obj_type, false, "{\"k\":1}"},
    {Value(Array{Value(1), Value("x")}), array_type, false, "[1,\"x\"]"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.v.type(), r.type) << r.json;
    EXPECT_EQ(r.v.is_uint64(), r.is_uint64) << r.json;
    EXPECT_STREQ(JSON_Dump(r.v, false).c_str(), r.json);
  }
  EXPECT_EQ(Value::null.type(), null_type);
  EXPECT_EQ(obj_type, 0);
  EXPECT_EQ(null_type, 7);
}

TEST(Json_Value, IntegerAndTypeReadsFollowTheNumber)
{
  // getter: 0 int64, 1 uint64, 2 real; `ok` false: Value_Error expected.
  struct Row {
    const char* json;
    int getter;
    bool ok;
    const char* expect;
  } rows[] = {
    {"-1", 0, true, "-1"},
    {"-1", 1, false, nullptr},
    {"9223372036854775807", 0, true, "9223372036854775807"},
    {"9223372036854775808", 0, false, nullptr},
    {"9223372036854775808", 1, true, "9223372036854775808"},
    {"18446744073709551615", 1, true, "18446744073709551615"},
    {"1.5", 0, false, nullptr},
    {"1.5", 1, false, nullptr},
    {"2", 2, true, "2.000000"},
    {"\"2\"", 0, false, nullptr},
    {"true", 1, false, nullptr},
  };
  for (const Row& r : rows) {
    const Value v = parsed(std::string("[") + r.json + "]").get_array()[0];
    std::function<std::string()> read[] = {
      [&] { return std::to_string(v.get_int64()); },
      [&] { return std::to_string(v.get_uint64()); },
      [&] { return std::to_string(v.get_real()); },
    };
    if (r.ok)
      EXPECT_EQ(read[r.getter](), r.expect) << r.json;
    else
      EXPECT_THROW(read[r.getter](), Value_Error) << r.json;
  }
  EXPECT_THROW(Value(1).get_obj(), Value_Error);
  EXPECT_THROW(Value(Object()).get_array(), Value_Error);
  EXPECT_THROW(Value().get_str(), Value_Error);
  EXPECT_THROW(Value("x").get_bool(), Value_Error);
}

TEST(Json_Value, BothStringKindsReadAsBoth)
{
  const Value plain("abc");
  const Value secure(secure_string("def"));
  EXPECT_EQ(plain.get_secure_str(), secure_string("abc"));
  EXPECT_EQ(secure.get_str(), "def");
  EXPECT_NE(plain, Value(secure_string("abc")));  // same text, other kind

  Object o{{"p", plain}, {"s", secure}};
  std::string s;
  secure_string ss;
  EXPECT_TRUE(object_get(o, "s", s));
  EXPECT_EQ(s, "def");
  EXPECT_TRUE(object_get(o, "p", ss));
  EXPECT_EQ(ss, secure_string("abc"));
  EXPECT_EQ(object_get_str_or_throw(o, "s"), "def");
  EXPECT_EQ(object_get_secure_str_or_throw(o, "p"), secure_string("abc"));
  ASSERT_NE(object_get_str(o, "s"), nullptr);
}

TEST(Json_Value, CopyMoveAndAssignmentKeepValuesApart)
{
  Value doc = parsed(R"({"a":{"b":[1,2,{"c":"long enough to live on the heap"}]},"s":"x"})");
  Value copy = doc;
  copy.get_obj()["s"] = Value("y");
  EXPECT_EQ(doc.get_obj().at("s").get_str(), "x");

  Value moved = std::move(copy);
  EXPECT_TRUE(copy.is_null());
  EXPECT_EQ(moved.get_obj().at("s").get_str(), "y");

  // Assigning a part of a value to the value itself.
  Value self = doc;
  self = self.get_obj().at("a");
  EXPECT_EQ(JSON_Dump(self).str(), R"({"b":[1,2,{"c":"long enough to live on the heap"}]})");
  Value self2 = doc;
  self2 = std::move(self2.get_obj().at("a").get_obj().at("b"));
  EXPECT_EQ(JSON_Dump(self2).str(), R"([1,2,{"c":"long enough to live on the heap"}])");
  Value same = doc;
  same = same;
  EXPECT_EQ(same, doc);
}

TEST(Json_Value, EqualityComparesNumbersByValue)
{
  EXPECT_EQ(Value(5), Value(5UL));
  EXPECT_EQ(Value(5L), Value(5LL));
  EXPECT_NE(Value(-1L), Value(std::numeric_limits<unsigned long>::max()));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(true));
  EXPECT_EQ(Value(), Value::null);
  EXPECT_EQ(parsed(R"({"a":[1,"x",null]})"), parsed(R"( { "a" : [ 1 , "x" , null ] } )"));
}

TEST(Json_Getters, OptionalReadsLeaveTheOutputAloneOnAnyMiss)
{
  const Object o = parsed(R"({"s":"text","n":-3,"big":18446744073709551615,"r":2.5,"b":true,
                              "o":{"k":1},"a":[1],"z":null})")
                     .get_obj();
  std::string s = "keep";
  bool b = false;
  int i = 11;
  long l = 12;
  unsigned int ui = 13;
  unsigned long ul = 14;
  double d = 1.25;
  Object obj{{"keep", Value(1)}};
  Array arr{Value(9)};
  // Each key is absent or of another type for the output.
  for (const char* key : {"missing", "o", "a", "z"}) {
    EXPECT_FALSE(object_get(o, key, s)) << key;
    EXPECT_FALSE(object_get(o, key, b)) << key;
    EXPECT_FALSE(object_get(o, key, i)) << key;
    EXPECT_FALSE(object_get(o, key, l)) << key;
    EXPECT_FALSE(object_get(o, key, ui)) << key;
    EXPECT_FALSE(object_get(o, key, ul)) << key;
    EXPECT_FALSE(object_get(o, key, d)) << key;
  }
  EXPECT_FALSE(object_get(o, "s", obj));
  EXPECT_FALSE(object_get(o, "o", arr));
  EXPECT_FALSE(object_get(o, "r", l));     // a real is not an integer
  EXPECT_FALSE(object_get(o, "n", ul));    // negative is not unsigned
  EXPECT_FALSE(object_get(o, "big", l));   // above INT64_MAX is not signed
  EXPECT_FALSE(object_get(o, "n", s));     // a number is not a string
  EXPECT_EQ(s, "keep");
  EXPECT_FALSE(b);
  EXPECT_EQ(i, 11);
  EXPECT_EQ(l, 12);
  EXPECT_EQ(ui, 13u);
  EXPECT_EQ(ul, 14u);
  EXPECT_EQ(d, 1.25);
  EXPECT_EQ(obj.count("keep"), 1u);
  EXPECT_EQ(arr.size(), 1u);

  EXPECT_TRUE(object_get(o, "big", ul));
  EXPECT_EQ(ul, std::numeric_limits<unsigned long>::max());
  EXPECT_TRUE(object_get(o, "n", i));
  EXPECT_EQ(i, -3);
  EXPECT_TRUE(object_get(o, "n", d));
  EXPECT_EQ(d, -3.0);

  EXPECT_EQ(object_get_str(o, "n"), nullptr);
  EXPECT_EQ(object_get_object(o, "a"), nullptr);
  EXPECT_EQ(object_get_array(o, "missing"), nullptr);
  EXPECT_EQ(object_get_value(o, "missing"), nullptr);
  EXPECT_EQ(object_get_value(o, "z")->type(), null_type);
}

TEST(Json_Getters, ThrowingReadsNameTheProblem)
{
  const Object o = parsed(R"({"n":-3,"big":9223372036854775808,"r":2.5,"s":"x"})").get_obj();
  struct Row {
    std::function<void()> read;
    const char* what;
  } rows[] = {
    {[&] { object_get_str_or_throw(o, "port"); }, "JSON member 'port' not found"},
    {[&] { object_get_str_or_throw(o, "n"); }, "JSON member 'n' is integer, not a string"},
    {[&] { object_get_bool_or_throw(o, "s"); }, "JSON member 's' is string, not a boolean"},
    {[&] { object_get_int64_or_throw(o, "r"); }, "JSON member 'r' is real, not an integer"},
    {[&] { object_get_int64_or_throw(o, "big"); }, "JSON member 'big' does not fit a signed 64-bit integer"},
    {[&] { object_get_uint64_or_throw(o, "n"); }, "JSON member 'n' is negative, not unsigned"},
    {[&] { object_get_object_or_throw(o, "s"); }, "JSON member 's' is string, not an object"},
    {[&] { object_get_array_or_throw(o, "s"); }, "JSON member 's' is string, not an array"},
    {[&] { object_get_value_or_throw(o, "none"); }, "JSON member 'none' not found"},
  };
  for (const Row& r : rows) {
    try {
      r.read();
      ADD_FAILURE() << "no exception for: " << r.what;
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), r.what);
    }
  }
  EXPECT_EQ(object_get_uint64_or_throw(o, "big"), 9223372036854775808ULL);
  EXPECT_EQ(object_get_int64_or_throw(o, "n"), -3);
}

}  // namespace
