#include "platform/http/uri.h"

#include <gtest/gtest.h>

namespace {

TEST(Uri_Parser, SplitsHttpAndHttpsUrls)
{
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    unsigned short port;
    bool ssl;
    const char* path;
    const char* query;
  } cases[] = {
      {"https://host1.example:54322/images/2a7b-c0de", true, "host1.example", 54322, true, "/images/2a7b-c0de", ""},
      {"http://127.0.0.1/", true, "127.0.0.1", 80, false, "/", ""},
      {"https://engine", true, "engine", 443, true, "/", ""},
      {"HTTPS://Engine:8443/a/../b%2f?x=1&y=%20", true, "Engine", 8443, true, "/a/../b%2f", "x=1&y=%20"},
      {"https://[::1]:9000/images/t", true, "::1", 9000, true, "/images/t", ""},
      {"ftp://host/file", false, "", 0, false, "", ""},
      {"/images/only-a-path", false, "", 0, false, "", ""},
      {"https://host:99999/x", false, "", 0, false, "", ""},
      {"", false, "", 0, false, "", ""},
      {nullptr, false, "", 0, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    URI uri;
    uri.host = "unchanged";
    ASSERT_EQ(URI_Parser::parse(c.text, uri), c.ok);
    if (!c.ok) {
      EXPECT_EQ(uri.host, "unchanged");
      continue;
    }
    EXPECT_EQ(uri.host, c.host);
    EXPECT_EQ(uri.port, c.port);
    EXPECT_EQ(uri.is_ssl, c.ssl);
    EXPECT_EQ(uri.path, c.path);
    EXPECT_EQ(uri.query, c.query);
  }
}

}  // namespace
