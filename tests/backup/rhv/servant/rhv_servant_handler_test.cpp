// The servant handlers and the worker base: replies to bad requests, the exported
// factories, what init() needs (activity, login, progress file) and the reply a worker
// gives when it cannot start, and the job states that cancel a worker.

#include "backup/rhv/servant/rhv_servant_handler.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "backup/rhv/job/rhv_restore_params.h"
#include "backup/rhv/servant/rhv_agent_backup.h"
#include "backup/rhv/servant/rhv_servant_export.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/json/json_dump.h"
#include "tests/support/engine_simulator_servant.h"
#include "tests/support/log_capture.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using test_support::Servant_Test_Bed;

namespace {

std::string dump(const json_spirit::Value& v)
{
  return JSON_Dump(v).str();
}

const JSON_RPC_Response_Error* as_error(const JSON_RPC_Object_var& reply)
{
  return reply.get() != nullptr && reply->type() == JSON_RPC_Object::TYPE_RESPONSE_ERROR
             ? static_cast<const JSON_RPC_Response_Error*>(reply.get())
             : nullptr;
}

const json_spirit::Object* as_result(const JSON_RPC_Object_var& reply)
{
  if (reply.get() == nullptr || reply->type() != JSON_RPC_Object::TYPE_RESPONSE)
    return nullptr;
  const json_spirit::Value& result = static_cast<const JSON_RPC_Response*>(reply.get())->result;
  return result.type() == json_spirit::obj_type ? &result.get_obj() : nullptr;
}

TEST(RHV_Servant_Handler, bad_requests_get_the_error_of_their_kind)
{
  Servant_Test_Bed bed;
  RHV_Backup_Servant_Handler backup;
  RHV_Restore_Servant_Handler restore;
  json_spirit::Object backup_params = bed.backup_params("def-h", inv::VM_WEB_ID).dump();
  json_spirit::Object unloadable = backup_params;
  unloadable.erase("catalog");

  struct Row {
    const char* name;
    JSON_RPC_Handler& handler;
    const char* method;
    json_spirit::Value params;
    int code;
    const char* message;
  };
  const std::vector<Row> rows = {
    {"backup, params an array", backup, "rhev.backup", json_spirit::Value(json_spirit::Array()), -32602,
     "Invalid params: params type must be object."},
    {"restore, params a text", restore, "rhev.restore", json_spirit::Value("x"), -32602,
     "Invalid params: params type must be object."},
    {"backup, params that do not load", backup, "rhev.backup", json_spirit::Value(unloadable), -32602, ""},
    {"restore, params that do not load", restore, "rhev.restore", json_spirit::Value(backup_params), -32603, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Log_Capture log(true);
    int rc = -2;
    JSON_RPC_Object_var reply = bed.call(row.handler, row.method, row.params, &rc);
    const JSON_RPC_Response_Error* error = as_error(reply);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(error->code, row.code);
    EXPECT_EQ(error->message, row.message);
    EXPECT_EQ(dump(error->id), "42");
  }
  // No worker ran: nothing was attempted on the engine.
  EXPECT_EQ(bed.engine().count_requests("*", ".*"), 0u);
  EXPECT_TRUE(bed.alerts().empty());
}

TEST(RHV_Servant_Handler, gone_requesters_and_other_messages_get_no_reply)
{
  Servant_Test_Bed bed;
  RHV_Backup_Servant_Handler handler;

  Log_Capture log(true);
  JSON_RPC_Channel_Weak_var gone;
  {
    JSON_RPC_Channel_var channel(new Loopback_Channel());
    gone = JSON_RPC_Channel_Weak_var(channel);
  }
  JSON_RPC_Object_var request(new JSON_RPC_Request("rhev.backup", json_spirit::Value(json_spirit::Object()),
                                                   json_spirit::Value(1)));
  EXPECT_EQ(handler.handle_object(gone, request), -1);
  EXPECT_EQ(log.texts(LM_ERROR), (std::vector<std::string>{"Abort handling JSON-RPC request, requester has gone.\n"}));

  log.clear();
  Loopback_Channel* raw = new Loopback_Channel();
  JSON_RPC_Channel_var channel(raw);
  JSON_RPC_Object_var notify(new JSON_RPC_Notify("rhev.backup", json_spirit::Value(json_spirit::Object())));
  EXPECT_EQ(handler.handle_object(JSON_RPC_Channel_Weak_var(channel), notify), -1);
  EXPECT_EQ(raw->count(), 0u);
  std::vector<Log_Capture::Line> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].priority, LM_EMERGENCY);
  EXPECT_EQ(lines[0].text.rfind("Unexpected error in backup/rhv/servant/rhv_servant_handler.cpp:", 0), 0u);
  EXPECT_NE(lines[0].text.find(", obj is not JSON-RPC request!\n"), std::string::npos) << lines[0].text;
}

TEST(RHV_Servant_Handler, factories_hand_out_working_handlers_with_their_destroyers)
{
  void* module = ::dlopen(RHV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << ::dlerror();
  for (const char* name : {"_make_RHV_Backup_Servant_Handler", "_make_RHV_Restore_Servant_Handler"}) {
    SCOPED_TRACE(name);
    typedef JSON_RPC_Handler* (*Factory)(Gobble_Function*);
    Factory factory = reinterpret_cast<Factory>(::dlsym(module, name));
    ASSERT_NE(factory, nullptr);
    Gobble_Function gobble = nullptr;
    JSON_RPC_Handler* handler = factory(&gobble);
    ASSERT_NE(handler, nullptr);
    ASSERT_NE(gobble, nullptr);
    EXPECT_EQ(handler->init(0, nullptr), 0);

    Loopback_Channel* raw = new Loopback_Channel();
    JSON_RPC_Channel_var channel(raw);
    JSON_RPC_Object_var request(
        new JSON_RPC_Request("x", json_spirit::Value(json_spirit::Array()), json_spirit::Value(5)));
    EXPECT_EQ(handler->handle_object(JSON_RPC_Channel_Weak_var(channel), request), 0);
    ASSERT_EQ(raw->count(), 1u);
    EXPECT_EQ(dump(raw->sent_json()[0]),
              R"({"error":{"code":-32602,"message":"Invalid params: params type must be object."},)"
              R"("id":5,"jsonrpc":"2.0"})");
    handler->fini();
    gobble(handler);
    gobble(nullptr);  // a null object is ignored

    // Without a destroyer slot the handler still comes.
    JSON_RPC_Handler* bare = factory(nullptr);
    ASSERT_NE(bare, nullptr);
    gobble(bare);
  }
}

// A restore whose job files are missing fails before it asks anything of the engine, and
// still names its VM in the reply.
TEST(RHV_Servant_Handler, a_restore_without_its_job_files_fails_before_touching_the_engine)
{
  Servant_Test_Bed bed;
  RHV_Restore_Params params;
  static_cast<RHV_Params&>(params) = bed.backup_params("def-r", inv::VM_WEB_ID);
  params.catalog_uuid = "set-1";
  RHV_Restore_Servant_Handler handler;
  Log_Capture log(true);
  JSON_RPC_Object_var reply = bed.call(handler, "rhev.restore", json_spirit::Value(params.dump()));
  const json_spirit::Object* result = as_result(reply);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->at("code").get_int64(), 1);
  EXPECT_EQ(result->at("vm_id").get_str(), inv::VM_WEB_ID);
  EXPECT_EQ(result->at("vm_name").get_str(), "web-01");
  for (const char* key : {"storage_size", "set_size", "source_size"})
    EXPECT_EQ(result->at(key).get_uint64(), 0u) << key;
  EXPECT_TRUE(log.contains("Failed to restore RHV vm.\n"));
  EXPECT_EQ(bed.engine().count_requests("*", ".*"), 0u);
}

// The reply of a backup that could not start, and what it left.
TEST(RHV_VM_Base, a_worker_that_cannot_start_replies_failure_with_the_task_vm)
{
  struct Row {
    const char* name;
    std::function<void(Servant_Test_Bed&, RHV_Backup_Params&)> setup;
    std::string error;  // a line the failure logs
    std::vector<std::string> alerts;
  };
  const std::vector<Row> rows = {
    {"no job activity",
     [](Servant_Test_Bed&, RHV_Backup_Params& p) { p.def_id = "def-without-files"; },
     "Failed to open job activity def-without-files.\n", {}},
    {"wrong password", [](Servant_Test_Bed&, RHV_Backup_Params& p) { p.host_info.password = "wrong"; },
     "admin@internal failed to login RHV 127.0.0.1:", {}},
    {"no progress file", [](Servant_Test_Bed&, RHV_Backup_Params& p) { p.vm_id = inv::VM_DB_ID; },
     "Failed to start progress reporter: unable to open shared memory 'def-b' for VM '" + std::string(inv::VM_DB_ID) +
         "'.\n",
     {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Servant_Test_Bed bed;
    RHV_Backup_Params params = bed.backup_params("def-b", inv::VM_WEB_ID);
    ASSERT_TRUE(bed.make_job_files("def-b", inv::VM_WEB_ID));
    row.setup(bed, params);
    RHV_Backup_Servant_Handler handler;
    Log_Capture log(true);
    JSON_RPC_Object_var reply = bed.call(handler, "rhev.backup", json_spirit::Value(params.dump()));
    const json_spirit::Object* result = as_result(reply);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->at("code").get_int64(), 1);
    // The VM is named as the task names it, though it was never fetched.
    EXPECT_EQ(result->at("vm_id").get_str(), params.vm_id);
    EXPECT_EQ(result->at("vm_name").get_str(), params.vm_name);
    EXPECT_EQ(result->at("data_center_id").get_str(), params.data_center_id);
    // Without a progress record the worker had not started: start 0, end now.
    EXPECT_EQ(result->at("start_time").get_int64(), 0);
    EXPECT_GT(result->at("end_time").get_int64(), 1700000000);
    EXPECT_TRUE(log.contains(row.error)) << log.dump();
    EXPECT_TRUE(log.contains("Failed to backup vm.\n"));
    // Nothing was changed: the job's progress record of the VM is still pending.
    EXPECT_EQ(bed.progress("def-b", inv::VM_WEB_ID).state, 0);
    EXPECT_EQ(bed.engine().snapshots().size(), 0u);
    if (std::string(row.name) == "wrong password")
      EXPECT_EQ(bed.alert_lines(), (std::vector<std::string>{"7/1 [\"admin@internal\",\"127.0.0.1\"," +
                                                             std::to_string(bed.engine().port()) + "]"}));
    else
      EXPECT_TRUE(bed.alert_lines().empty());
  }
}

// A worker that only starts: init() and the cancel test.
class Started_Backup : public RHV_Agent_Backup {
public:
  bool execute(json_spirit::Value&) override { return init(); }
  const RHV_VM& vm() const { return vm_; }
  time_t start_time() const { return start_time_; }
};

TEST(RHV_VM_Base, init_marks_the_vm_running_and_the_job_state_cancels)
{
  Servant_Test_Bed bed;
  RHV_Backup_Params params = bed.backup_params("def-c", inv::VM_WEB_ID);
  ASSERT_TRUE(bed.make_job_files("def-c", inv::VM_WEB_ID));
  Started_Backup worker;
  ASSERT_TRUE(worker.load(params.dump()));
  EXPECT_FALSE(worker.is_canceled());  // nothing open yet
  json_spirit::Value unused;
  ASSERT_TRUE(worker.execute(unused));

  test_support::Progress_Snapshot progress = bed.progress("def-c", inv::VM_WEB_ID);
  EXPECT_EQ(progress.state, 1);
  EXPECT_EQ(progress.start_time, static_cast<int64_t>(worker.start_time()));
  EXPECT_EQ(worker.vm().name, "web-01");
  EXPECT_EQ(worker.vm().nics.size(), 2u);  // fetched with its NICs

  const std::vector<std::pair<int, bool>> states = {{3, false}, {4, false}, {7, false}, {8, true},
                                                    {9, true},  {10, false}, {20, true}};
  for (const auto& s : states) {
    bed.activity()->state = s.first;
    EXPECT_EQ(worker.is_canceled(), s.second) << s.first;
  }
}

}  // namespace
