#include "platform/http/http_connection.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "backup/http/http_request.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_http_server.h"

namespace {

using test_support::Logged_Request;
using test_support::Test_Http_Server;

HTTP_Session_var make_session(const Test_Http_Server& server, int timeout = 30)
{
  return HTTP_Session_Factory::create("127.0.0.1", server.port(), server.tls(), nullptr, 3, nullptr, false, timeout,
                                      timeout, timeout, 0);
}

// Deterministic bytes of an image.
std::string image_bytes(size_t n)
{
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245 + 12345;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

TEST(Http_Connection, PostsAFormAndReadsTheJsonReply)
{
  Test_Http_Server server;
  server.route("POST", "/ovirt-engine/sso/oauth/token", [](const httplib::Request& req, httplib::Response& res) {
    if (req.body.find("password=") == std::string::npos)
      res.status = 200;  // no body at all
    else
      res.set_content("{\"access_token\":\"tok\",\"token_type\":\"bearer\"}", "application/json");
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);

  struct Case {
    std::string form;
    int status;
    bool has_body;
    bool json;
  } cases[] = {
      {"grant_type=password&scope=ovirt-app-api&username=admin%40internal&password=p+w%2fd%2bx", 200, true, true},
      {"grant_type=password", 200, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    server.clear_requests();
    HTTP_Request req;
    req.reset();
    req.uri("/ovirt-engine/sso/oauth/token", true);
    req.method(HTTP_METHOD_POST);
    req.content_type("application/x-www-form-urlencoded");
    req.content_length(c.form.size());
    req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);

    HTTP_Connection_var conn = session->open(req);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->write(c.form.data(), c.form.size()), static_cast<ssize_t>(c.form.size()));
    HTTP_Response rsp;
    ASSERT_EQ(conn->read_head(rsp), 0);
    EXPECT_EQ(rsp.status(), c.status);
    EXPECT_EQ(rsp.has_body(), c.has_body);
    json_spirit::Object reply;
    EXPECT_EQ(read(*conn, reply), c.json);
    if (c.json) {
      EXPECT_EQ(reply["access_token"].get_str(), "tok");
    }
    EXPECT_EQ(conn->state(), HTTP_SOCK_STATE_CONTENT_RECEIVED);

    std::vector<Logged_Request> log = server.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "POST");
    EXPECT_EQ(log[0].target, "/ovirt-engine/sso/oauth/token");
    EXPECT_EQ(log[0].body, c.form);
    EXPECT_EQ(log[0].header("Content-Length"), std::to_string(c.form.size()));
    EXPECT_EQ(log[0].header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(log[0].header("Accept"), "application/json");
  }
}

TEST(Http_Connection, RefusesMisuseWithoutHanging)
{
  Test_Http_Server server;
  server.route("*", "/r", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"got\":\"" + req.body + "\"}", "application/json");
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);
  Log_Capture log(true);

  HTTP_Request req(HTTP_METHOD_POST, "/r", true);
  req.content_length(4);
  HTTP_Connection_var conn = session->open(req);
  ASSERT_TRUE(conn);
  // More than announced: refused, nothing sent.
  EXPECT_EQ(conn->write("12345", 5), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  // The session is held by the open connection: using it again on this thread fails at once.
  HTTP_Request get(HTTP_METHOD_GET, "/r", true);
  HTTP_Response rsp;
  std::string body;
  EXPECT_FALSE(session->exchange(get, nullptr, rsp, body));
  EXPECT_EQ(session->error(), EDEADLK);
  EXPECT_FALSE(session->open(get));
  // Reading the response before the whole announced body was written fails.
  EXPECT_EQ(conn->write("12", 2), 2);
  EXPECT_EQ(conn->read_head(rsp), -1);
  EXPECT_EQ(conn->state(), HTTP_SOCK_STATE_ERROR);
  conn.reset();
  // Dropping the connection frees the session, and the next exchange runs on a clean one.
  ASSERT_TRUE(session->exchange(get, nullptr, rsp, body));
  EXPECT_EQ(rsp.status(), 200);
  EXPECT_EQ(body, "{\"got\":\"\"}");
  EXPECT_EQ(server.request_count(), 1u);
  EXPECT_TRUE(log.contains("only 2 of 4 request body bytes were written")) << log.dump();
}

TEST(Http_Connection, StreamsARangedGetInPieces)
{
  const std::string image = image_bytes(5u << 20);
  Test_Http_Server server;
  server.route("GET", "/images/ticket", [&image](const httplib::Request& req, httplib::Response& res) {
    // httplib applies the Range header itself.
    res.set_content(image, "application/octet-stream");
    (void)req;
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);

  struct Case {
    unsigned long first;
    unsigned long last;
    size_t block;
  } cases[] = {
      {0, (5u << 20) - 1, 64 * 1024},
      {1000, 1000 + (3u << 20) - 1, 4u << 20},  // larger than what is held at once
      {4096, 4096 + 511, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + "-" + std::to_string(c.last));
    server.clear_requests();
    HTTP_Request req;
    req.reset();
    req.uri("/images/ticket", true);
    req.range(c.first, c.last);
    req.method(HTTP_METHOD_GET);
    HTTP_Connection_var conn = session->open(req);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->status(), 206);
    std::string got;
    ACE_Message_Block block(c.block);
    while (conn->state() != HTTP_SOCK_STATE_CONTENT_RECEIVED) {
      block.reset();
      ssize_t n = conn->recv(block);
      ASSERT_GE(n, 0);
      ASSERT_LE(static_cast<size_t>(n), c.block);
      if (n == 0)
        break;
      EXPECT_EQ(block.length(), static_cast<size_t>(n));
      got.append(block.rd_ptr(), block.length());
    }
    EXPECT_EQ(conn->recv(block), 0);
    ASSERT_EQ(got.size(), c.last - c.first + 1);
    EXPECT_TRUE(got == image.substr(c.first, c.last - c.first + 1));
    EXPECT_EQ(server.requests().at(0).header("Range"),
              "bytes=" + std::to_string(c.first) + "-" + std::to_string(c.last));
  }
  EXPECT_EQ(server.connection_count(), 1u);
}

TEST(Http_Connection, LeavingABodyUnreadClosesOnlyThatConnection)
{
  const std::string image = image_bytes(4u << 20);
  Test_Http_Server server;
  server.route("GET", "/big", [&image](const httplib::Request&, httplib::Response& res) {
    res.set_content(image, "application/octet-stream");
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);
  {
    HTTP_Request req(HTTP_METHOD_GET, "/big", true);
    HTTP_Connection_var conn = session->open(req);
    ASSERT_TRUE(conn);
    char buf[1000];
    ASSERT_GT(conn->recv(buf, sizeof buf), 0);
  }
  HTTP_Request req(HTTP_METHOD_GET, "/big", true);
  HTTP_Response rsp;
  std::string body;
  ASSERT_TRUE(session->exchange(req, nullptr, rsp, body));
  EXPECT_TRUE(body == image);
  EXPECT_EQ(server.connection_count(), 2u);
}

TEST(Http_Connection, UploadsInPiecesAndReadsTheResponseAfterTheLastOne)
{
  Test_Http_Server server;
  server.route("PUT", "/images/ticket", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"size\":" + std::to_string(req.body.size()) + "}", "application/json");
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);
  session->upload_buffer_size(2u << 20);
  const std::string big = image_bytes(3u << 20);

  struct Case {
    bool chunked;
    std::vector<size_t> pieces;
  } cases[] = {
      {false, {4, 4, 2}},
      {false, {0, 10}},
      {true, {3, 0, 7}},
      {false, {1u << 20, 2u << 20}},
  };
  for (const Case& c : cases) {
    size_t total = 0;
    for (size_t p : c.pieces)
      total += p;
    SCOPED_TRACE(std::to_string(total) + (c.chunked ? " chunked" : ""));
    const std::string data = total > 10 ? big.substr(0, total) : std::string("0123456789").substr(0, total);
    server.clear_requests();
    HTTP_Request req;
    req.reset();
    req.uri("/images/ticket", true);
    req.query_string("flush=n");
    req.method(HTTP_METHOD_PUT);
    if (c.chunked) {
      req.chunked_transfer_encoding(true);
    } else {
      char range[64];
      std::snprintf(range, sizeof range, "bytes %lu-%lu/*", 0UL, static_cast<unsigned long>(total - 1));
      req.headers().put("Content-Range", range, true);
      req.content_length(total);
    }
    HTTP_Connection_var conn = session->open(req);
    ASSERT_TRUE(conn);
    size_t off = 0;
    for (size_t p : c.pieces) {
      EXPECT_EQ(conn->send(data.data() + off, p), static_cast<ssize_t>(p));
      off += p;
    }
    HTTP_Response rsp;
    ASSERT_EQ(conn->recv_response(rsp), 0);
    EXPECT_EQ(rsp.status(), 200);
    std::string reply;
    EXPECT_TRUE(conn->read_body(reply));
    EXPECT_EQ(reply, "{\"size\":" + std::to_string(total) + "}");

    std::vector<Logged_Request> log = server.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].target, "/images/ticket?flush=n");
    EXPECT_TRUE(log[0].body == data);
    if (c.chunked) {
      EXPECT_EQ(log[0].header("Transfer-Encoding"), "chunked");
      EXPECT_FALSE(log[0].has_header("Content-Length"));
    } else {
      EXPECT_EQ(log[0].header("Content-Length"), std::to_string(total));
      EXPECT_EQ(log[0].header("Content-Range"), "bytes 0-" + std::to_string(total - 1) + "/*");
    }
  }
}

TEST(Http_Connection, ReportsABrokenBodyAsAnError)
{
  Test_Http_Server server;
  server.route("GET", "/cut", [](const httplib::Request&, httplib::Response& res) {
    Test_Http_Server::truncated_body(res, 206, "application/octet-stream", std::string(1000, 'x'), 5000);
  });
  server.route("GET", "/drop", [&server](const httplib::Request& req, httplib::Response&) {
    server.drop_connection(req);
  });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server);
  Log_Capture log(true);

  HTTP_Request req(HTTP_METHOD_GET, "/cut", true);
  HTTP_Connection_var conn = session->open(req);
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->status(), 206);
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = conn->recv(buf, sizeof buf)) > 0)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, -1);
  EXPECT_EQ(errno, ECONNABORTED);
  EXPECT_EQ(conn->error(), ECONNABORTED);
  EXPECT_EQ(conn->state(), HTTP_SOCK_STATE_ERROR);
  EXPECT_EQ(got, std::string(1000, 'x'));
  conn.reset();

  HTTP_Request drop(HTTP_METHOD_GET, "/drop", true);
  EXPECT_FALSE(session->open(drop));
  EXPECT_EQ(session->error(), ECONNRESET);
  EXPECT_TRUE(log.contains("HTTP GET 'http://127.0.0.1:" + std::to_string(server.port()) + "/drop' failed: "))
      << log.dump();
}

}  // namespace
