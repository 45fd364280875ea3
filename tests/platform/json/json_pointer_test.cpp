#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/json_pointer.h"

#include <boost/optional/optional_io.hpp>
#include <gtest/gtest.h>

#include <string>

using namespace json_spirit;

namespace {

// The example document of the JSON Pointer standard, plus a few members.
const char* const DOC = R"({"foo":["bar","baz"],"":0,"a/b":1,"c%d":2,"e^f":3,"g|h":4,"i\\j":5,)"
                        R"("k\"l":6," ":7,"m~n":8,"~1":9,"size":42,"neg":-1,"s":"x",)"
                        R"("deep":{"list":[{"v":"w"}],"0":"zero"}})";

TEST(Json_Pointer, ResolvesEscapesAndIndexesAndMissesCleanly)
{
  Value doc;
  ASSERT_TRUE(parse(DOC, doc));
  const Object& obj = doc.get_obj();
  // nullptr: the path does not resolve.
  struct Row {
    const char* path;
    const char* found;
  } rows[] = {
    {"/foo", R"(["bar","baz"])"},
    {"/foo/0", R"("bar")"},
    {"/foo/1", R"("baz")"},
    {"/", "0"},
    {"/a~1b", "1"},
    {"/c%d", "2"},
    {"/e^f", "3"},
    {"/g|h", "4"},
    {"/i\\j", "5"},
    {"/k\"l", "6"},
    {"/ ", "7"},
    {"/m~0n", "8"},
    {"/~01", "9"},
    {"/deep/list/0/v", R"("w")"},
    {"/deep/0", R"("zero")"},
    {"/foo/2", nullptr},
    {"/foo/01", nullptr},
    {"/foo/-", nullptr},
    {"/foo/-1", nullptr},
    {"/foo/99999999999999999999999", nullptr},
    {"/foo/bar", nullptr},
    {"/nope", nullptr},
    {"/s/x", nullptr},
    {"/a/b", nullptr},
    {"//", nullptr},
    {"foo", nullptr},
    {"/m~2n", nullptr},
    {"/m~", nullptr},
  };
  for (const Row& r : rows) {
    JSON_Pointer p;
    const bool valid = p.path(r.path, false);
    EXPECT_EQ(valid, std::string(r.path) != "foo" && std::string(r.path).find("~2") == std::string::npos &&
                       std::string(r.path) != "/m~")
      << r.path;
    const Value* v = &doc;
    EXPECT_EQ(p.get(doc, v), r.found != nullptr) << r.path;
    if (r.found) {
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(JSON_Dump(*v).str(), r.found) << r.path;
    } else {
      EXPECT_EQ(v, nullptr) << r.path;
    }
    // The same through an Object document.
    const Value* w = nullptr;
    EXPECT_EQ(p.get(obj, w), r.found != nullptr) << r.path;
    EXPECT_EQ(w, v) << r.path;
  }

  // The empty path is the whole document.
  JSON_Pointer whole("");
  const Object* o = nullptr;
  EXPECT_TRUE(whole.get(doc, o));
  EXPECT_EQ(o, &obj);
  o = nullptr;
  EXPECT_TRUE(whole.get(obj, o));
  EXPECT_EQ(o, &obj);

  // A pointer without a path resolves nothing.
  EXPECT_FALSE(JSON_Pointer().get(doc, o));
  EXPECT_EQ(o, nullptr);
}

TEST(Json_Pointer, TypedReadsNeedTheRightType)
{
  Value doc;
  ASSERT_TRUE(parse(DOC, doc));
  JSON_Pointer size("/size"), neg("/neg"), s("/s"), foo("/foo"), deep("/deep");
  unsigned long n = 5;
  EXPECT_TRUE(size.get(doc, n));
  EXPECT_EQ(n, 42u);
  EXPECT_FALSE(neg.get(doc, n));
  EXPECT_FALSE(s.get(doc, n));
  EXPECT_EQ(n, 42u);

  std::string text = "keep";
  EXPECT_FALSE(size.get(doc, text));
  EXPECT_EQ(text, "keep");
  EXPECT_TRUE(s.get(doc, text));
  EXPECT_EQ(text, "x");

  const Array* a = nullptr;
  const Object* o = nullptr;
  const std::string* ps = nullptr;
  EXPECT_TRUE(foo.get(doc, a));
  EXPECT_EQ(a->size(), 2u);
  EXPECT_FALSE(foo.get(doc, o));
  EXPECT_TRUE(deep.get(doc, o));
  EXPECT_FALSE(deep.get(doc, a));
  EXPECT_EQ(a, nullptr);
  EXPECT_FALSE(foo.get(doc, ps));

  EXPECT_EQ(s.get<std::string>(doc), boost::optional<std::string>("x"));
  EXPECT_EQ(foo.get<std::string>(doc), boost::none);
  EXPECT_EQ(JSON_Pointer("/missing").get<std::string>(doc.get_obj()), boost::none);
  EXPECT_EQ(size.get<unsigned long>(doc), boost::optional<unsigned long>(42));

  // A copy resolves like the original.
  JSON_Pointer copy = deep;
  copy = s;
  EXPECT_EQ(copy.get<std::string>(doc), boost::optional<std::string>("x"));
  EXPECT_EQ(copy.path(), "/s");
}

}  // namespace
