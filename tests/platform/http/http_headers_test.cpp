#include "platform/http/http_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/http/cgi.h"

namespace {

std::string str(const char* p)
{
  return p != nullptr ? p : "(null)";
}

TEST(Http_Headers, TableIndexesAreFixed)
{
  struct Case {
    int id;
    const char* name;
  } cases[] = {
      {0, "Accept"}, {6, "Authorization"}, {8, "Connection"}, {12, "Content-Length"}, {15, "Content-Range"},
      {16, "Content-Type"}, {33, "Range"}, {41, "Transfer-Encoding"}, {49, "X-Access-Key"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(str(http_head_string(c.id)), c.name);
    EXPECT_EQ(http_head_id(c.name), c.id);
  }
  EXPECT_EQ(HTTP_HEAD_X_ACCESS_KEY, 49);
  EXPECT_EQ(http_head_id("x-access-key"), 49);
  EXPECT_EQ(http_head_string(-1), nullptr);
  EXPECT_EQ(http_head_string(HTTP_HEAD_MAX), nullptr);
  EXPECT_EQ(http_head_id("Version"), -1);
  EXPECT_EQ(http_head_id(nullptr), -1);
  // Every name of the table is distinct and maps back to its own index.
  for (int i = 0; i < HTTP_HEAD_MAX; ++i)
    EXPECT_EQ(http_head_id(http_head_string(i)), i) << i;
}

TEST(Http_Headers, MethodNumbersAreFixed)
{
  EXPECT_EQ(HTTP_METHOD_GET, 3);
  EXPECT_EQ(HTTP_METHOD_OPTIONS, 7);
  EXPECT_EQ(HTTP_METHOD_POST, 9);
  EXPECT_EQ(HTTP_METHOD_PUT, 10);
  EXPECT_EQ(str(http_method_string(HTTP_METHOD_DELETE)), "DELETE");
  EXPECT_EQ(http_method_string(HTTP_METHOD_UNKNOWN), nullptr);
  EXPECT_EQ(http_method_string(99), nullptr);
}

TEST(Http_Headers, PutReplacesGetFindsByIndexOrName)
{
  HTTP_Headers h;
  EXPECT_TRUE(h.put(HTTP_HEAD_ACCEPT, "text/html"));
  EXPECT_TRUE(h.put("Version", "3"));
  EXPECT_TRUE(h.put(HTTP_HEAD_ACCEPT, "application/json", true));
  EXPECT_TRUE(h.put("version", "4", true));
  EXPECT_TRUE(h.put("content-range", "bytes 0-9/*"));
  EXPECT_EQ(str(h.get(0, true)), "application/json");
  EXPECT_EQ(str(h.get("ACCEPT", true)), "application/json");
  EXPECT_EQ(str(h.get("Version", true)), "4");
  EXPECT_EQ(str(h.get(HTTP_HEAD_CONTENT_RANGE, true)), "bytes 0-9/*");
  EXPECT_EQ(h.get(HTTP_HEAD_AUTHORIZATION, true), nullptr);
  EXPECT_EQ(h.get("X-Other", true), nullptr);
  EXPECT_EQ(h.size(), 3u);

  // Repeated fields (as a response may carry them) and their removal.
  EXPECT_TRUE(h.put("Set-Cookie", "a=1", false));
  EXPECT_TRUE(h.put("Set-Cookie", "b=2", false));
  EXPECT_EQ(str(h.get(HTTP_HEAD_SET_COOKIE, true)), "a=1");
  EXPECT_EQ(str(h.get(HTTP_HEAD_SET_COOKIE, false)), "b=2");
  EXPECT_TRUE(h.put(HTTP_HEAD_SET_COOKIE, "c=3", true));
  EXPECT_EQ(str(h.get(HTTP_HEAD_SET_COOKIE, false)), "c=3");
  EXPECT_TRUE(h.put("Version", nullptr));
  EXPECT_EQ(h.get("Version"), nullptr);
  EXPECT_FALSE(h.remove("Version"));

  EXPECT_FALSE(h.put(HTTP_HEAD_MAX, "x"));
  EXPECT_FALSE(h.put(-1, "x"));
  EXPECT_FALSE(h.put("", "x"));
  EXPECT_FALSE(h.put(static_cast<const char*>(nullptr), "x"));

  std::vector<std::string> seen;
  h.visit([&](const char* n, const char* v) { seen.push_back(std::string(n) + ": " + v); });
  EXPECT_EQ(seen, (std::vector<std::string>{"Accept: application/json", "Content-Range: bytes 0-9/*",
                                            "Set-Cookie: c=3"}));
}

TEST(Http_Headers, ValueMatchComparesCommaSeparatedTokens)
{
  struct Case {
    const char* value;
    const char* token;
    bool expected;
  } cases[] = {
      {"close", "close", true},
      {"Close", "close", true},
      {" keep-alive , Upgrade", "Keep-Alive", true},
      {"Upgrade,close", "close", true},
      {"closed", "close", false},
      {"", "close", false},
      {"a,,b", "", true},
      {nullptr, "close", false},
      {"close", nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(http_header_value_match(c.value, c.token, ','), c.expected) << str(c.value) << " / " << str(c.token);
}

TEST(Cgi_Request, UriEncodingOnRequest)
{
  CGI_Request r(HTTP_METHOD_GET, "/a b/%2f?x#\xc3\xa9", false);
  EXPECT_EQ(r.uri(), "/a%20b/%2f%3Fx%23%C3%A9");
  r.uri("/a b", true);
  EXPECT_EQ(r.uri(), "/a b");
  r.query_string("x=1");
  r.headers().put(HTTP_HEAD_ACCEPT, "application/json");
  r.reset();
  EXPECT_EQ(r.uri(), "");
  EXPECT_EQ(r.query_string(), "");
  EXPECT_TRUE(r.headers().empty());
}

}  // namespace
