#include "platform/http/json_restful_client.h"

#include <gtest/gtest.h>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_http_server.h"

namespace {

using json_spirit::Value;
using test_support::Test_Http_Server;

TEST(Json_Restful_Client, SendsTheAccessKeyAndJudgesByStatus)
{
  Test_Http_Server server;
  server.route("*", "/api/(.*)", [](const httplib::Request& req, httplib::Response& res) {
    const std::string what = req.matches[1].str();
    if (what == "missing") {
      res.status = 404;
      res.set_content("{\"error\":\"no such set\"}", "application/json");
    } else if (what == "created") {
      res.status = 201;
      res.set_content(req.body, "application/json");
    } else {
      res.set_content("{\"pools\":[]}", "application/json");
    }
  });
  ASSERT_TRUE(server.start());
  Log_Capture log(true);

  JSON_RESTful_Client client;
  EXPECT_FALSE(client);
  ASSERT_TRUE(client.reset("127.0.0.1", server.port(), false));
  ASSERT_TRUE(client.set_header(HTTP_HEAD_X_ACCESS_KEY, "k3y"));
  EXPECT_FALSE(client.set_header(HTTP_HEAD_MAX, "x"));

  Value result;
  int status = -1;
  EXPECT_TRUE(client.get("/api/pools", "uuid=5e7a", &result, &status));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(JSON_Dump(result).str(), "{\"pools\":[]}");

  Value body;
  ASSERT_TRUE(json_spirit::parse("{\"level\":7,\"code\":1}", body));
  EXPECT_TRUE(client.post("/api/created", nullptr, body, &result, &status));
  EXPECT_EQ(status, 201);
  EXPECT_EQ(JSON_Dump(result).str(), "{\"code\":1,\"level\":7}");

  EXPECT_FALSE(client.delete_("/api/missing", nullptr, &result, &status));
  EXPECT_EQ(status, 404);
  EXPECT_EQ(JSON_Dump(result).str(), "{\"error\":\"no such set\"}");
  EXPECT_EQ(log.count("HTTP DELETE 'http://127.0.0.1:" + std::to_string(server.port()) +
                      "/api/missing' answered status 404.\n"),
            1u)
      << log.dump();

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].target, "/api/pools?uuid=5e7a");
  for (const auto& r : requests) {
    EXPECT_EQ(r.header("X-Access-Key"), "k3y");
    EXPECT_EQ(r.header("Accept"), "application/json");
  }
  EXPECT_FALSE(requests[0].has_header("Content-Type"));
  EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].body, "{\"code\":1,\"level\":7}");

  // An empty value removes the header.
  client.set_header(HTTP_HEAD_X_ACCESS_KEY, "");
  EXPECT_TRUE(client.get("/api/pools", nullptr, nullptr));
  EXPECT_FALSE(server.requests().back().has_header("X-Access-Key"));
}

TEST(Json_Restful_Client, WithoutAServerEveryCallFails)
{
  Log_Capture log(true);
  JSON_RESTful_Client client;
  Value result;
  int status = -1;
  EXPECT_FALSE(client.get("/api/pools", nullptr, &result, &status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(result.is_null());
  EXPECT_FALSE(client.reset("", 443, true));
  EXPECT_FALSE(client);
}

}  // namespace
