#include "platform/http/http_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "backup/http/http_request.h"
#include "platform/http/http_connection.h"
#include "platform/http/json_http_session.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_http_server.h"
#include "tests/support/test_tls.h"

namespace {

using test_support::Test_Http_Server;

HTTP_Session_var make_session(unsigned short port, bool ssl)
{
  return HTTP_Session_Factory::create("127.0.0.1", port, ssl, nullptr, 3, nullptr, false, 30, 30, 30, 0);
}

// A port on 127.0.0.1 on which nothing listens.
unsigned short closed_port()
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// One GET of "/" through a new session; the status, or 0 when no exchange took place.
int get_status(unsigned short port, bool ssl)
{
  HTTP_Session_var s = make_session(port, ssl);
  if (!s)
    return -1;
  HTTP_Request req(HTTP_METHOD_GET, "/", true);
  HTTP_Response rsp;
  std::string body;
  s->exchange(req, nullptr, rsp, body);
  return rsp.status();
}

struct Tls_Setup {
  test_support::Temp_Dir dir;
  test_support::Tls_Files good = test_support::make_tls_files(dir.path());
  test_support::Tls_Files other = test_support::make_tls_files(dir.path(), "other-");
  test_support::Tls_Files misnamed = test_support::make_tls_files(dir.path(), "misnamed-", {"engine.invalid"});
};

void serve_hello(Test_Http_Server& server)
{
  server.route("GET", "/", [](const httplib::Request&, httplib::Response& res) { res.set_content("hello", "text/plain"); });
}

TEST(Http_Session, VerifiesCertificatesAgainstTheConfiguredCa)
{
  Tls_Setup tls;
  Test_Http_Server server(tls.good);
  serve_hello(server);
  ASSERT_TRUE(server.start());
  Test_Http_Server misnamed(tls.misnamed);
  serve_hello(misnamed);
  ASSERT_TRUE(misnamed.start());

  struct Case {
    const char* what;
    std::string ca_file;
    bool insecure;
    unsigned short port;
    int status;
  } cases[] = {
      {"the engine's CA", tls.good.ca_file, false, server.port(), 200},
      {"another CA", tls.other.ca_file, false, server.port(), 0},
      {"the system's trust store", "", false, server.port(), 0},
      {"a certificate for another host name", tls.misnamed.ca_file, false, misnamed.port(), 0},
      {"insecure, another CA", tls.other.ca_file, true, server.port(), 200},
      {"insecure, another host name", "", true, misnamed.port(), 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Standin_Env env({{"engine_ca_file", c.ca_file}, {"tls_insecure", c.insecure ? "true" : "false"}});
    Log_Capture log(true);
    EXPECT_EQ(get_status(c.port, true), c.status);
    std::string where = "'127.0.0.1:" + std::to_string(c.port) + "'";
    EXPECT_EQ(log.count("TLS certificate verification is disabled for " + where + ".\n"), c.insecure ? 1u : 0u)
        << log.dump();
    if (c.status == 0) {
      EXPECT_TRUE(log.contains("HTTP GET 'https://127.0.0.1:" + std::to_string(c.port) + "/' failed: "))
          << log.dump();
    }
  }
}

TEST(Http_Session, ExplicitSettingsOverrideTheConfiguration)
{
  Tls_Setup tls;
  Test_Http_Server server(tls.good);
  serve_hello(server);
  ASSERT_TRUE(server.start());
  Standin_Env env({{"engine_ca_file", tls.other.ca_file}});
  Log_Capture log(true);
  EXPECT_EQ(http_settings().ca_file, tls.other.ca_file);
  EXPECT_EQ(get_status(server.port(), true), 0);

  HTTP_Settings s;
  s.ca_file = tls.good.ca_file;
  set_http_settings(s);
  EXPECT_EQ(get_status(server.port(), true), 200);
  clear_http_settings();
  EXPECT_EQ(get_status(server.port(), true), 0);
}

TEST(Http_Session, RetriesRefusedConnectionsThenFails)
{
  HTTP_Settings s;
  s.connect_retry_delay_ms = 10;
  set_http_settings(s);
  Log_Capture log(true);
  unsigned short port = closed_port();
  HTTP_Session_var session = make_session(port, false);
  ASSERT_TRUE(session);
  JSON_HTTP_Session js(session, 5, 300);
  HTTP_Request req(HTTP_METHOD_GET, "/x", true);
  req.query_string("secret=1");
  HTTP_Response rsp;
  json_spirit::Value result;
  EXPECT_FALSE(js.get(req, rsp, &result));
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(rsp.status(), 0);
  EXPECT_FALSE(rsp.has_body());
  // One line for the failed request, naming the URL without its query.
  std::vector<std::string> lines = log.texts(LM_WARNING);
  ASSERT_EQ(lines.size(), 1u) << log.dump();
  EXPECT_EQ(lines[0].rfind("HTTP GET 'http://127.0.0.1:" + std::to_string(port) + "/x' failed: ", 0), 0u);
  EXPECT_EQ(lines[0].find("secret"), std::string::npos);
  // Three retries after the first attempt, as the factory was told.
  EXPECT_NE(lines[0].find(" (4 attempts).\n"), std::string::npos) << lines[0];
  clear_http_settings();
}

TEST(Http_Session, FactoryRejectsWhatItCannotServe)
{
  Log_Capture log(true);
  SSL_CTX* ctx = reinterpret_cast<SSL_CTX*>(&log);  // never used: refused before
  struct Case {
    const char* host;
    unsigned short port;
    SSL_CTX* ssl_ctx;
    unsigned flags;
    const char* line;
  } cases[] = {
      {"", 443, nullptr, 0, "Invalid HTTP session address ':443'.\n"},
      {"127.0.0.1", 0, nullptr, 0, "Invalid HTTP session address '127.0.0.1:0'.\n"},
      {"127.0.0.1", 443, ctx, 0, "Unsupported HTTP session options for '127.0.0.1:443'.\n"},
      {"127.0.0.1", 443, nullptr, 1, "Unsupported HTTP session options for '127.0.0.1:443'.\n"},
  };
  for (const Case& c : cases) {
    log.clear();
    EXPECT_FALSE(HTTP_Session_Factory::create(c.host, c.port, true, nullptr, 3, c.ssl_ctx, false, 120, 120, 120,
                                              c.flags));
    EXPECT_EQ(log.texts(LM_ERROR), std::vector<std::string>{c.line});
  }
}

TEST(Http_Session, UrlOfARequest)
{
  HTTP_Session_var plain = make_session(8080, false);
  HTTP_Session_var tls = HTTP_Session_Factory::create("::1", 443, true);
  HTTP_Request req(HTTP_METHOD_GET, "/ovirt-engine/api/vms", true);
  EXPECT_STREQ(HTTP_Session_URL(plain, req).c_str(), "http://127.0.0.1:8080/ovirt-engine/api/vms");
  req.query_string("follow=disk&max=1");
  EXPECT_STREQ(HTTP_Session_URL(tls, req).c_str(), "https://[::1]:443/ovirt-engine/api/vms?follow=disk&max=1");
  EXPECT_EQ(tls->url(req), "https://[::1]:443/ovirt-engine/api/vms?follow=disk&max=1");
  EXPECT_STREQ(HTTP_Session_URL(HTTP_Session_var(), req).c_str(), "(no session)/ovirt-engine/api/vms?follow=disk&max=1");
  EXPECT_EQ(plain->host(), "127.0.0.1");
  EXPECT_EQ(plain->port(), 8080);
  EXPECT_FALSE(plain->ssl());
}

TEST(Http_Session, ReferenceCountKeepsSessionWhileAConnectionUsesIt)
{
  Test_Http_Server server;
  serve_hello(server);
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server.port(), false);
  EXPECT_EQ(session->refcount(), 1);
  HTTP_Request req(HTTP_METHOD_GET, "/", true);
  HTTP_Connection_var conn = session->open(req);
  ASSERT_TRUE(conn);
  EXPECT_EQ(session->refcount(), 2);
  session.reset();
  // The connection still works with the session it holds.
  char buf[16];
  EXPECT_EQ(conn->recv(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  conn.reset();
}

// The session keeps one libcurl handle from request to request: nothing of one request (its
// method, body, upload mode, headers) may reach the next one.
TEST(Http_Session, NothingOfARequestReachesTheNextOnTheSameHandle)
{
  Test_Http_Server server;
  for (const char* m : {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"})
    server.route(m, "/r", [](const httplib::Request&, httplib::Response& res) { res.set_content("{}", "text/json"); });
  ASSERT_TRUE(server.start());
  HTTP_Session_var session = make_session(server.port(), false);

  struct Case {
    int method;
    const char* body;  // null: none given
    bool streamed;     // sent through open() and write()
    const char* content_type;
    const char* sent_as;
  } const cases[] = {
      {HTTP_METHOD_POST, "{\"a\":1}", false, "application/json", "POST"},
      {HTTP_METHOD_GET, nullptr, false, nullptr, "GET"},
      {HTTP_METHOD_PUT, "0123456789", true, "application/octet-stream", "PUT"},
      {HTTP_METHOD_DELETE, nullptr, false, nullptr, "DELETE"},
      {HTTP_METHOD_HEAD, nullptr, false, nullptr, "HEAD"},
      {HTTP_METHOD_GET, nullptr, true, nullptr, "GET"},
      {HTTP_METHOD_PATCH, "{}", false, "application/json", "PATCH"},
      {HTTP_METHOD_OPTIONS, nullptr, false, nullptr, "OPTIONS"},
      {HTTP_METHOD_PUT, "", false, nullptr, "PUT"},
      {HTTP_METHOD_GET, nullptr, false, nullptr, "GET"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    HTTP_Request req(c.method, "/r", true);
    req.headers().put("X-Case", std::to_string(i).c_str(), true);
    if (c.content_type != nullptr)
      req.headers().put(HTTP_HEAD_CONTENT_TYPE, c.content_type, true);
    HTTP_Response rsp;
    std::string reply;
    const std::string body = c.body != nullptr ? c.body : "";
    if (c.streamed) {
      req.content_length(body.size());
      HTTP_Connection_var conn = session->open(req);
      ASSERT_TRUE(conn);
      if (!body.empty()) {
        EXPECT_EQ(conn->write(body.data(), body.size()), static_cast<ssize_t>(body.size()));
      }
      ASSERT_EQ(conn->read_head(rsp), 0);
      EXPECT_TRUE(conn->read_body(reply));
    } else {
      ASSERT_TRUE(session->exchange(req, c.body != nullptr ? &body : nullptr, rsp, reply));
    }
    EXPECT_EQ(rsp.status(), 200);
    EXPECT_EQ(reply, c.method == HTTP_METHOD_HEAD ? "" : "{}");

    std::vector<test_support::Logged_Request> log = server.requests();
    ASSERT_EQ(log.size(), i + 1);
    const test_support::Logged_Request& got = log.back();
    EXPECT_EQ(got.method, c.sent_as);
    EXPECT_EQ(got.body, body);
    EXPECT_EQ(got.header("X-Case"), std::to_string(i));
    EXPECT_EQ(got.header_count("X-Case"), 1u);
    EXPECT_EQ(got.header("Content-Type"), c.content_type != nullptr ? c.content_type : "");
    EXPECT_EQ(got.has_header("Content-Length"), c.body != nullptr);
    EXPECT_FALSE(got.has_header("Transfer-Encoding"));
  }
}

}  // namespace
