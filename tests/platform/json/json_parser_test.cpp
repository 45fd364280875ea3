#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/value.h"
#include "platform/json/yajl_handler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace json_spirit;

namespace {

std::string nested(std::size_t depth)
{
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(Json_Parse, NumbersKeepTheirMeaningAtEveryEdge)
{
  struct Row {
    const char* text;
    Value_type type;
    bool is_uint64;
    const char* dump;
  } rows[] = {
    {"0", int_type, false, "0"},
    {"-0", int_type, false, "0"},
    {"9223372036854775807", int_type, false, "9223372036854775807"},
    {"-9223372036854775808", int_type, false, "-9223372036854775808"},
    {"9223372036854775808", int_type, true, "9223372036854775808"},
    {"18446744073709551615", int_type, true, "18446744073709551615"},
    {"18446744073709551616", real_type, false, "1.8446744073709552e+19"},
    {"-9223372036854775809", real_type, false, "-9.2233720368547758e+18"},
    {"1.0", real_type, false, "1.0"},
    {"2.5", real_type, false, "2.5"},
    {"0.1", real_type, false, "0.10000000000000001"},
    {"1E2", real_type, false, "100.0"},
    {"-1e-400", real_type, false, "-0.0"},
    {"1.7976931348623157e308", real_type, false, "1.7976931348623157e+308"},
  };
  for (const Row& r : rows) {
    Value v;
    std::string error;
    ASSERT_TRUE(parse(r.text, v, &error)) << r.text << ": " << error;
    EXPECT_EQ(v.type(), r.type) << r.text;
    EXPECT_EQ(v.is_uint64(), r.is_uint64) << r.text;
    EXPECT_EQ(JSON_Dump(v).str(), r.dump) << r.text;
    // What was written reads back as the same value.
    Value again;
    ASSERT_TRUE(parse(JSON_Dump(v).str(), again)) << r.dump;
    EXPECT_EQ(again, v) << r.dump;
  }
}

TEST(Json_Parse, BadTextFailsWithAReasonAndLeavesTheOutput)
{
  struct Row {
    std::string text;
    const char* reason;  // a part of the message
  } rows[] = {
    {"", "empty JSON text"},
    {"   ", "premature EOF"},
    {"{\"a\":1", "premature EOF"},
    {"[1,]", "parse error"},
    {"{\"a\":}", "parse error"},
    {"{a:1}", "invalid"},
    {"\"\xc3\x28\"", "UTF8"},
    {"\"\xff\xfe\"", "UTF8"},
    {"{} x", "trailing garbage"},
    {"[1] [2]", "trailing garbage"},
    {"/* c */ 1", "lexical error"},
    {"nul", "lexical error"},
    {"1e400", "JSON number '1e400' is out of range"},
    {"[-1e999]", "JSON number '-1e999' is out of range"},
    {nested(128), "JSON nesting deeper than 127 levels"},
    {nested(100000), "JSON nesting deeper than 127 levels"},
    {std::string("\"a\0b\"", 5), "error"},
  };
  for (const Row& r : rows) {
    Value v("untouched");
    std::string error;
    EXPECT_FALSE(parse(r.text, v, &error)) << r.text.substr(0, 40);
    EXPECT_NE(error.find(r.reason), std::string::npos) << r.text.substr(0, 40) << " -> " << error;
    EXPECT_EQ(v, Value("untouched"));
  }
  Value v;
  EXPECT_TRUE(parse(nested(127), v));
  EXPECT_FALSE(parse(nullptr, 0, v));
}

TEST(Json_Parse, LaterDuplicateKeyWinsAndKeysComeOutSorted)
{
  Value v;
  ASSERT_TRUE(parse(R"({"b":1,"a":{"x":1},"a":{"y":2},"B":0,"":"e","b":[true]})", v));
  EXPECT_EQ(JSON_Dump(v).str(), R"({"":"e","B":0,"a":{"y":2},"b":[true]})");
}

TEST(Json_Dump, WritesCompactSortedTextWithTheGivenEscapes)
{
  Object o;
  o["z"] = Value("a/b \"q\" \\ \t\x01\xc3\xa9");
  o["a"] = Value(Array{Value(), Value(false), Value(-7L), Value(0.5), Value(3.0), Value(1e21)});
  o["pw"] = Value(secure_string("secret"));
  o["m"] = Value(Object());
  o["nan"] = Value(std::nan(""));
  o["inf"] = Value(-std::numeric_limits<double>::infinity());
  const std::string expect =
    R"({"a":[null,false,-7,0.5,3.0,1e+21],"inf":null,"m":{},"nan":null,"pw":"secret",)"
    R"("z":"a/b \"q\" \\ \t\u0001)"
    "\xc3\xa9\"}";
  EXPECT_EQ(JSON_Dump(Value(o), false).str(), expect);
  EXPECT_EQ(JSON_Dump(o).str(), expect);
  EXPECT_STREQ(JSON_Dump(Value(o)).c_str(), expect.c_str());

  const std::string pretty = JSON_Dump(Value(Object{{"a", Value(1)}}), true).str();
  EXPECT_NE(pretty.find('\n'), std::string::npos);
  Value back;
  ASSERT_TRUE(parse(pretty, back));
  EXPECT_EQ(back, Value(Object{{"a", Value(1)}}));
}

TEST(Json_Dump, ValueDeeperThanTheGeneratorIsCutToNull)
{
  Value deep = Array();
  for (int i = 0; i < 200; ++i) deep = Array{std::move(deep)};
  const std::string text = JSON_Dump(deep).str();
  Value back;
  std::string error;
  ASSERT_TRUE(parse(text, back, &error)) << error;
  EXPECT_EQ(text, nested(127).insert(127, "null"));

  yajl_gen g = yajl_gen_alloc(nullptr);
  EXPECT_EQ(yajl_gen_value(g, deep), yajl_max_depth_exceeded);
  yajl_gen_free(g);
}

TEST(Json_Dump, GeneratorWritesTheSameTextAsTheDump)
{
  Value v;
  ASSERT_TRUE(parse(R"({"k":[1,18446744073709551615,2.5,"s/t",{"n":null}],"b":true})", v));
  yajl_gen g = yajl_gen_alloc(nullptr);
  ASSERT_EQ(yajl_gen_value(g, v), yajl_gen_status_ok);
  const unsigned char* buf;
  std::size_t len;
  ASSERT_EQ(yajl_gen_get_buf(g, &buf, &len), yajl_gen_status_ok);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf), len), JSON_Dump(v).str());
  yajl_gen_free(g);

  g = yajl_gen_alloc(nullptr);
  EXPECT_EQ(yajl_gen_value(g, Value(Array{Value(std::nan(""))})), yajl_gen_invalid_number);
  yajl_gen_free(g);
}

// Records the events of the reader as text.
class Recorder : public YAJL_Handler {
 public:
  std::vector<std::string> events;
  std::string abort_on;
  bool throw_on_number = false;

  int note(const std::string& e)
  {
    events.push_back(e);
    return e == abort_on ? ABORT : CONTINUE;
  }
  int handle_null_i() override { return note("null"); }
  int handle_boolean_i(bool b) override { return note(b ? "true" : "false"); }
  int handle_integer_i(long long) override { return note("integer event"); }
  int handle_double_i(double) override { return note("double event"); }
  int handle_number_i(const char* t, std::size_t n) override
  {
    if (throw_on_number) throw std::runtime_error("handler failed");
    return note("num:" + std::string(t, n));
  }
  int handle_string_i(const char* t, std::size_t n) override { return note("str:" + std::string(t, n)); }
  int handle_start_map_i() override { return note("{"); }
  int handle_map_key_i(const char* t, std::size_t n) override { return note("key:" + std::string(t, n)); }
  int handle_end_map_i() override { return note("}"); }
  int handle_start_array_i() override { return note("["); }
  int handle_end_array_i() override { return note("]"); }
};

TEST(Json_Reader, DeliversNumbersAsRawTextAndStopsWhenAsked)
{
  Recorder r;
  std::string error;
  ASSERT_TRUE(parse_with_handler(R"({"a":[1.50,-0,18446744073709551616e1,true,null],"b\u0000":"x"})", r, &error))
    << error;
  const std::vector<std::string> expect = {"{",          "key:a",   "[",     "num:1.50", "num:-0",
                                           "num:18446744073709551616e1", "true", "null", "]",
                                           std::string("key:b\0", 6), "str:x", "}"};
  EXPECT_EQ(r.events, expect);

  Recorder stop;
  stop.abort_on = "key:b";
  EXPECT_FALSE(parse_with_handler(R"({"a":1,"b":2,"c":3})", stop, &error));
  EXPECT_NE(error.find("aborted by handler"), std::string::npos) << error;
  EXPECT_EQ(stop.events.back(), "key:b");

  Recorder thrower;
  thrower.throw_on_number = true;
  EXPECT_THROW(parse_with_handler("[1]", thrower), std::runtime_error);
}

// A builder that notes where each string arrives.
class Position_Recorder : public JSON_Parser {
 public:
  using JSON_Parser::JSON_Parser;
  std::vector<std::string> seen;
  int handle_string_i(const char* t, std::size_t n) override
  {
    seen.push_back(std::to_string(levels()) + ":" + key() + "=" + std::string(t, n));
    return JSON_Parser::handle_string_i(t, n);
  }
};

TEST(Json_Builder, TracksLevelAndKeyWhileBuildingOrNot)
{
  const std::string text =
    R"({"id":"a","x":{"id":"b"},"l":["c",{"name":"d"},"e"],"name":"f","n":["g"]})";
  const std::vector<std::string> expect = {"1:id=a", "2:id=b", "2:=c", "3:name=d",
                                           "2:=e",   "1:name=f", "2:=g"};
  Value doc;
  Position_Recorder building(&doc);
  ASSERT_TRUE(parse_with_handler(text, building));
  EXPECT_EQ(building.seen, expect);
  EXPECT_EQ(building.levels(), 0u);
  EXPECT_EQ(JSON_Dump(doc).str(),
            R"({"id":"a","l":["c",{"name":"d"},"e"],"n":["g"],"name":"f","x":{"id":"b"}})");

  Position_Recorder nothing(nullptr);
  ASSERT_TRUE(parse_with_handler(text, nothing));
  EXPECT_EQ(nothing.seen, expect);

  // A top-level array: its elements are at level 1 without a key, even after
  // an object inside it had keys.
  Position_Recorder top(nullptr);
  ASSERT_TRUE(parse_with_handler(R"([{"id":"a"},"b"])", top));
  EXPECT_EQ(top.seen, (std::vector<std::string>{"2:id=a", "1:=b"}));

  // The base handling of the typed number events builds nothing.
  Value v;
  JSON_Parser p(&v);
  EXPECT_EQ(p.handle_start_array_i(), YAJL_Handler::CONTINUE);
  EXPECT_EQ(p.YAJL_Handler::handle_integer_i(5), YAJL_Handler::CONTINUE);
  EXPECT_EQ(p.handle_number_i("5", 1), YAJL_Handler::CONTINUE);
  EXPECT_EQ(p.handle_end_array_i(), YAJL_Handler::CONTINUE);
  EXPECT_EQ(JSON_Dump(v).str(), "[5]");
}

TEST(Json_Parse, RoundTripKeepsEveryValue)
{
  const std::string text =
    R"({"vms":[{"id":"1f0e","name":"vm \"one\"","memory":"4294967296","disks":[{"size":-1,)"
    R"("ratio":0.25,"big":18446744073709551615,"min":-9223372036854775808,"ok":true,"no":null}]},)"
    R"({"id":"2","tags":[],"nested":{"a":{"b":{"c":"\u00e9\ud83d\ude00/"}}}}],"count":2})";
  Value first;
  ASSERT_TRUE(parse(text, first));
  const std::string dumped = JSON_Dump(first).str();
  Value second;
  ASSERT_TRUE(parse(dumped, second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(JSON_Dump(second).str(), dumped);
}

}  // namespace
