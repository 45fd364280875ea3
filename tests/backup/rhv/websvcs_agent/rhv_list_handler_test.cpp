// The inventory list handler as the web-service agent uses it: obtained through the
// module's factory, fed JSON-RPC messages over loopback channels, answering from the
// engine simulator's sample inventory.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/backup/rhv/websvcs_agent/inventory_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using namespace inventory_test;

const std::string HOST = HOST_UUID;

std::string with_host(const std::string& members)
{
  return "{\"uuid\":\"" + HOST + "\"" + (members.empty() ? "" : "," + members) + "}";
}

class List_Handler_Test : public ::testing::Test {
protected:
  // Declared before the handler: the handler's lines are captured until it is released.
  Log_Capture log_{true};
  Inventory_Fixture f_;
  Module_Handler handler_ = make_module_object<JSON_RPC_Handler>("_make_JSON_RPC_RHV_List_Handler");

  void TearDown() override
  {
    handler_.reset();
    // No line of any request may show the engine password, in clear or encrypted.
    EXPECT_EQ(log_.count(ENGINE_PASSWORD), 0u) << log_.dump();
    EXPECT_EQ(log_.count(f_.cipher()), 0u);
  }

  std::string call(const std::string& params_json) { return f_.call_text(*handler_, params_json); }
};

TEST_F(List_Handler_Test, requests_are_answered_from_the_inventory_or_with_the_error_of_their_step)
{
  using namespace sample_inventory;
  const std::string list_error = error_reply(-32603, "Failed to list RHV resource.");
  const struct {
    std::string params;
    std::string reply;
  } cases[] = {
      {with_host("\"subtype\":\"inventory\""),
       result_reply(std::string("[{\"name\":\"east\",\"moid\":\"") + DC_EAST_ID +
                    "\",\"has_children\":true,\"type\":\"Datacenter\"}]")},
      {with_host(std::string("\"subtype\":\"inventory\",\"type\":\"Datacenter\",\"moid\":\"") + DC_WEST_ID + "\""),
       result_reply(std::string("[{\"name\":\"west-prod\",\"moid\":\"") + CLUSTER_WEST_PROD_ID +
                    "\",\"data_center_id\":\"" + DC_WEST_ID + "\",\"type\":\"Cluster\",\"has_children\":true}]")},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Cluster\",\"view\":\"recovery\",\"moid\":\"x\""),
       result_reply(std::string("[{\"name\":\"east-prod\",\"moid\":\"") + CLUSTER_EAST_PROD_ID +
                    "\",\"data_center_id\":\"" + DC_EAST_ID + "\",\"type\":\"Cluster\"},{\"name\":\"east-dev\","
                    "\"moid\":\"" + CLUSTER_EAST_DEV_ID + "\",\"data_center_id\":\"" + DC_EAST_ID +
                    "\",\"type\":\"Cluster\"}]")},
      {with_host("\"subtype\":\"search\",\"search_type\":\"VirtualMachine\",\"search\":\"DB\""),
       result_reply(std::string("[{\"name\":\"db-01\",\"moid\":\"") + VM_DB_ID +
                    "\",\"status\":\"up\",\"has_children\":false,\"type\":\"VirtualMachine\"}]")},
      {with_host("\"subtype\":\"search\",\"search_type\":\"Cluster\",\"search\":\"dev\""),
       result_reply(std::string("[{\"name\":\"east-dev\",\"moid\":\"") + CLUSTER_EAST_DEV_ID +
                    "\",\"has_children\":false,\"type\":\"Cluster\"}]")},
      // Subtypes compare exactly; any other one answers [] after the login.
      {with_host("\"subtype\":\"Inventory\""), result_reply("[]")},
      {with_host("\"subtype\":\"\",\"type\":\"Datacenter\""), result_reply("[]")},
      {with_host(""), result_reply("[]")},
      // Unknown nodes, missing ids, types the view does not list.
      {with_host("\"subtype\":\"inventory\",\"type\":\"VirtualMachine\",\"moid\":\"no-such-vm\""), list_error},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Datacenter\",\"moid\":\"no-such-dc\""), list_error},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Datacenter\""), list_error},
      {with_host("\"subtype\":\"inventory\",\"type\":\"StorageDomain\""), list_error},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Galaxy\",\"view\":\"recovery\""), list_error},
      {with_host("\"subtype\":\"search\",\"search_type\":\"Datacenter\",\"search\":\"east\""),
       error_reply(-32603, "Failed to search RHV resource.")},
      // Params of the wrong type.
      {"[1,2]", error_reply(-32602, "Params is not Object")},
      {"\"inventory\"", error_reply(-32602, "Params is not Object")},
      {"7", error_reply(-32602, "Params is not Object")},
      // Members of the wrong type read as "".
      {"{}", error_reply(-32603, "Failed to get RHV host info .")},
      {"{\"uuid\":5,\"subtype\":\"inventory\"}", error_reply(-32603, "Failed to get RHV host info .")},
      {"{\"uuid\":\"unknown-host\"}", error_reply(-32603, "Failed to get RHV host info unknown-host.")},
      {with_host("\"subtype\":[\"inventory\"]"), result_reply("[]")},
      {with_host("\"subtype\":\"inventory\",\"type\":{\"a\":1},\"view\":false"),
       result_reply(std::string("[{\"name\":\"east\",\"moid\":\"") + DC_EAST_ID +
                    "\",\"has_children\":true,\"type\":\"Datacenter\"}]")},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Datacenter\",\"moid\":12"), list_error},
      {with_host("\"subtype\":\"search\",\"search_type\":\"VirtualMachine\",\"search\":null"),
       result_reply(std::string("[{\"name\":\"web-01\",\"moid\":\"") + VM_WEB_ID +
                    "\",\"status\":\"up\",\"has_children\":false,\"type\":\"VirtualMachine\"},"
                    "{\"name\":\"db-01\",\"moid\":\"" + VM_DB_ID +
                    "\",\"status\":\"up\",\"has_children\":false,\"type\":\"VirtualMachine\"},"
                    "{\"name\":\"app-02\",\"moid\":\"" + VM_APP_ID +
                    "\",\"status\":\"down\",\"has_children\":false,\"type\":\"VirtualMachine\"},"
                    "{\"name\":\"empty-01\",\"moid\":\"" + VM_EMPTY_ID +
                    "\",\"status\":\"down\",\"has_children\":false,\"type\":\"VirtualMachine\"}]")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(call(c.params), canon(c.reply)) << c.params;
}

TEST_F(List_Handler_Test, replies_echo_the_request_id)
{
  for (const char* id : {"1", "\"req-7\"", "null", "12345678901234"}) {
    json_spirit::Value reply = f_.call(*handler_, parse(with_host("\"subtype\":\"x\"")), parse(id));
    EXPECT_EQ(dump(reply), canon(result_reply("[]", id)));
  }
}

TEST_F(List_Handler_Test, host_record_and_login_failures)
{
  const struct {
    const char* what;
    std::function<void(json_spirit::Object&)> change;
    std::string reply;
  } cases[] = {
      {"password that does not decrypt",
       [](json_spirit::Object& r) { r["password"] = json_spirit::Value("bm90IGEgY2lwaGVy"); },
       error_reply(-32603, "Failed to get RHV host info " + HOST + ".")},
      {"no password", [](json_spirit::Object& r) { r.erase("password"); },
       error_reply(-32603, "Failed to get RHV host info " + HOST + ".")},
      {"record of the wrong shape", [](json_spirit::Object& r) { r["port"] = json_spirit::Value("eighty"); },
       error_reply(-32603, "Failed to get RHV host info " + HOST + ".")},
      {"wrong password",
       [](json_spirit::Object& r) { r["password"] = json_spirit::Value(rsa_encrypt_for_host("wrong")); },
       error_reply(-32602, "Failed to login RHV 127.0.0.1.")},
      {"engine down", [](json_spirit::Object& r) { r["port"] = json_spirit::Value(static_cast<int>(closed_port())); },
       error_reply(-32602, "Failed to login RHV 127.0.0.1.")},
      {"unknown auth type", [](json_spirit::Object& r) { r["auth_type"] = json_spirit::Value("kerberos"); },
       error_reply(-32602, "Failed to login RHV 127.0.0.1.")},
      {"wrong url prefix", [](json_spirit::Object& r) { r["url_prefix"] = json_spirit::Value("engine"); },
       error_reply(-32602, "Failed to login RHV 127.0.0.1.")},
      {"oauth", [](json_spirit::Object& r) { r["auth_type"] = json_spirit::Value("oauth"); }, result_reply("[]")},
  };
  for (const auto& c : cases) {
    json_spirit::Object record = f_.host_record();
    c.change(record);
    f_.serve_host(HOST, record);
    f_.take_request_lines();
    EXPECT_EQ(call(with_host("\"subtype\":\"none\"")), canon(c.reply)) << c.what;
    if (c.reply.find("host info") != std::string::npos) {
      EXPECT_TRUE(f_.take_request_lines().empty()) << c.what;
    }
  }
}

TEST_F(List_Handler_Test, messages_that_are_not_requests_get_no_reply)
{
  Test_Channel channel;
  handler_->handle(channel.weak(), JSON_RPC_Object_var(new JSON_RPC_Notify("rhev.list", parse(with_host("")))));
  JSON_RPC_Response* response = new JSON_RPC_Response(json_spirit::Value(3));
  handler_->handle(channel.weak(), JSON_RPC_Object_var(response));
  handler_.reset();  // waits for both
  EXPECT_TRUE(channel.sent().empty());
  std::vector<std::string> lines = log_.texts(LM_EMERGENCY);
  ASSERT_EQ(lines.size(), 2u) << log_.dump();
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("Unexpected error in backup/rhv/websvcs_agent/rhv_list_handler.cpp:", 0), 0u) << line;
    EXPECT_NE(line.find(", obj is not JSON-RPC request!\n"), std::string::npos) << line;
  }
  EXPECT_EQ(f_.queries(), 0u);
}

TEST_F(List_Handler_Test, node_ids_never_reach_another_resource)
{
  const std::string moid = std::string("../../datacenters/") + sample_inventory::DC_EAST_ID;
  EXPECT_EQ(call(with_host("\"subtype\":\"inventory\",\"type\":\"VirtualMachine\",\"moid\":\"" + moid + "\"")),
            canon(error_reply(-32603, "Failed to list RHV resource.")));
  for (const std::string& line : f_.take_request_lines())
    EXPECT_EQ(line.find("/datacenters/"), std::string::npos) << line;
}

TEST_F(List_Handler_Test, huge_params_get_an_answer)
{
  const std::string big(1 << 20, 'x');
  const std::string big_uuid = "{\"uuid\":\"" + big + "\"}";
  EXPECT_EQ(call(big_uuid), canon(error_reply(-32603, "Failed to get RHV host info " + big + ".")));

  const struct {
    std::string params;
    std::string reply;
  } cases[] = {
      {with_host("\"subtype\":\"inventory\",\"type\":\"VirtualMachine\",\"moid\":\"" + big + "\""),
       error_reply(-32603, "Failed to list RHV resource.")},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Cluster\",\"moid\":\"" + big + "\""), result_reply("[]")},
      {with_host("\"subtype\":\"search\",\"search_type\":\"VirtualMachine\",\"search\":\"" + big + "\""),
       error_reply(-32603, "Failed to search RHV resource.")},
      {with_host("\"subtype\":\"search\",\"search_type\":\"" + big + "\",\"search\":\"x\""),
       error_reply(-32603, "Failed to search RHV resource.")},
      {with_host("\"subtype\":\"" + big + "\",\"view\":\"" + big + "\""), result_reply("[]")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(call(c.params), canon(c.reply)) << c.params.substr(0, 120);
  for (const std::string& line : log_.texts())
    EXPECT_LT(line.size(), 4096u);
}

TEST_F(List_Handler_Test, concurrent_requests_each_get_their_own_answer)
{
  using namespace sample_inventory;
  const struct {
    std::string params;
    size_t nodes;  // or errors when 0
  } kinds[] = {
      {with_host("\"subtype\":\"inventory\""), 1},
      {with_host(std::string("\"subtype\":\"inventory\",\"type\":\"Cluster\",\"moid\":\"") + CLUSTER_EAST_PROD_ID + "\""), 2},
      {with_host(std::string("\"subtype\":\"inventory\",\"type\":\"VirtualMachine\",\"moid\":\"") + VM_DB_ID + "\""), 4},
      {with_host("\"subtype\":\"inventory\",\"type\":\"VnicProfiles\",\"view\":\"recovery\""), 3},
      {with_host("\"subtype\":\"search\",\"search_type\":\"VirtualMachine\",\"search\":\"0\""), 4},
      {with_host("\"subtype\":\"inventory\",\"type\":\"Datacenter\""), 0},
  };
  const size_t n = 48;
  Test_Channel channel;
  for (size_t i = 0; i < n; ++i)
    handler_->handle(channel.weak(), make_request(parse(kinds[i % 6].params), json_spirit::Value(static_cast<int>(i))));
  ASSERT_TRUE(channel.loopback->wait_for(n));
  std::vector<json_spirit::Value> replies = channel.sent();
  ASSERT_EQ(replies.size(), n);
  std::vector<bool> seen(n, false);
  for (const json_spirit::Value& reply : replies) {
    const json_spirit::Object& o = reply.get_obj();
    const size_t i = static_cast<size_t>(o.at("id").get_int64());
    ASSERT_LT(i, n);
    EXPECT_FALSE(seen[i]);
    seen[i] = true;
    const size_t expected = kinds[i % 6].nodes;
    if (expected == 0) {
      EXPECT_EQ(dump(reply), canon(error_reply(-32603, "Failed to list RHV resource.", std::to_string(i))));
    } else {
      ASSERT_EQ(o.count("result"), 1u) << dump(reply);
      EXPECT_EQ(o.at("result").get_array().size(), expected) << dump(reply);
    }
  }
  EXPECT_EQ(f_.queries(), n);
}

}  // namespace
