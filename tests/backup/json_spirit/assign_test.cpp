#include "backup/json_spirit/assign.h"
#include "backup/models/task/task_base.h"
#include "platform/json/json_dump.h"

#include <gtest/gtest.h>

#include <string>

using namespace json_spirit;

namespace {

std::string dump(const Object& o)
{
  return JSON_Dump(o).str();
}

TEST(Json_Assign, SkipRulesDecideWhichKeysAreWritten)
{
  const std::string empty, blank = " ", text = "t";
  const long negative = -1, zero = 0, date = 1700000000;
  Object nested{{"k", Value(1)}};
  Object o;
  insert(o)("if_true", skip_if(std::string("x"), true))
           ("if_false_empty", skip_if(std::string(), false))
           ("if_false_negative", skip_if(negative, false))
           ("date_zero", skip_if(zero, zero == 0))
           ("date", skip_if(date, date == 0))
           ("phase", skip_if("running", false))
           ("no_phase", skip_if(static_cast<const char*>(nullptr), true))
           ("empty", skip_empty(empty))
           ("blank", skip_empty(blank))
           ("text", skip_empty(text))
           ("empty_obj", skip_empty(Object()))
           ("obj", skip_empty(std::move(nested)));
  EXPECT_EQ(dump(o), R"({"blank":" ","date":1700000000,"if_false_empty":"","if_false_negative":-1,)"
                     R"("obj":{"k":1},"phase":"running","text":"t"})");
}

TEST(Json_Assign, InsertReplacesButSkippedInsertKeeps)
{
  Object o{{"id", Value("old")}, {"other", Value(1)}};
  insert(o)("id", skip_if(std::string("skipped"), true));
  EXPECT_EQ(dump(o), R"({"id":"old","other":1})");
  insert(o)("id", skip_empty(std::string()));
  EXPECT_EQ(dump(o), R"({"id":"old","other":1})");
  insert(o)("id", "new");
  EXPECT_EQ(dump(o), R"({"id":"new","other":1})");
  insert(o)(std::string("id"), skip_if(std::string("tag"), false))("id", 2)("id", 3);
  EXPECT_EQ(dump(o), R"({"id":3,"other":1})");

  Object chain;
  Object& same = insert(chain)("b", 1)("a", 2);
  EXPECT_EQ(&same, &chain);
  EXPECT_EQ(dump(chain), R"({"a":2,"b":1})");
}

TEST(Json_Assign, ValuesConvertByTheirStaticType)
{
  std::string lvalue = "lv";
  const std::string const_lvalue = "clv";
  const unsigned short port = 443;
  const unsigned long big = 18446744073709551615UL;
  Object o;
  insert(o)("s1", lvalue)("s2", const_lvalue)("s3", std::string("rv"))("s4", "lit")
           ("l", -5L)("ul", big)("i", 7)("port", port)("err", Task_Base::CODE_FAILED_RETRY)
           ("b", false)("o", Object{{"x", Value()}})("v", Value(1.5));
  EXPECT_EQ(dump(o), R"({"b":false,"err":2,"i":7,"l":-5,"o":{"x":null},"port":443,"s1":"lv",)"
                     R"("s2":"clv","s3":"rv","s4":"lit","ul":18446744073709551615,"v":1.5})");
  EXPECT_EQ(lvalue, "lv");
  EXPECT_TRUE(o.at("ul").is_uint64());
  EXPECT_FALSE(o.at("port").is_uint64());
  EXPECT_EQ(o.at("err").type(), int_type);
}

TEST(Json_Assign, ObjectMakerIsAValueFilledInPlace)
{
  const std::string id = "0f3c";
  const bool flag = true;
  Value v = Object_Maker()("uuid", id)("flag", flag)("gone", skip_if(std::string("x"), true));
  EXPECT_EQ(JSON_Dump(v).str(), R"({"flag":true,"uuid":"0f3c"})");

  Object_Maker m;
  m("b", 1)("a", skip_if(std::string("kept"), false));
  Object_Maker copy = m;
  copy("c", 3);
  m("d", 4);
  EXPECT_EQ(JSON_Dump(m).str(), R"({"a":"kept","b":1,"d":4})");
  EXPECT_EQ(JSON_Dump(copy).str(), R"({"a":"kept","b":1,"c":3})");

  Array list;
  list.push_back(Object_Maker()("n", 1));
  EXPECT_EQ(JSON_Dump(Value(list)).str(), R"([{"n":1}])");
}

TEST(Json_Assign, ToObjectAndToArrayReplaceOnlyOtherTypes)
{
  struct Row {
    Value start;
    const char* as_object;
    const char* as_array;
  } rows[] = {
    {Value(), "{}", "[]"},
    {Value("text"), "{}", "[]"},
    {Value(Array{Value(1)}), "{}", "[1]"},
    {Value(Object{{"keep", Value(1)}}), R"({"keep":1})", "[]"},
  };
  for (Row& r : rows) {
    Value a = r.start, b = r.start;
    to_object(a);
    to_array(b);
    EXPECT_EQ(JSON_Dump(a).str(), r.as_object);
    EXPECT_EQ(JSON_Dump(b).str(), r.as_array);
    Value c = r.start, d = r.start;
    EXPECT_TRUE(to_new_object(c).empty());
    EXPECT_TRUE(to_new_array(d).empty());
  }

  // A reply filled into a caller's value keeps the keys it does not set.
  Value reply = Object{{"code", Value(1)}, {"extra", Value("x")}};
  insert(to_object(reply))("code", 0);
  EXPECT_EQ(JSON_Dump(reply).str(), R"({"code":0,"extra":"x"})");
}

TEST(Json_Assign, ParamsToArrayAlwaysStartsAfresh)
{
  Value v = Array{Value("old")};
  params_to_array(v, std::string("engine.example"));
  EXPECT_EQ(JSON_Dump(v).str(), R"(["engine.example"])");
  const unsigned short port = 443;
  v = Object{{"k", Value(1)}};
  params_to_array(v, std::string("host"), std::string("user"), port);
  EXPECT_EQ(JSON_Dump(v).str(), R"(["host","user",443])");
  EXPECT_EQ(v.get_array()[2].type(), int_type);
}

}  // namespace
