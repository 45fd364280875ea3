#include "backup/http/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string str(const char* p)
{
  return p != nullptr ? p : "(null)";
}

TEST(Http_Request, TypedAccessorsReadAndWriteTheHeaderTable)
{
  HTTP_Request req(HTTP_METHOD_POST, "/ovirt-engine/sso/oauth/token", true);
  EXPECT_EQ(req.method(), 9);
  EXPECT_EQ(req.uri(), "/ovirt-engine/sso/oauth/token");
  EXPECT_EQ(req.minor_version_, 1);
  EXPECT_EQ(req.content_length(), 0u);
  EXPECT_EQ(req.content_type(), nullptr);

  req.content_length(18446744073709551615UL);
  EXPECT_EQ(str(req.headers().get(HTTP_HEAD_CONTENT_LENGTH, true)), "18446744073709551615");
  EXPECT_EQ(req.content_length(), 18446744073709551615UL);
  req.content_length(57);
  EXPECT_EQ(str(req.headers().get(12, true)), "57");
  EXPECT_EQ(req.headers().size(), 1u);

  req.content_type("application/x-www-form-urlencoded");
  EXPECT_EQ(str(req.headers().get(16, true)), "application/x-www-form-urlencoded");
  EXPECT_EQ(str(req.content_type()), "application/x-www-form-urlencoded");

  req.range(0, 511);
  EXPECT_EQ(str(req.headers().get(33, true)), "bytes=0-511");
  req.range(512, ~0UL);
  EXPECT_EQ(str(req.headers().get(HTTP_HEAD_RANGE, true)), "bytes=512-");
  req.range(18446744073709551614UL, 18446744073709551614UL);
  EXPECT_EQ(str(req.headers().get(HTTP_HEAD_RANGE, true)), "bytes=18446744073709551614-18446744073709551614");

  req.keep_alive(false);
  EXPECT_EQ(str(req.headers().get(8, true)), "close");
  req.keep_alive(true);
  EXPECT_EQ(str(req.headers().get(8, true)), "Keep-Alive");

  req.chunked_transfer_encoding(true);
  EXPECT_EQ(str(req.headers().get(41, true)), "chunked");
  EXPECT_TRUE(req.chunked_transfer_encoding());
  req.chunked_transfer_encoding(false);
  EXPECT_EQ(req.headers().get(41, true), nullptr);

  req.reset();
  EXPECT_TRUE(req.headers().empty());
  EXPECT_EQ(req.uri(), "");
  EXPECT_EQ(req.method(), HTTP_METHOD_POST);
}

TEST(Http_Request, ContentLengthParsing)
{
  struct Case {
    const char* value;
    unsigned long expected;
  } cases[] = {
      {"0", 0}, {"123", 123}, {"123abc", 123}, {"abc", 0}, {"", 0}, {"-5", 0},
      {"18446744073709551615", 18446744073709551615UL}, {"99999999999999999999", ~0UL},
  };
  for (const Case& c : cases) {
    HTTP_Response rsp;
    rsp.headers().put("content-length", c.value);
    EXPECT_EQ(rsp.content_length(), c.expected) << c.value;
  }
}

TEST(Http_Response, KeepAliveFollowsConnectionHeaderThenVersion)
{
  struct Case {
    int minor;
    const char* connection;
    bool expected;
  } cases[] = {
      {0, nullptr, false},
      {1, nullptr, true},
      {0, "Keep-Alive", true},
      {0, "keep-alive", true},
      {1, "close", false},
      {1, "Upgrade, close", false},
      {0, "TE , Keep-Alive", true},
      {1, "close, Keep-Alive", false},
      {0, "closed", false},
      {1, "closed", true},
  };
  for (const Case& c : cases) {
    HTTP_Response rsp;
    rsp.minor_version_ = c.minor;
    if (c.connection != nullptr)
      rsp.headers().put("Connection", c.connection);
    EXPECT_EQ(rsp.keep_alive(), c.expected) << c.minor << " " << str(c.connection);
    // The library sees the module's rule through its base object too.
    const CGI_Base& base = rsp;
    EXPECT_EQ(base.keep_alive(), c.expected);
  }
}

TEST(Http_Response, ChunkedOnlyWhenExactlyChunked)
{
  struct Case {
    const char* value;
    bool expected;
  } cases[] = {{"chunked", true}, {"Chunked", false}, {"gzip, chunked", false}, {nullptr, false}};
  for (const Case& c : cases) {
    HTTP_Response rsp;
    rsp.headers().put(HTTP_HEAD_TRANSFER_ENCODING, c.value);
    EXPECT_EQ(rsp.chunked_transfer_encoding(), c.expected) << str(c.value);
  }
}

}  // namespace
