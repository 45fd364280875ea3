// Sessions against the engine simulator over real HTTP: the bytes of every request,
// which replies count as success, Basic and OAuth authentication with token renewal,
// and what each failure logs.

#include "backup/rhv/api/rhv_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_vm_services.h"
#include "platform/http/http_session.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/backup/rhv/api/engine_fixture.h"
#include "tests/support/test_http_server.h"

using namespace engine_test;
using json_spirit::Value;
using test_support::Engine_Fault;
using test_support::Engine_Request;
using Lines = std::vector<std::string>;

namespace {

RHV_Session_var make_session(Engine_Fixture& f, const std::string& type, const std::string& password = PASSWORD)
{
  RHV_Session_var s = RHV_Session_Factory::create(type);
  EXPECT_TRUE(s);
  if (s) {
    EXPECT_TRUE(s->init("127.0.0.1", f.port(), f.engine().tls(), USER, secure_string(password.c_str()),
                        "ovirt-engine"));
  }
  return s;
}

// An OAuth session that can drop its token: its next request logs in again.
struct Forgetful_Session : RHV_OAuth_Session {
  void forget() { authorization_.clear(); }
};

Value parse(const std::string& text)
{
  Value v;
  EXPECT_TRUE(json_spirit::parse(text, v)) << text;
  return v;
}

}  // namespace

TEST(RHV_Session_Factory, makes_sessions_by_exact_type_name)
{
  const struct {
    const char* type;
    bool made;
  } rows[] = {{"basic", true}, {"oauth", true}, {"Basic", false}, {"OAUTH", false}, {"", false}, {"digest", false}};
  for (const auto& row : rows) {
    Log_Capture log(true);
    RHV_Session_var s = RHV_Session_Factory::create(row.type);
    EXPECT_EQ(static_cast<bool>(s), row.made) << row.type;
    EXPECT_EQ(log.texts(LM_ERROR), row.made ? Lines{} : Lines{"Invalid session type.\n"}) << row.type;
  }
  EXPECT_TRUE(dynamic_cast<RHV_Basic_Session*>(RHV_Session_Factory::create("basic").get()));
  EXPECT_TRUE(dynamic_cast<RHV_OAuth_Session*>(RHV_Session_Factory::create("oauth").get()));

  // A session that was never initialised has no HTTP session to send on.
  Log_Capture log(true);
  Value result;
  EXPECT_FALSE(RHV_Session_Factory::create("basic")->get("/ovirt-engine/api", nullptr, &result));
  const std::vector<Log_Capture::Line> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].priority, LM_EMERGENCY);
  EXPECT_EQ(lines[0].text.rfind("Unexpected error in backup/rhv/api/rhv_session.cpp:", 0), 0u) << lines[0].text;
  EXPECT_NE(lines[0].text.find(", session_ is NULL:\n"), std::string::npos) << lines[0].text;
}

TEST(RHV_Basic_Session, authorization_is_made_at_init_without_a_request)
{
  Engine_Fixture f;
  const struct {
    const char* user;
    const char* password;
    const char* header;
  } rows[] = {
      {"admin", "", "Basic YWRtaW46"},
      {"admin@internal", "engine-password", "Basic YWRtaW5AaW50ZXJuYWw6ZW5naW5lLXBhc3N3b3Jk"},
      {"u", "a:b\xc3\xa4", "Basic dTphOmLDpA=="},
  };
  for (const auto& row : rows) {
    RHV_Session_var s = RHV_Session_Factory::create("basic");
    ASSERT_TRUE(s->init("127.0.0.1", f.port(), false, row.user, secure_string(row.password), "ovirt-engine"));
    EXPECT_EQ(s->authorization(), row.header);
    EXPECT_EQ(s->engine(), "ovirt-engine");
    EXPECT_EQ(s->username(), row.user);
  }
  EXPECT_TRUE(f.engine().requests().empty());
}

// Both kinds, plain and TLS: path, query, headers and body exactly as the API wants them.
TEST(RHV_Session, every_request_carries_the_api_headers)
{
  for (bool tls : {false, true}) {
    for (const char* type : {"basic", "oauth"}) {
      SCOPED_TRACE(std::string(type) + (tls ? " over TLS" : " plain"));
      Engine_Options options;
      options.tls = tls;
      Engine_Fixture f(options);
      RHV_Session_var s = make_session(f, type);
      Log_Capture log(true);

      Value result;
      EXPECT_TRUE(s->get(f.api("/datacenters"), "search=name%3ddc-main", &result)) << log.dump();
      EXPECT_TRUE(s->get(f.api("/clusters"), "", &result)) << log.dump();
      const Value body = parse("{\"name\":\"new-vm\",\"cluster\":{\"id\":\"" + CL_A + "\"}}");
      EXPECT_TRUE(s->post(f.api("/vms"), nullptr, &body, &result)) << log.dump();
      const std::string created = result.get_obj().at("id").get_str();
      EXPECT_TRUE(s->delete_(f.api("/vms/" + created), "detach_only=0&force=0", &result)) << log.dump();

      const std::vector<Engine_Request> requests = f.take_api_requests();
      ASSERT_EQ(requests.size(), 4u);
      const std::string auth = s->authorization().c_str();
      EXPECT_EQ(auth.rfind(std::string(type) == "basic" ? "Basic " : "Bearer ", 0), 0u) << auth;
      const struct {
        const char* method;
        std::string path;
        const char* query;
      } expected[] = {{"GET", "/ovirt-engine/api/datacenters", "search=name%3ddc-main"},
                      {"GET", "/ovirt-engine/api/clusters", ""},
                      {"POST", "/ovirt-engine/api/vms", ""},
                      {"DELETE", "/ovirt-engine/api/vms/" + created, "detach_only=0&force=0"}};
      for (size_t i = 0; i < requests.size(); ++i) {
        const Engine_Request& r = requests[i];
        EXPECT_EQ(r.method, expected[i].method);
        EXPECT_EQ(r.path, expected[i].path);
        EXPECT_EQ(r.query, expected[i].query);
        EXPECT_EQ(r.header("Accept"), "application/json");
        EXPECT_EQ(r.header("Content-Type"), "application/json");
        EXPECT_EQ(r.header("Version"), "4");
        EXPECT_EQ(r.header("Authorization"), auth);
      }
      EXPECT_EQ(parse(requests[2].body), body);
      EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
    }
  }
}

TEST(RHV_Session, success_needs_a_json_object_and_an_accepted_status)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "basic");
  const std::string path = f.api("/probe");
  const struct {
    const char* method;
    int status;
    const char* body;
    bool ok;
  } rows[] = {
      {"GET", 200, "{\"id\":\"1\"}", true},   {"GET", 201, "{\"id\":\"1\"}", false},
      {"GET", 202, "{}", false},              {"GET", 200, "[]", false},
      {"GET", 200, "", false},                {"GET", 200, "\"text\"", false},
      {"POST", 200, "{}", true},              {"POST", 201, "{\"id\":\"1\"}", true},
      {"POST", 202, "{}", true},              {"POST", 203, "{}", false},
      {"POST", 204, "", false},               {"POST", 201, "[1]", false},
      {"DELETE", 200, "{}", true},            {"DELETE", 200, "", false},
      {"DELETE", 201, "{}", false},           {"DELETE", 204, "", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.method) + " " + std::to_string(row.status) + " " + row.body);
    f.answer(row.method, path, row.status, row.body);
    Log_Capture log(true);
    Value result;
    const Value body{json_spirit::Object()};
    bool ok = std::string(row.method) == "GET"    ? s->get(path, nullptr, &result)
              : std::string(row.method) == "POST" ? s->post(path, nullptr, &body, &result)
                                                  : s->delete_(path, nullptr, &result);
    EXPECT_EQ(ok, row.ok);
    // The exchange took place: nothing for the session to report.
    EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
  }

  // A refused request leaves the engine's fault body for the caller.
  f.answer("GET", path, 404, "{\"reason\":\"Not Found\",\"detail\":\"no such thing\"}");
  Value result;
  EXPECT_FALSE(s->get(path, nullptr, &result));
  EXPECT_EQ(JSON_Dump(result).str(), "{\"detail\":\"no such thing\",\"reason\":\"Not Found\"}");
}

TEST(RHV_Session, a_broken_exchange_logs_method_url_query_and_status)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "basic");
  const std::string base = "http://127.0.0.1:" + std::to_string(f.port());
  f.fault(Engine_Fault::close_connection, "*", ".*", -1);
  Log_Capture log(true);
  Value result;
  const Value body{json_spirit::Object()};
  EXPECT_FALSE(s->get(f.api("/vms"), "search=x", &result));
  EXPECT_FALSE(s->post(f.api("/vms"), nullptr, &body, &result));
  EXPECT_FALSE(s->delete_(f.api("/vms/1"), "force=1", &result));
  EXPECT_EQ(log.texts(LM_ERROR),
            (Lines{"Failed to send GET request: \n\tapi version: 4.\n\turl: " + base +
                       "/ovirt-engine/api/vms?search=x.\n\tquery: search=x.\n\tresponse status: 0.\n",
                   "Failed to send POST request: \n\tapi version: 4.\n\turl: " + base +
                       "/ovirt-engine/api/vms.\n\tquery: .\n\tresponse status: 0.\n",
                   "Failed to send DELETE request: \n\tapi version: 4.\n\turl: " + base +
                       "/ovirt-engine/api/vms/1?force=1.\n\tquery: force=1.\n\tresponse status: 0.\n"}));
  // A POST is never sent twice.
  EXPECT_EQ(f.engine().count_requests("POST", ".*"), 1u);
}

TEST(RHV_Session, replies_that_are_not_json_end_in_false)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "basic");
  const std::string path = f.api("/vms");
  const std::string deep(100000, '[');
  std::string huge = "{\"vm\":[";
  while (huge.size() < (8u << 20))
    huge += "{\"id\":\"0123456789\",\"name\":\"x\"},";
  huge += "{\"id\":\"1\"}";  // no closing brackets: truncated
  const struct {
    const char* what;
    int status;
    std::string body;
    const char* type;
  } rows[] = {
      {"garbage", 200, "\x01\x02garbage{{", "application/json"},
      {"html error page", 500, "<html><body><h1>Internal Server Error</h1></body></html>", "text/html"},
      {"truncated json", 200, "{\"vm\":[{\"id\":\"1\"", "application/json"},
      {"deep nesting", 200, deep, "application/json"},
      {"huge truncated json", 200, huge, "application/json"},
      {"nul bytes", 200, std::string("{\"id\":\"\0\"}", 10), "application/json"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    f.answer("GET", path, row.status, row.body, 1, row.type);
    Log_Capture log(true);
    Value result;
    EXPECT_FALSE(s->get(path, nullptr, &result));
    EXPECT_NE(result.type(), json_spirit::obj_type);
  }
  // The session stays usable.
  Value result;
  EXPECT_TRUE(s->get(path, nullptr, &result));
}

TEST(RHV_Session, a_slow_engine_is_waited_for)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "oauth");
  test_support::Engine_Fault slow;
  slow.kind = Engine_Fault::slow;
  slow.delay = std::chrono::milliseconds(300);
  slow.count = 2;  // the token request and the GET
  f.engine().add_fault(slow);
  Value result;
  EXPECT_TRUE(s->get(f.api("/datacenters"), nullptr, &result));
  EXPECT_EQ(result.get_obj().at("data_center").get_array().size(), 2u);
}

TEST(RHV_Session, a_body_that_stops_short_is_a_failed_exchange)
{
  test_support::Test_Http_Server server;
  server.route("GET", "/e/api/short", [](const httplib::Request&, httplib::Response& res) {
    test_support::Test_Http_Server::truncated_body(res, 200, "application/json", "{\"id\":", 4096);
  });
  server.route("GET", "/e/api/slow", [&server](const httplib::Request&, httplib::Response& res) {
    server.slow_body(res, 200, "application/json", "{\"id\":\"1\",\"name\":\"slow\"}", 5,
                     std::chrono::milliseconds(20));
  });
  ASSERT_TRUE(server.start());
  RHV_Session_var s = RHV_Session_Factory::create("basic");
  ASSERT_TRUE(s->init("127.0.0.1", server.port(), false, "u", secure_string("p"), "e"));
  Log_Capture log(true);
  Value result;
  EXPECT_FALSE(s->get("/e/api/short", nullptr, &result));
  ASSERT_EQ(log.texts(LM_ERROR).size(), 1u) << log.dump();
  EXPECT_EQ(log.texts(LM_ERROR)[0].rfind("Failed to send GET request: \n", 0), 0u);
  EXPECT_TRUE(s->get("/e/api/slow", nullptr, &result));
  EXPECT_EQ(JSON_Dump(result).str(), "{\"id\":\"1\",\"name\":\"slow\"}");
}

TEST(RHV_OAuth_Session, the_first_request_fetches_a_token_that_later_requests_reuse)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "oauth");
  EXPECT_EQ(s->authorization(), "");
  EXPECT_TRUE(f.engine().requests().empty());

  Value result;
  ASSERT_TRUE(s->get(f.api("/datacenters"), nullptr, &result));
  ASSERT_TRUE(s->get(f.api("/clusters"), nullptr, &result));
  const std::vector<Engine_Request> all = f.engine().requests();
  ASSERT_EQ(all.size(), 3u);
  const Engine_Request& token = all[0];
  EXPECT_EQ(token.method, "POST");
  EXPECT_EQ(token.path, "/ovirt-engine/sso/oauth/token");
  EXPECT_EQ(token.query, "");
  EXPECT_EQ(token.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(token.header("Accept"), "application/json");
  EXPECT_EQ(token.header("Content-Length"), std::to_string(token.body.size()));
  EXPECT_FALSE(token.has_header("Authorization"));
  // Space as "+", "/" and "+" and "%" percent-encoded, lower-case hex.
  EXPECT_EQ(token.body, "grant_type=password&scope=ovirt-app-api&username=admin%40internal&password=Pa+ss%2fwo%2brd%25");
  EXPECT_EQ(s->authorization().rfind("Bearer ", 0), 0u);
  EXPECT_EQ(all[1].header("Authorization"), s->authorization().c_str());
  EXPECT_EQ(all[2].header("Authorization"), s->authorization().c_str());
  EXPECT_EQ(f.engine().tokens_issued(), 1u);
}

TEST(RHV_OAuth_Session, a_401_renews_the_token_once_and_repeats_the_request)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "oauth");
  Value result;
  ASSERT_TRUE(s->get(f.api("/datacenters"), nullptr, &result));
  const std::string first = s->authorization().c_str();

  // The token expired: one renewal, one repeat.
  f.engine().expire_tokens();
  f.engine().clear_requests();
  Log_Capture log(true);
  EXPECT_TRUE(s->get(f.api("/datacenters"), "x=1", &result));
  EXPECT_EQ(log.texts(LM_INFO), Lines{"The RHV session may expire, try again.\n"});
  EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
  std::vector<Engine_Request> r = f.engine().requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].status, 401);
  EXPECT_EQ(r[1].path, f.engine().token_path());
  EXPECT_EQ(r[2].status, 200);
  EXPECT_EQ(r[2].query, "x=1");
  EXPECT_EQ(r[2].header("Version"), "4");
  EXPECT_EQ(r[2].header("Authorization"), s->authorization().c_str());
  EXPECT_NE(s->authorization().c_str(), first);

  // A second 401 after the renewal is a plain failure: exactly one retry.
  f.engine().clear_requests();
  f.fault(Engine_Fault::unauthorized, "GET", f.api("/clusters"), 2);
  log.clear();
  EXPECT_FALSE(s->get(f.api("/clusters"), nullptr, &result));
  EXPECT_EQ(log.texts(LM_INFO), Lines{"The RHV session may expire, try again.\n"});
  EXPECT_EQ(f.engine().requests().size(), 3u);

  // A 403 asks for no new token.
  f.engine().clear_requests();
  f.fault(Engine_Fault::error_status, "GET", f.api("/hosts"), 1, 403);
  log.clear();
  EXPECT_FALSE(s->get(f.api("/hosts"), nullptr, &result));
  EXPECT_TRUE(log.texts(LM_INFO).empty());
  EXPECT_EQ(f.engine().requests().size(), 1u);

  // A failed renewal keeps the old token, which the next request sends again.
  const std::string kept = s->authorization().c_str();
  f.engine().expire_tokens();
  f.fault(Engine_Fault::error_status, "POST", f.engine().token_path(), 1, 500);
  log.clear();
  EXPECT_FALSE(s->get(f.api("/hosts"), nullptr, &result));
  EXPECT_EQ(log.texts(LM_ERROR), (Lines{"Response status is '500', has body.\n", "Failed to authenticate.\n"}));
  EXPECT_EQ(s->authorization().c_str(), kept);
  f.engine().clear_requests();
  EXPECT_TRUE(s->get(f.api("/hosts"), nullptr, &result));
  EXPECT_EQ(f.engine().requests().at(0).header("Authorization"), kept);
}

TEST(RHV_OAuth_Session, a_token_reply_that_is_not_a_token_fails_authentication)
{
  const struct {
    const char* what;
    int status;
    const char* body;
    const char* line;
  } rows[] = {
      {"error before token", 200, "{\"error\":\"access_denied\",\"access_token\":\"t\"}",
       "Failed to authenticate: access_denied.\n"},
      {"no body", 200, "", "Response status is '200', has no body.\n"},
      {"refused", 400, "{\"error\":\"invalid_grant\"}", "Response status is '400', has body.\n"},
      {"garbage", 200, "not json at all", "Failed to read response data.\n"},
      {"array", 200, "[\"access_token\"]", "Failed to read response data.\n"},
      {"no token", 200, "{\"token_type\":\"bearer\"}",
       "Invalid response format, exception: JSON member 'access_token' not found.\n"},
      {"token not a string", 200, "{\"access_token\":5}",
       "Invalid response format, exception: JSON member 'access_token' is integer, not a string.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Engine_Fixture f;
    RHV_Session_var s = make_session(f, "oauth");
    f.answer("POST", f.engine().token_path(), row.status, row.body);
    Log_Capture log(true);
    Value result;
    EXPECT_FALSE(s->get(f.api("/datacenters"), nullptr, &result));
    EXPECT_EQ(log.texts(LM_ERROR), (Lines{row.line, "Failed to authenticate.\n"}));
    EXPECT_EQ(s->authorization(), "");
    EXPECT_EQ(f.take_api_requests().size(), 0u);
  }
}

TEST(RHV_OAuth_Session, an_unreachable_token_endpoint_is_reported)
{
  Engine_Fixture f;
  RHV_Session_var s = make_session(f, "oauth");
  f.fault(Engine_Fault::close_connection, "POST", f.engine().token_path(), -1);
  Log_Capture log(true);
  Value result;
  EXPECT_FALSE(s->get(f.api("/datacenters"), nullptr, &result));
  const Lines errors = log.texts(LM_ERROR);
  ASSERT_EQ(errors.size(), 2u) << log.dump();
  EXPECT_TRUE(errors[0] == "Failed to receive response from '127.0.0.1'.\n" ||
              errors[0] == "Failed to send request to '127.0.0.1'.\n")
      << errors[0];
  EXPECT_EQ(errors[1], "Failed to authenticate.\n");

  f.engine().stop();
  log.clear();
  EXPECT_FALSE(s->get(f.api("/datacenters"), nullptr, &result));
  EXPECT_EQ(log.texts(LM_ERROR).back(), "Failed to authenticate.\n");
}

// What a caller learns of a failed removal: whether it may have been carried out (it went
// out and no answer came back; nothing went out when no connection or login could be
// made), and whether a 404 is the engine's own "not found" rather than a page of
// something in front of it.
TEST(RHV_Session, a_failed_request_tells_whether_it_went_out_and_who_answered)
{
  HTTP_Settings quick;
  quick.connect_retry_delay_ms = 1;
  set_http_settings(quick);
  const std::string not_found = "{\"reason\":\"Operation Failed\",\"detail\":\"Entity not found\"}";
  const struct {
    const char* what;
    bool oauth, tls, stopped;
    Engine_Fault::Kind kind;
    int status;
    std::string body, type;
    bool unanswered, gone;
    bool relogin = false;  // a request went out before, on a token since dropped
  } rows[] = {
      {"carried out, then the connection closed", false, false, false, Engine_Fault::done_then_close, 0, "", "", true,
       false},
      {"dropped on arrival", false, false, false, Engine_Fault::close_connection, 0, "", "", true, false},
      {"connection refused", false, false, true, Engine_Fault::pass, 0, "", "", false, false},
      {"TLS handshake failed", false, true, false, Engine_Fault::pass, 0, "", "", false, false},
      {"login failed", true, false, false, Engine_Fault::close_connection, 0, "", "", false, false},
      {"login failed after a request went out", true, false, false, Engine_Fault::close_connection, 0, "", "", false,
       false, true},
      {"the engine's not found", false, false, false, Engine_Fault::custom, 404, not_found, "application/json", false,
       true},
      {"a not found page", false, false, false, Engine_Fault::custom, 404, "<html>Not Found</html>", "text/html",
       false, false},
      {"the engine's not found without a body", false, false, false, Engine_Fault::custom, 404, "", "application/json",
       false, true},
      {"a not found of other JSON", false, false, false, Engine_Fault::custom, 404, "{\"error\": 1}",
       "application/json", false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Engine_Fixture f;
    RHV_Session_var s = row.relogin ? std::make_shared<Forgetful_Session>()
                                    : RHV_Session_Factory::create(row.oauth ? "oauth" : "basic");
    ASSERT_TRUE(s->init("127.0.0.1", f.port(), row.tls, USER, secure_string(PASSWORD.c_str()), "ovirt-engine"));
    if (row.relogin) {
      Value earlier;
      ASSERT_TRUE(s->get(f.api("/datacenters"), nullptr, &earlier));
      static_cast<Forgetful_Session&>(*s).forget();
    }
    if (row.kind == Engine_Fault::custom)
      f.answer("DELETE", ".*", row.status, row.body, 1, row.type);
    else
      f.fault(row.kind, row.oauth ? "POST" : "DELETE", ".*");
    if (row.stopped)
      f.engine().stop();
    Log_Capture log(true);
    RHV_Disk_Service disks(s);
    EXPECT_FALSE(disks.remove(SPARE_DISK));
    EXPECT_EQ(disks.unanswered(), row.unanswered);
    EXPECT_EQ(disks.gone(), row.gone);
  }
  clear_http_settings();
}
