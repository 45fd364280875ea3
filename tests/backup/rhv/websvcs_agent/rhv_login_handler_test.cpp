// The login-test handler as the console uses it: obtained through the module's factory,
// its requests queued on the host's JSON-RPC thread pool, logging in to the engine
// simulator with the settings each request carries.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/jsonrpc/thread_pool.h"
#include "tests/backup/rhv/websvcs_agent/inventory_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using namespace inventory_test;
using json_spirit::Object;
using json_spirit::Value;

const std::string STATUS_TRUE = result_reply("{\"status\":true}");
const std::string STATUS_FALSE = result_reply("{\"status\":false}");
const std::string INVALID_PARAMS = error_reply(-32602, "Invalid params.");
const std::string LOGIN_FAILED = error_reply(-32602, "Failed to login RHV '127.0.0.1'.");

class Login_Handler_Test : public ::testing::Test {
protected:
  explicit Login_Handler_Test(bool load_sample = true) : f_(load_sample)
  {
    EXPECT_EQ(JSON_RPC_Thread_Pool::instance()->open(4), 0);
    handler_ = make_module_object<JSON_RPC_Handler>("_make_JSON_RPC_RHV_Login_Handler");
  }

  ~Login_Handler_Test() override
  {
    handler_.reset();
    JSON_RPC_Thread_Pool::instance()->close();
  }

  void TearDown() override
  {
    handler_.reset();
    // No line may show the password, in clear or encrypted.
    EXPECT_EQ(log_.count(ENGINE_PASSWORD), 0u) << log_.dump();
    EXPECT_EQ(log_.count(f_.cipher()), 0u) << log_.dump();
  }

  // Settings that log in to the simulator.
  Object settings()
  {
    Object p;
    json_spirit::insert(p)("host", "127.0.0.1")("username", ENGINE_USER)("url_prefix", "")("auth_type", "basic")(
        "password", f_.cipher())("port", static_cast<int>(f_.engine().port()))("ssl", false);
    return p;
  }

  std::string call(const Value& params) { return dump(f_.call(*handler_, params)); }

  Log_Capture log_{true};
  Inventory_Fixture f_;
  Module_Handler handler_;
};

class Login_Handler_Empty_Engine_Test : public Login_Handler_Test {
protected:
  Login_Handler_Empty_Engine_Test() : Login_Handler_Test(false) {}
};

TEST_F(Login_Handler_Test, settings_are_checked_in_order_and_only_valid_ones_reach_the_engine)
{
  const std::string cipher = f_.cipher();
  const struct {
    const char* what;
    std::function<void(Object&)> change;
    std::string reply;
    bool engine_contacted;
  } cases[] = {
      {"valid", [](Object&) {}, STATUS_TRUE, true},
      {"url_prefix missing", [](Object& p) { p.erase("url_prefix"); }, STATUS_TRUE, true},
      {"url_prefix of another type", [](Object& p) { p["url_prefix"] = Value(5); }, STATUS_TRUE, true},
      {"url_prefix given", [](Object& p) { p["url_prefix"] = Value("ovirt-engine"); }, STATUS_TRUE, true},
      {"oauth", [](Object& p) { p["auth_type"] = Value("oauth"); }, STATUS_TRUE, true},
      {"extra member", [](Object& p) { p["note"] = Value("ignored"); }, STATUS_TRUE, true},
      {"host missing", [](Object& p) { p.erase("host"); }, INVALID_PARAMS, false},
      {"username missing", [](Object& p) { p.erase("username"); }, INVALID_PARAMS, false},
      {"auth_type missing", [](Object& p) { p.erase("auth_type"); }, INVALID_PARAMS, false},
      {"password missing", [](Object& p) { p.erase("password"); }, INVALID_PARAMS, false},
      {"port missing", [](Object& p) { p.erase("port"); }, INVALID_PARAMS, false},
      {"ssl missing", [](Object& p) { p.erase("ssl"); }, INVALID_PARAMS, false},
      {"host a number", [](Object& p) { p["host"] = Value(127); }, INVALID_PARAMS, false},
      {"username null", [](Object& p) { p["username"] = Value(); }, INVALID_PARAMS, false},
      {"password an object", [](Object& p) { p["password"] = Value(Object()); }, INVALID_PARAMS, false},
      {"port a text", [&](Object& p) { p["port"] = Value(std::to_string(f_.engine().port())); }, INVALID_PARAMS, false},
      {"port negative", [](Object& p) { p["port"] = Value(-1); }, INVALID_PARAMS, false},
      {"port a real", [](Object& p) { p["port"] = Value(80.5); }, INVALID_PARAMS, false},
      {"ssl a text", [](Object& p) { p["ssl"] = Value("false"); }, INVALID_PARAMS, false},
      {"password not encrypted", [](Object& p) { p["password"] = Value(ENGINE_PASSWORD); },
       error_reply(-32602, "Failed to decrypt password."), false},
      {"password empty", [](Object& p) { p["password"] = Value(""); }, error_reply(-32602, "Failed to decrypt password."),
       false},
      {"wrong password", [](Object& p) { p["password"] = Value(rsa_encrypt_for_host("wrong")); }, LOGIN_FAILED, true},
      {"wrong user", [](Object& p) { p["username"] = Value("nobody@internal"); }, LOGIN_FAILED, true},
      {"unknown auth type", [](Object& p) { p["auth_type"] = Value("kerberos"); }, LOGIN_FAILED, false},
      {"wrong url prefix", [](Object& p) { p["url_prefix"] = Value("engine"); }, LOGIN_FAILED, true},
      {"engine down", [](Object& p) { p["port"] = Value(static_cast<int>(closed_port())); }, LOGIN_FAILED, false},
      {"TLS to a plain engine", [](Object& p) { p["ssl"] = Value(true); }, LOGIN_FAILED, false},
      // The port is narrowed to 16 bits: 65536 + port is the engine's port.
      {"port beyond 16 bits", [&](Object& p) { p["port"] = Value(65536 + static_cast<int>(f_.engine().port())); },
       STATUS_TRUE, true},
  };
  for (const auto& c : cases) {
    Object params = settings();
    c.change(params);
    f_.take_request_lines();
    EXPECT_EQ(call(Value(params)), canon(c.reply)) << c.what;
    std::vector<std::string> lines = f_.take_request_lines();
    EXPECT_EQ(!lines.empty(), c.engine_contacted) << c.what;
    if (c.reply == STATUS_TRUE) {
      // Logged in under the simulator's prefix, then the data centers were listed.
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.front(), "GET /ovirt-engine/api") << c.what;
      EXPECT_EQ(lines.back(), "GET /ovirt-engine/api/datacenters") << c.what;
    }
  }
}

TEST_F(Login_Handler_Test, params_that_are_not_an_object)
{
  for (const char* params : {"[]", "[{\"host\":\"127.0.0.1\"}]", "\"127.0.0.1\"", "8443", "true", "null"})
    EXPECT_EQ(call(parse(params)), canon(error_reply(-32602, "Invalid request type."))) << params;
  EXPECT_TRUE(f_.take_request_lines().empty());
}

TEST_F(Login_Handler_Test, a_failed_data_center_list_answers_false)
{
  test_support::Engine_Fault fault;
  fault.path = f_.engine().api_path("/datacenters");
  fault.count = -1;
  f_.engine().add_fault(fault);
  EXPECT_EQ(call(Value(settings())), canon(STATUS_FALSE));
  EXPECT_EQ(log_.texts(LM_ERROR).back(), "Failed to get RHV data centers of '127.0.0.1'.\n");
}

TEST_F(Login_Handler_Empty_Engine_Test, a_user_who_sees_no_data_center_gets_false)
{
  EXPECT_EQ(call(Value(settings())), canon(STATUS_FALSE));
  EXPECT_EQ(log_.texts(LM_ERROR), (std::vector<std::string>{"Failed to get RHV data centers of '127.0.0.1'.\n"}));
}

TEST_F(Login_Handler_Test, a_requester_that_has_gone_gets_nothing)
{
  JSON_RPC_Channel_Weak_var weak;
  {
    Test_Channel channel;
    weak = channel.weak();
  }
  handler_->handle(weak, make_request(Value(settings()), Value(1)));
  handler_.reset();  // waits for the queued request
  EXPECT_EQ(log_.texts(LM_ERROR), (std::vector<std::string>{"Abort handling JSON-RPC request, requester has gone.\n"}));
  EXPECT_TRUE(f_.take_request_lines().empty());
}

TEST_F(Login_Handler_Test, a_request_that_cannot_be_queued_is_logged_masked_and_not_answered)
{
  JSON_RPC_Thread_Pool::instance()->close();
  Test_Channel channel;
  EXPECT_EQ(handler_->handle(channel.weak(), make_request(Value(settings()), Value("q-1"), "rhev.login")), 0);
  handler_.reset();
  EXPECT_TRUE(channel.sent().empty());
  EXPECT_TRUE(f_.take_request_lines().empty());
  std::vector<std::string> errors = log_.texts(LM_ERROR);
  ASSERT_EQ(errors.size(), 1u) << log_.dump();
  EXPECT_EQ(errors[0].rfind("Failed to schedule handling of JSON-RPC {", 0), 0u) << errors[0];
  EXPECT_NE(errors[0].find("\"password\":\"******\""), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("\"method\":\"rhev.login\""), std::string::npos) << errors[0];
  EXPECT_EQ(errors[0].find(f_.cipher()), std::string::npos);
}

TEST_F(Login_Handler_Test, notifications_and_replies_get_no_reply)
{
  Test_Channel channel;
  handler_->handle(channel.weak(), JSON_RPC_Object_var(new JSON_RPC_Notify("rhev.login", Value(settings()))));
  handler_->handle(channel.weak(), JSON_RPC_Object_var(new JSON_RPC_Response(Value(1))));
  handler_.reset();
  EXPECT_TRUE(channel.sent().empty());
  EXPECT_TRUE(f_.take_request_lines().empty());
}

TEST_F(Login_Handler_Test, concurrent_tests_each_get_their_own_answer)
{
  const size_t n = 32;
  Test_Channel channel;
  const std::string wrong = rsa_encrypt_for_host("wrong");
  for (size_t i = 0; i < n; ++i) {
    Object params = settings();
    if (i % 4 == 3)
      params["password"] = Value(wrong);
    handler_->handle(channel.weak(), make_request(Value(params), Value(static_cast<int>(i))));
  }
  ASSERT_TRUE(channel.loopback->wait_for(n));
  std::vector<Value> replies = channel.sent();
  ASSERT_EQ(replies.size(), n);
  std::vector<int> seen(n, 0);
  for (const Value& reply : replies) {
    const size_t i = static_cast<size_t>(reply.get_obj().at("id").get_int64());
    ASSERT_LT(i, n);
    ++seen[i];
    const std::string id = std::to_string(i);
    EXPECT_EQ(dump(reply), canon(i % 4 == 3 ? error_reply(-32602, "Failed to login RHV '127.0.0.1'.", id)
                                            : result_reply("{\"status\":true}", id)));
  }
  EXPECT_EQ(seen, std::vector<int>(n, 1));
}

TEST_F(Login_Handler_Test, huge_settings_get_an_answer)
{
  const std::string big(1 << 20, 'h');
  const struct {
    const char* key;
    std::string reply;
  } cases[] = {
      {"username", LOGIN_FAILED},
      {"url_prefix", LOGIN_FAILED},
      {"auth_type", LOGIN_FAILED},
      {"password", error_reply(-32602, "Failed to decrypt password.")},
  };
  for (const auto& c : cases) {
    Object params = settings();
    params[c.key] = Value(big);
    EXPECT_EQ(call(Value(params)), canon(c.reply)) << c.key;
  }
  for (const std::string& line : log_.texts())
    EXPECT_LT(line.size(), 4096u);
}

}  // namespace
