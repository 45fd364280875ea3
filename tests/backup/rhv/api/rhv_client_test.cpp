// Logging in to the engine simulator, the engine version, the failure chain of a
// request (session, engine fault, service), and that no secret reaches a log line.

#include "backup/rhv/api/rhv_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <ace/ACE.h>

#include "platform/http/base64.h"
#include "tests/backup/rhv/api/engine_fixture.h"

using namespace engine_test;
using test_support::Engine_Fault;
using Lines = std::vector<std::string>;

TEST(RHV_Client, login_reads_the_api_root_under_the_url_prefix)
{
  const struct {
    const char* engine_prefix;
    const char* record_prefix;
  } rows[] = {{"ovirt-engine", ""}, {"ovirt-engine", "ovirt-engine"}, {"P", "P"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.record_prefix);
    Engine_Options options;
    options.url_prefix = row.engine_prefix;
    Engine_Fixture f(options);
    RHV_Client client;
    Log_Capture log(true);
    ASSERT_TRUE(f.login(client, "basic", PASSWORD, row.record_prefix)) << log.dump();
    EXPECT_EQ(client.session()->engine(), row.engine_prefix);
    RHV_VMs vms;
    ASSERT_TRUE(client.vm_service().list(vms));
    EXPECT_EQ(f.take_request_lines(),
              (Lines{"GET /" + std::string(row.engine_prefix) + "/api", "GET /" + std::string(row.engine_prefix) + "/api/vms"}));
    EXPECT_EQ(client.version().full_version, "4.5.5-1.el8");
    EXPECT_EQ(client.version().major, 4);
    EXPECT_EQ(client.version().minor, 5);
    EXPECT_TRUE(log.texts(LM_WARNING).empty()) << log.dump();
  }
}

TEST(RHV_Client, a_missing_version_is_only_a_warning)
{
  Engine_Fixture f;
  f.engine().set_product_info(false);
  RHV_Client client;
  Log_Capture log(true);
  EXPECT_TRUE(f.login(client, "oauth"));
  EXPECT_EQ(log.texts(LM_WARNING), Lines{"Failed to get RHV version.\n"});
  EXPECT_EQ(client.version().major, -1);
}

TEST(RHV_Client, failed_logins_log_each_level)
{
  Engine_Fixture f;
  const std::string login_line = USER + " failed to login RHV 127.0.0.1:" + std::to_string(f.port()) + ".\n";
  const struct {
    const char* what;
    const char* auth;
    std::string password;
    Lines errors;
  } rows[] = {
      {"basic, wrong password", "basic", "wrong", {login_line}},
      {"oauth, wrong password", "oauth", "wrong",
       {"Response status is '401', has body.\n", "Failed to authenticate.\n", login_line}},
      {"unknown type", "Basic", PASSWORD, {"Invalid session type.\n", "Failed to create RHV session.\n"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RHV_Client client;
    Log_Capture log(true);
    EXPECT_FALSE(f.login(client, row.auth, row.password));
    EXPECT_EQ(log.texts(LM_ERROR), row.errors);
    // A session that was made stays in the client; callers go by the result of login.
    EXPECT_EQ(static_cast<bool>(client), std::string(row.auth) != "Basic");
  }
  EXPECT_EQ(f.engine().count_requests("GET", ".*"), 1u);  // the Basic attempt only
}

TEST(RHV_Client, login_over_tls_checks_the_engine_certificate)
{
  Engine_Options options;
  options.tls = true;
  Engine_Fixture f(options);
  for (const char* auth : {"basic", "oauth"}) {
    RHV_Client client;
    EXPECT_TRUE(f.login(client, auth)) << auth;
  }

  // A CA that did not sign the engine's certificate.
  const test_support::Tls_Files other = test_support::make_tls_files(f.dir(), "other-");
  f.env().set("engine_ca_file", other.ca_file);
  RHV_Client refused;
  Log_Capture log(true);
  EXPECT_FALSE(f.login(refused, "basic"));
  const Lines errors = log.texts(LM_ERROR);
  ASSERT_EQ(errors.size(), 2u) << log.dump();
  EXPECT_EQ(errors[0].rfind("Failed to send GET request: \n\tapi version: 4.\n\turl: https://127.0.0.1:", 0), 0u);
  EXPECT_EQ(f.engine().count_requests("*", ".*"), 3u);  // only the accepted logins
}

TEST(RHV_Client, a_failed_request_logs_session_fault_and_service_lines)
{
  Engine_Fixture f;
  RHV_Client client;
  ASSERT_TRUE(f.login(client));
  const std::string path = f.api("/datacenters");
  const struct {
    const char* what;
    int status;
    const char* body;
    const char* type;
    const char* fault_line;
  } rows[] = {
      {"fault", 409, "{\"reason\":\"Operation Failed\",\"detail\":\"[Cannot do it]\"}", "application/json",
       "Failed to call api, Operation Failed: [Cannot do it].\n"},
      {"reason only", 400, "{\"reason\":\"Bad Request\"}", "application/json", "Failed to extract data from result.\n"},
      {"detail not a text", 400, "{\"reason\":\"R\",\"detail\":{\"x\":1}}", "application/json",
       "Failed to extract data from result.\n"},
      {"html", 503, "<html>Service Unavailable</html>", "text/html", "Failed to extract data from result.\n"},
      {"get answered 201", 201, "{\"data_center\":[]}", "application/json", "Failed to extract data from result.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    f.answer("GET", path, row.status, row.body, 1, row.type);
    Log_Capture log(true);
    RHV_Data_Centers dcs(1);
    dcs[0].id = "kept";
    EXPECT_FALSE(client.data_center_service().list(dcs));
    EXPECT_EQ(log.texts(LM_ERROR), (Lines{row.fault_line, "Failed to call 'GET /datacenters'.\n"}));
    ASSERT_EQ(dcs.size(), 1u);
    EXPECT_EQ(dcs[0].id, "kept");
  }
}

TEST(RHV_Client, services_of_a_client_without_session_refuse_every_request)
{
  RHV_Client client;
  EXPECT_FALSE(client);
  Log_Capture log(true);
  RHV_VM vm;
  EXPECT_FALSE(client.vm_service().get("id", vm));
  RHV_Disks disks;
  EXPECT_FALSE(client.disk_service().list(disks));
  EXPECT_FALSE(client.vm_service().start("id"));
  EXPECT_EQ(log.texts(LM_ERROR), (Lines{"Invalid RHV session.\n", "Failed to call 'GET /vms/id'.\n",
                                        "Invalid RHV session.\n", "Failed to call 'GET /disks'.\n",
                                        "Invalid RHV session.\n", "Failed to call 'start /vms/id'.\n"}));
}

// Every failure path, with both kinds of authentication: neither the password (in any
// form it travels in) nor a token may appear in a log line.
TEST(RHV_Client, no_secret_reaches_a_log_line)
{
  Engine_Fixture f;
  Log_Capture log(true);
  const int debug = ACE::debug();
  ACE::debug(true);

  for (const char* auth : {"basic", "oauth"}) {
    RHV_Client client;
    EXPECT_FALSE(f.login(client, auth, "wrong " + PASSWORD));
    ASSERT_TRUE(f.login(client, auth));
    RHV_VMs vms;
    EXPECT_TRUE(client.vm_service().list(vms, RHV_FOLLOW_DISK | RHV_FOLLOW_NICS));
    f.fault(Engine_Fault::error_status, "*", f.api("/vms/.*"), 1, 500);
    RHV_VM vm;
    EXPECT_FALSE(client.vm_service().get(VM_WEB1, vm));
    f.fault(Engine_Fault::close_connection, "*", ".*", -1);
    EXPECT_FALSE(client.vm_service().get(VM_WEB1, vm));
    f.engine().clear_faults();
    f.engine().expire_tokens();
    EXPECT_TRUE(client.vm_service().get(VM_WEB1, vm));
  }
  ACE::debug(debug != 0);

  const std::string credentials = USER + ":" + PASSWORD;
  const Base64_Encoder basic(credentials.data(), credentials.size(), false);
  std::vector<std::string> secrets = {PASSWORD, "Pa+ss%2fwo%2brd%25", "Pa+ss", basic.get()};
  for (const test_support::Engine_Request& r : f.engine().requests()) {
    const std::string auth = r.header("Authorization");
    if (auth.rfind("Bearer ", 0) == 0)
      secrets.push_back(auth.substr(7));
  }
  ASSERT_GT(secrets.size(), 4u);
  ASSERT_GT(log.texts().size(), 10u);
  for (const std::string& line : log.texts())
    for (const std::string& secret : secrets)
      EXPECT_EQ(line.find(secret), std::string::npos) << secret << " in: " << line;
}
