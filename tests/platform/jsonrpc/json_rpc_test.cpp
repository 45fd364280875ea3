#include <gtest/gtest.h>

#include <ace/Thread_Manager.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/global_json_rpc.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "tests/support/log_capture.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

Value parse(const std::string& text)
{
  Value v;
  std::string why;
  EXPECT_TRUE(json_spirit::parse(text, v, &why)) << why << ": " << text;
  return v;
}

std::string dump(const JSON_RPC_Object& o)
{
  return JSON_Dump(o.to_json()).str();
}

TEST(JSON_RPC_Object, TypesAndCodesHaveTheirWireValues)
{
  EXPECT_EQ(JSON_RPC_Object::TYPE_NONE, 0);
  EXPECT_EQ(JSON_RPC_Object::TYPE_NOTIFY, 1);
  EXPECT_EQ(JSON_RPC_Object::TYPE_REQUEST, 2);
  EXPECT_EQ(JSON_RPC_Object::TYPE_RESPONSE, 3);
  EXPECT_EQ(JSON_RPC_Object::TYPE_RESPONSE_ERROR, 4);
  EXPECT_EQ(JSON_RPC_E_PARSE_ERROR, -32700);
  EXPECT_EQ(JSON_RPC_E_INVALID_REQUEST, -32600);
  EXPECT_EQ(JSON_RPC_E_METHOD_NOT_FOUND, -32601);
  EXPECT_EQ(JSON_RPC_E_INVALID_PARAMS, -32602);
  EXPECT_EQ(JSON_RPC_E_INTERNAL_ERROR, -32603);
  EXPECT_EQ(JSON_RPC_E_SERVER_ERROR_FIRST, -32099);
  EXPECT_EQ(JSON_RPC_E_SERVER_ERROR_LAST, -32000);
}

TEST(JSON_RPC_Object, WireFormsRoundTrip)
{
  struct Case {
    const char* wire;
    JSON_RPC_Object::Type type;
    const char* canonical;  // the dump of what was read
  };
  const Case cases[] = {
      {R"({"jsonrpc":"2.0","method":"rhev.backup","params":{"vm_id":"v1"},"id":7})",
       JSON_RPC_Object::TYPE_REQUEST,
       R"({"id":7,"jsonrpc":"2.0","method":"rhev.backup","params":{"vm_id":"v1"}})"},
      {R"({"jsonrpc":"2.0","method":"tick"})", JSON_RPC_Object::TYPE_NOTIFY,
       R"({"jsonrpc":"2.0","method":"tick"})"},
      {R"({"jsonrpc":"2.0","result":{"code":0},"id":"a"})", JSON_RPC_Object::TYPE_RESPONSE,
       R"({"id":"a","jsonrpc":"2.0","result":{"code":0}})"},
      {R"({"jsonrpc":"2.0","error":{"code":-32602,"message":""},"id":3})",
       JSON_RPC_Object::TYPE_RESPONSE_ERROR,
       R"({"error":{"code":-32602,"message":""},"id":3,"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"x","data":[1]},"id":null})",
       JSON_RPC_Object::TYPE_RESPONSE_ERROR,
       R"({"error":{"code":-32603,"data":[1],"message":"x"},"id":null,"jsonrpc":"2.0"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    JSON_RPC_Object_var o = json_rpc_object_from_json(parse(c.wire));
    ASSERT_NE(o.get(), nullptr);
    EXPECT_EQ(o->type(), c.type);
    EXPECT_EQ(dump(*o.get()), c.canonical);
    EXPECT_EQ(JSON_RPC_Object_Dump(o, 0).str(), c.canonical);
    JSON_RPC_Object_var copy = json_rpc_object_clone(*o.get());
    EXPECT_EQ(dump(*copy.get()), c.canonical);
  }

  const char* bad[] = {"[1]", R"({"jsonrpc":"1.0","method":"m","id":1})",
                       R"({"method":5,"id":1})", R"({"id":1})",
                       R"({"error":{"message":"no code"},"id":1})",
                       R"({"error":{"code":1.5},"id":1})"};
  for (const char* b : bad) {
    std::string why;
    EXPECT_EQ(json_rpc_object_from_json(parse(b), &why).get(), nullptr) << b;
    EXPECT_FALSE(why.empty()) << b;
  }
}

TEST(JSON_RPC_Object, ResponseCarriesTheRequestId)
{
  JSON_RPC_Request req("m", Value(Object()), Value("id-9"));
  JSON_RPC_Response rsp(&req);
  EXPECT_EQ(rsp.id, Value("id-9"));
  EXPECT_TRUE(rsp.result.is_null());
  JSON_RPC_Response none(static_cast<const JSON_RPC_Request_Base*>(nullptr));
  EXPECT_TRUE(none.id.is_null());
}

TEST(JSON_RPC_Channel, LoopbackRecordsAndSendErrorWithoutMessage)
{
  Loopback_Channel ch;
  EXPECT_EQ(ch.send_error(-32602, Value(5), nullptr, Value::null), 0);
  JSON_RPC_Response rsp(Value(6));
  rsp.result = Value(Object{{"code", Value(0)}});
  EXPECT_EQ(ch.send(rsp), 0);
  ASSERT_EQ(ch.count(), 2u);
  std::vector<Value> wire = ch.sent_json();
  EXPECT_EQ(JSON_Dump(wire[0]).str(),
            R"({"error":{"code":-32602,"message":""},"id":5,"jsonrpc":"2.0"})");
  EXPECT_EQ(JSON_Dump(wire[1]).str(), R"({"id":6,"jsonrpc":"2.0","result":{"code":0}})");
  // What was recorded is a copy: changing the original afterwards changes nothing.
  rsp.result = Value(1);
  EXPECT_EQ(JSON_Dump(ch.sent_json()[1]).str(), R"({"id":6,"jsonrpc":"2.0","result":{"code":0}})");
}

TEST(JSON_RPC_Channel, StreamCarriesOneMessagePerLine)
{
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Stream_Channel a(sv[0], sv[0], true);
  Stream_Channel b(sv[1], sv[1], true);

  JSON_RPC_Request req("rhev.backup", Value(Object{{"text", Value("line\nbreak")}}), Value(1));
  ASSERT_EQ(a.send(req), 0);
  ASSERT_EQ(a.send_error(-32603, Value(2), "Internal error, out of memory.", Value::null), 0);
  // A line that is not a message is reported and skipped; the stream goes on.
  const char junk[] = "not json\n\n{\"jsonrpc\":\"2.0\",\"result\":true,\"id\":3}";
  ASSERT_EQ(::write(sv[0], junk, sizeof junk - 1), static_cast<ssize_t>(sizeof junk - 1));
  ::shutdown(sv[0], SHUT_WR);

  JSON_RPC_Object_var got;
  ASSERT_EQ(b.read(got), 1);
  ASSERT_EQ(got->type(), JSON_RPC_Object::TYPE_REQUEST);
  const JSON_RPC_Request& r = static_cast<const JSON_RPC_Request&>(*got.get());
  EXPECT_EQ(r.method, "rhev.backup");
  EXPECT_EQ(r.params.get_obj().at("text").get_str(), "line\nbreak");
  ASSERT_EQ(b.read(got), 1);
  ASSERT_EQ(got->type(), JSON_RPC_Object::TYPE_RESPONSE_ERROR);
  EXPECT_EQ(static_cast<const JSON_RPC_Response_Error&>(*got.get()).message,
            "Internal error, out of memory.");
  {
    Log_Capture log(true);
    EXPECT_EQ(b.read(got), -1);
    EXPECT_EQ(log.count("Invalid JSON-RPC message: "), 1u) << log.dump();
  }
  ASSERT_EQ(b.read(got), 1);  // the last line has no newline
  EXPECT_EQ(got->type(), JSON_RPC_Object::TYPE_RESPONSE);
  EXPECT_EQ(b.read(got), 0);
}

class Echo_Thread_Handler : public JSON_RPC_Thread_Handler {
public:
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> calls{0};
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> other_thread{false};

  ~Echo_Thread_Handler() override { wait_idle(); }

  int handle_object_i(JSON_RPC_Channel_var channel, JSON_RPC_Object_var obj) override
  {
    other_thread = std::this_thread::get_id() != caller;
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [this] { return release; });
    }
    ++calls;
    JSON_RPC_Response rsp(static_cast<const JSON_RPC_Request_Base*>(obj.get()));
    rsp.result = Value("done");
    return channel->send(rsp);
  }
};

TEST(JSON_RPC_Thread_Handler, HandlesOnItsOwnThreadAndKeepsTheChannel)
{
  Echo_Thread_Handler handler;
  JSON_RPC_Object_var req(new JSON_RPC_Request("m", Value(Object()), Value(1)));
  std::mutex sent_mutex;
  std::vector<std::string> sent;
  JSON_RPC_Channel_var channel(new Loopback_Channel([&](const JSON_RPC_Object_var& o) {
    std::lock_guard<std::mutex> lock(sent_mutex);
    sent.push_back(JSON_RPC_Object_Dump(o).str());
  }));
  EXPECT_EQ(handler.handle(JSON_RPC_Channel_Weak_var(channel), req), 0);
  // The host lets go of the channel at once; the handler's thread still holds it.
  channel = JSON_RPC_Channel_var();
  {
    std::lock_guard<std::mutex> lock(handler.m);
    handler.release = true;
  }
  handler.cv.notify_all();
  handler.wait_idle();
  EXPECT_EQ(handler.calls.load(), 1);
  EXPECT_TRUE(handler.other_thread.load());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], R"({"id":1,"jsonrpc":"2.0","result":"done"})");

  // A requester that has gone gets nothing and no thread is started.
  JSON_RPC_Channel_Weak_var gone;
  {
    JSON_RPC_Channel_var tmp(new Loopback_Channel());
    gone = tmp;
  }
  EXPECT_EQ(handler.handle(gone, req), -1);
  EXPECT_EQ(handler.calls.load(), 1);
  ACE_Thread_Manager::instance()->wait();  // the detached threads have left ACE's books
}

TEST(JSON_RPC_Handler, BaseAnswersMethodNotFound)
{
  JSON_RPC_Handler handler;
  JSON_RPC_Channel_var channel(new Loopback_Channel());
  JSON_RPC_Object_var req(new JSON_RPC_Request("nope", Value(), Value(4)));
  EXPECT_EQ(handler.handle(JSON_RPC_Channel_Weak_var(channel), req), 0);
  Loopback_Channel* loop = static_cast<Loopback_Channel*>(channel.get());
  ASSERT_EQ(loop->count(), 1u);
  EXPECT_EQ(JSON_Dump(loop->sent_json()[0]).str(),
            R"({"error":{"code":-32601,"message":"Method not found."},"id":4,"jsonrpc":"2.0"})");
}

TEST(Global_JSON_RPC, RegistryChecksTheResultType)
{
  register_global_json_rpc("test.query", [](const Value& params, Value& result) {
    const Object& p = params.get_obj();
    if (p.at("uuid").get_str() == "bad") {
      result = Value("no such host");
      return false;
    }
    result = Value(Object{{"uuid", p.at("uuid")}, {"port", Value(443)}});
    return true;
  });
  Value result;
  Object params{{"uuid", Value("h-1")}};
  EXPECT_TRUE(global_json_rpc("test.query", Value(params), 1, &result, json_spirit::obj_type, -1));
  EXPECT_EQ(JSON_Dump(result).str(), R"({"port":443,"uuid":"h-1"})");

  Log_Capture log(true);
  Value untouched(5);
  EXPECT_FALSE(
      global_json_rpc("test.query", Value(params), 1, &untouched, json_spirit::array_type, -1));
  EXPECT_EQ(untouched, Value(5));
  EXPECT_FALSE(global_json_rpc("test.query", Value(Object{{"uuid", Value("bad")}}), 1,
                               &untouched, json_spirit::obj_type, -1));
  unregister_global_json_rpc("test.query");
  EXPECT_FALSE(global_json_rpc("test.query", Value(params), 1, &untouched, json_spirit::obj_type, -1));
  EXPECT_EQ(log.texts(LM_ERROR).size(), 3u) << log.dump();
  EXPECT_TRUE(log.contains("JSON-RPC method 'test.query' is not served.\n"));
}

}  // namespace
