#include "platform/http/json_http_session.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "backup/http/http_request.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_http_server.h"

namespace {

using json_spirit::Value;
using test_support::Logged_Request;
using test_support::Test_Http_Server;

HTTP_Session_var make_session(const Test_Http_Server& server, int timeout = 30)
{
  return HTTP_Session_Factory::create("127.0.0.1", server.port(), server.tls(), nullptr, 3, nullptr, false, timeout,
                                      timeout, timeout, 0);
}

// The engine-style request every RHV session sends.
void prepare(HTTP_Request& req, const char* uri, const char* query)
{
  req.reset();
  req.uri(uri, true);
  req.headers().put(HTTP_HEAD_CONTENT_TYPE, "application/json", true);
  req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
  req.headers().put("Version", "4", true);
  req.headers().put(HTTP_HEAD_AUTHORIZATION, "Basic YWRtaW46", true);
  if (query != nullptr)
    req.query_string(query);
}

Value parse(const std::string& text)
{
  Value v;
  EXPECT_TRUE(json_spirit::parse(text, v)) << text;
  return v;
}

TEST(Json_Http_Session, SendsExactlyTheRequestOnTheWire)
{
  Test_Http_Server server;
  server.route("*", "/ovirt-engine/api/.*", [](const httplib::Request& req, httplib::Response& res) {
    res.status = req.method == "POST" ? 201 : 200;
    res.set_content("{\"ok\":\"" + req.method + "\"}", "application/json");
  });
  ASSERT_TRUE(server.start());
  JSON_HTTP_Session js(nullptr, 5, 300);
  EXPECT_FALSE(js);
  js.reset(make_session(server));
  ASSERT_TRUE(js);

  HTTP_Request req(HTTP_METHOD_GET, "/", true);
  HTTP_Response rsp;
  Value result;

  prepare(req, "/ovirt-engine/api/vms", "search=name%3d%2aweb%2a&follow=disk");
  ASSERT_TRUE(js.get(req, rsp, &result));
  EXPECT_EQ(rsp.status(), 200);
  EXPECT_EQ(JSON_Dump(result).str(), "{\"ok\":\"GET\"}");

  Value body = parse("{\"name\":\"vm1\",\"disks\":[1,\"2\"],\"description\":\"a/b \\u00e9\"}");
  prepare(req, "/ovirt-engine/api/vms", nullptr);
  ASSERT_TRUE(js.post(req, &body, rsp, &result));
  EXPECT_EQ(rsp.status(), 201);
  EXPECT_EQ(req.method(), HTTP_METHOD_POST);

  prepare(req, "/ovirt-engine/api/vms/123", "async=false");
  ASSERT_TRUE(js.delete_(req, rsp, &result));
  EXPECT_EQ(rsp.status(), 200);

  prepare(req, "/ovirt-engine/api/vms/123/start", nullptr);
  ASSERT_TRUE(js.post(req, nullptr, rsp, &result));

  std::vector<Logged_Request> log = server.requests();
  ASSERT_EQ(log.size(), 4u);
  struct Expect {
    const char* method;
    const char* target;
    const char* body;
    const char* content_length;  // null: no such header
  } expected[] = {
      {"GET", "/ovirt-engine/api/vms?search=name%3d%2aweb%2a&follow=disk", "", nullptr},
      {"POST", "/ovirt-engine/api/vms", "{\"description\":\"a/b \xc3\xa9\",\"disks\":[1,\"2\"],\"name\":\"vm1\"}", "53"},
      {"DELETE", "/ovirt-engine/api/vms/123?async=false", "", nullptr},
      {"POST", "/ovirt-engine/api/vms/123/start", "", "0"},
  };
  for (size_t i = 0; i < log.size(); ++i) {
    const Logged_Request& r = log[i];
    SCOPED_TRACE(r.method + " " + r.target);
    EXPECT_EQ(r.method, expected[i].method);
    EXPECT_EQ(r.target, expected[i].target);
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.body, expected[i].body);
    EXPECT_EQ(r.header("Accept"), "application/json");
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.header("Version"), "4");
    EXPECT_EQ(r.header("Authorization"), "Basic YWRtaW46");
    EXPECT_EQ(r.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(r.header_count("Accept"), 1u);
    EXPECT_FALSE(r.has_header("Expect"));
    EXPECT_FALSE(r.has_header("Transfer-Encoding"));
    if (expected[i].content_length != nullptr)
      EXPECT_EQ(r.header("Content-Length"), expected[i].content_length);
    else
      EXPECT_FALSE(r.has_header("Content-Length"));
  }
}

TEST(Json_Http_Session, ReportsEveryStatusAndParsesOnlyJsonBodies)
{
  Test_Http_Server server;
  server.route("GET", "/(\\d+)/(.*)", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.matches[1].str());
    std::string kind = req.matches[2].str();
    if (kind == "object")
      res.set_content("{\"id\":\"1\"}", "application/json");
    else if (kind == "fault")
      res.set_content("{\"detail\":\"[Cannot remove VM. VM is running.]\",\"reason\":\"Operation Failed\"}",
                      "application/json");
    else if (kind == "array")
      res.set_content("[1,2]", "application/json");
    else if (kind == "html")
      res.set_content("<html><body>Service Unavailable</body></html>", "text/html");
    else if (kind == "garbage")
      res.set_content("{\"id\":\"1\"}}trailing", "application/json");
    else if (kind == "unfinished")
      res.set_content("{\"id\":", "application/json");
    else if (kind == "truncated")
      Test_Http_Server::truncated_body(res, res.status, "application/json", "{\"id\":\"1", 100);
  });
  ASSERT_TRUE(server.start());
  JSON_HTTP_Session js(make_session(server), 5, 300);

  struct Case {
    const char* path;
    bool exchanged;
    int status;
    bool has_body;
    const char* result;  // JSON text of *result
    size_t requests;     // how many times the server saw it
  } cases[] = {
      {"/200/object", true, 200, true, "{\"id\":\"1\"}", 1},
      {"/201/object", true, 201, true, "{\"id\":\"1\"}", 1},
      {"/404/fault", true, 404, true,
       "{\"detail\":\"[Cannot remove VM. VM is running.]\",\"reason\":\"Operation Failed\"}", 1},
      {"/200/array", true, 200, true, "[1,2]", 1},
      {"/503/html", true, 503, true, "null", 1},
      {"/200/garbage", true, 200, true, "null", 1},
      {"/200/unfinished", true, 200, true, "null", 1},
      {"/200/empty", true, 200, false, "null", 1},
      {"/204/empty", true, 204, false, "null", 1},
      // A body cut short by the server is a broken exchange: a GET is tried again 5 times.
      {"/200/truncated", false, 0, true, "null", 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server.clear_requests();
    HTTP_Request req;
    HTTP_Response rsp;
    prepare(req, c.path, nullptr);
    Value result = parse("{\"stale\":true}");
    EXPECT_EQ(js.get(req, rsp, &result), c.exchanged);
    EXPECT_EQ(rsp.status(), c.status);
    EXPECT_EQ(rsp.has_body(), c.has_body);
    EXPECT_EQ(JSON_Dump(result).str(), c.result);
    EXPECT_EQ(server.request_count(), c.requests);
  }
}

TEST(Json_Http_Session, KeepsOneConnectionForManyRequests)
{
  Test_Http_Server server;
  server.route("*", "/r", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  ASSERT_TRUE(server.start());
  JSON_HTTP_Session js(make_session(server), 5, 300);
  HTTP_Request req;
  HTTP_Response rsp;
  Value result;
  for (int i = 0; i < 100; ++i) {
    prepare(req, "/r", nullptr);
    ASSERT_TRUE(js.get(req, rsp, &result));
    prepare(req, "/r", nullptr);
    ASSERT_TRUE(js.delete_(req, rsp, &result));
  }
  EXPECT_EQ(server.connection_count(), 1u);
  EXPECT_EQ(server.request_count(), 200u);

  // A POST goes on a connection of its own; later requests reuse a kept one.
  prepare(req, "/r", nullptr);
  ASSERT_TRUE(js.post(req, &result, rsp, &result));
  prepare(req, "/r", nullptr);
  ASSERT_TRUE(js.get(req, rsp, &result));
  EXPECT_EQ(server.connection_count(), 2u);
}

TEST(Json_Http_Session, RetriesOnlyGetsOnBrokenConnections)
{
  Test_Http_Server server;
  server.route("*", "/r", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"n\":1}", "application/json");
  });
  ASSERT_TRUE(server.start());
  Log_Capture log(true);

  struct Case {
    int method;
    bool warm;  // the session already holds a kept-alive connection
    int drops;  // connections the server closes without answering; -1: all
    bool exchanged;
    size_t requests;
  } cases[] = {
      {HTTP_METHOD_GET, false, 2, true, 3},
      {HTTP_METHOD_GET, false, 5, true, 6},
      {HTTP_METHOD_GET, false, -1, false, 6},
      {HTTP_METHOD_POST, false, 1, false, 1},
      {HTTP_METHOD_DELETE, false, 1, false, 1},
      {HTTP_METHOD_PUT, false, 1, false, 1},
      // A POST never goes on a kept connection, which might turn out closed and make
      // libcurl send it again by itself.
      {HTTP_METHOD_POST, true, 1, false, 1},
      // A GET on a kept connection that turns out closed is sent again at once.
      {HTTP_METHOD_GET, true, 1, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(http_method_string(c.method)) + (c.warm ? " warm" : "") + " drops " +
                 std::to_string(c.drops));
    JSON_HTTP_Session js(make_session(server), 5, 300);
    HTTP_Request req;
    HTTP_Response rsp;
    Value result;
    if (c.warm) {
      prepare(req, "/r", nullptr);
      ASSERT_TRUE(js.get(req, rsp, &result));
    }
    server.clear_requests();
    server.drop_connections(c.drops);
    prepare(req, "/r", nullptr);
    Value body = parse("{\"a\":1}");
    bool ok = js.exchange(c.method, req, c.method == HTTP_METHOD_GET ? nullptr : &body, rsp, &result);
    server.drop_connections(0);
    EXPECT_EQ(ok, c.exchanged);
    EXPECT_EQ(server.request_count(), c.requests);
    if (ok) {
      EXPECT_EQ(rsp.status(), 200);
      EXPECT_EQ(JSON_Dump(result).str(), "{\"n\":1}");
    } else {
      EXPECT_EQ(rsp.status(), 0);
      EXPECT_FALSE(rsp.has_body());
      EXPECT_TRUE(result.is_null());
    }
  }
  EXPECT_TRUE(log.contains("HTTP POST 'http://127.0.0.1:" + std::to_string(server.port()) + "/r' failed: "))
      << log.dump();
}

TEST(Json_Http_Session, EndsInFalseWithinItsTimeOuts)
{
  Test_Http_Server server;
  server.route("GET", "/slow", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  server.route("GET", "/stalled", [&server](const httplib::Request&, httplib::Response& res) {
    server.slow_body(res, 200, "application/json", "{\"a\":\"0123456789\"}", 5, std::chrono::seconds(60));
  });
  ASSERT_TRUE(server.start());
  Log_Capture log(true);

  struct Case {
    const char* path;
    bool delayed;          // the server waits 60 s before answering
    int session_timeout;   // connect, send and receive
    int exchange_timeout;  // the JSON session's bound
    const char* reason;
  } cases[] = {
      {"/slow", true, 1, 300, "nothing was received for 1000 ms"},
      {"/stalled", false, 1, 300, "nothing was received for 1000 ms"},
      {"/slow", true, 120, 1, "the exchange did not end in time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    server.delay_responses(std::chrono::seconds(c.delayed ? 60 : 0), c.delayed ? -1 : 0);
    log.clear();
    JSON_HTTP_Session js(make_session(server, c.session_timeout), 5, c.exchange_timeout);
    HTTP_Request req;
    HTTP_Response rsp;
    prepare(req, c.path, nullptr);
    Value result;
    EXPECT_FALSE(js.get(req, rsp, &result));
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(rsp.status(), 0);
    EXPECT_TRUE(result.is_null());
    EXPECT_TRUE(log.contains(c.reason)) << log.dump();
  }
  // Time-outs are not retried: no GET reached the server twice.
  EXPECT_LE(server.request_count(), 3u);
}

TEST(Json_Http_Session, ServesThreadsSharingOneSession)
{
  Test_Http_Server server;
  server.route("GET", "/n/(\\d+)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"n\":" + req.matches[1].str() + "}", "application/json");
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      JSON_HTTP_Session js(session, 5, 300);
      for (int i = 0; i < 50; ++i) {
        HTTP_Request req;
        HTTP_Response rsp;
        std::string n = std::to_string(t * 1000 + i);
        prepare(req, ("/n/" + n).c_str(), nullptr);
        Value result;
        if (!js.get(req, rsp, &result) || JSON_Dump(result).str() != "{\"n\":" + n + "}")
          ++failures[t];
      }
    });
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  EXPECT_EQ(server.request_count(), 200u);
}

}  // namespace
