#include "backup/http/http_query_string_builder.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace {

using Builder = HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>>;

TEST(Http_Query_String_Builder, BuildsQueriesAndFormsAsTheEngineReceivesThem)
{
  struct Case {
    const char* what;
    void (*build)(Builder&);
    const char* expected;
  } cases[] = {
      {"one pair", [](Builder& b) { b("follow", "disk", true, true, nullptr); }, "follow=disk"},
      {"two pairs", [](Builder& b) { b("follow", "disk", true, true, nullptr)("max", "10", true, true, nullptr); },
       "follow=disk&max=10"},
      {"search", [](Builder& b) { b("search", "name=*web*", true, true, nullptr); }, "search=name%3d%2aweb%2a"},
      {"false", [](Builder& b) { b("case_sensitive", false, true, nullptr); }, "case_sensitive=0"},
      {"true", [](Builder& b) { b("case_sensitive", true, true, nullptr); }, "case_sensitive=1"},
      {"token form",
       [](Builder& b) {
         b("grant_type", "password", true, true, nullptr)("scope", "ovirt-app-api", true, true, nullptr)(
             "username", "admin@internal", true, true, nullptr)("password", "p w/d+x", true, true, nullptr);
       },
       "grant_type=password&scope=ovirt-app-api&username=admin%40internal&password=p+w%2fd%2bx"},
      {"null value", [](Builder& b) { b("flag", nullptr, true, true, nullptr)("x", "1", true, true, nullptr); },
       "flag&x=1"},
      {"empty value", [](Builder& b) { b("e", "", true, true, nullptr); }, "e="},
      {"empty and null names add nothing",
       [](Builder& b) { b("", "v", true, true, nullptr)(nullptr, "v", true, true, nullptr)("a", "1", true, true, nullptr); },
       "a=1"},
      {"encoded prefix", [](Builder& b) { b("k y", "v", true, true, "p/"); }, "p%2fk+y=v"},
      {"empty prefix", [](Builder& b) { b("k", "v", true, true, ""); }, "k=v"},
      {"raw key and value", [](Builder& b) { b("k y", "a/b c", false, false, "p/"); }, "p/k y=a/b c"},
      {"raw key, encoded value", [](Builder& b) { b("k/", "a/b", false, true, nullptr); }, "k/=a%2fb"},
      {"number printed as %ld", [](Builder& b) { b("n", -42L, true, nullptr); }, "n=-42"},
  };
  for (const Case& c : cases) {
    std::string q;
    Builder b(std::back_inserter(q), false);
    c.build(b);
    EXPECT_EQ(q, c.expected) << c.what;
  }
}

TEST(Http_Query_String_Builder, ContinuesATargetThatAlreadyHoldsPairs)
{
  std::string q = "a=1";
  Builder b(std::back_inserter(q), true);
  b("b", "2", true, true, nullptr);
  EXPECT_EQ(q, "a=1&b=2");
}

TEST(Http_Query_String_Builder, AdvancesAPlainPointer)
{
  char buf[64] = {};
  HTTP_Query_String_Builder_T<char*> b(buf, false);
  b("a b", "c/d", true, true, nullptr)("e", true, true, nullptr);
  EXPECT_STREQ(buf, "a+b=c%2fd&e=1");
}

}  // namespace
