#include "backup/json_rpc/json_rpc_thread_pool_handler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/jsonrpc/thread_pool.h"
#include "tests/support/log_capture.h"

using json_spirit::Object;
using json_spirit::Value;

namespace {

// Answers each request with {"status": true} and notes where it ran.
class Status_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
public:
  Status_Handler() : JSON_RPC_Thread_Pool_Handler_Impl(0) {}
  // A handler with overrides of its own waits before its parts go.
  ~Status_Handler() override { wait_idle(); }

  std::atomic<int> requests{0};
  std::atomic<int> without_channel{0};
  std::atomic<bool> on_caller_thread{false};
  std::thread::id caller = std::this_thread::get_id();

  int handle_request(JSON_RPC_Channel* channel, JSON_RPC_Request& request) override
  {
    ++requests;
    if (std::this_thread::get_id() == caller)
      on_caller_thread = true;
    if (channel == nullptr) {
      ++without_channel;
      return -1;
    }
    JSON_RPC_Response rsp(&request);
    rsp.result = Value(Object{{"status", Value(true)}});
    return channel->send(rsp);
  }
};

JSON_RPC_Object_var login_request(int id)
{
  Object params{{"host", Value("engine.example")},
                {"username", Value("admin@internal")},
                {"password", Value("Q2lwaGVydGV4dE9mVGhlUGFzc3dvcmQ=")},
                {"port", Value(443)},
                {"nested", Value(Object{{"password", Value("inner-secret")}})}};
  return JSON_RPC_Object_var(new JSON_RPC_Request("rhev.login", Value(params), Value(id)));
}

TEST(JSON_RPC_Thread_Pool_Handler, UnqueuedRequestIsLoggedWithItsPasswordMasked)
{
  // A pool that exists but has no worker thread.
  JSON_RPC_Thread_Pool* tp = JSON_RPC_Thread_Pool::instance();
  ASSERT_FALSE(tp->pool_);
  tp->pool_.reset(new Thread_Pool_Helper());

  Status_Handler handler;
  JSON_RPC_Channel_var channel(new Loopback_Channel());
  Log_Capture log(true);
  EXPECT_EQ(handler.handle(JSON_RPC_Channel_Weak_var(channel), login_request(1)), 0);
  tp->pool_.reset();

  EXPECT_EQ(
      log.texts(LM_ERROR),
      (std::vector<std::string>{
          "No active worker thread!\n",
          "Failed to schedule handling of JSON-RPC "
          R"({"id":1,"jsonrpc":"2.0","method":"rhev.login","params":{"host":"engine.example",)"
          R"("nested":{"password":"******"},"password":"******","port":443,)"
          R"("username":"admin@internal"}})"
          " into thread pool queue.\n"}));
  EXPECT_FALSE(log.contains("Q2lwaGVydGV4dE9mVGhlUGFzc3dvcmQ="));
  EXPECT_FALSE(log.contains("inner-secret"));
  // No reply goes to the peer, and the handler never ran.
  EXPECT_EQ(static_cast<Loopback_Channel*>(channel.get())->count(), 0u);
  EXPECT_EQ(handler.requests.load(), 0);
}

TEST(JSON_RPC_Thread_Pool_Handler, NoPoolAtAllIsAlsoLogged)
{
  Status_Handler handler;
  JSON_RPC_Channel_var channel(new Loopback_Channel());
  Log_Capture log(true);
  EXPECT_EQ(handler.handle(JSON_RPC_Channel_Weak_var(channel), login_request(2)), 0);
  EXPECT_EQ(log.count("pool_ is NULL:\n"), 1u) << log.dump();
  EXPECT_EQ(log.count("Failed to schedule handling of JSON-RPC "), 1u);
}

TEST(JSON_RPC_Thread_Pool_Handler, RequestsRunOnPoolThreads)
{
  JSON_RPC_Thread_Pool* tp = JSON_RPC_Thread_Pool::instance();
  ASSERT_EQ(tp->open(3), 0);
  {
    Status_Handler handler;
    JSON_RPC_Channel_var channel(new Loopback_Channel());
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(handler.handle(JSON_RPC_Channel_Weak_var(channel), login_request(i)), 0);

    // A request whose requester has gone reaches the handler without a channel.
    JSON_RPC_Channel_Weak_var gone;
    {
      JSON_RPC_Channel_var tmp(new Loopback_Channel());
      gone = tmp;
    }
    EXPECT_EQ(handler.handle(gone, login_request(99)), 0);

    Loopback_Channel* loop = static_cast<Loopback_Channel*>(channel.get());
    ASSERT_TRUE(loop->wait_for(20));
    std::vector<std::string> replies;
    for (const Value& v : loop->sent_json())
      replies.push_back(JSON_Dump(v).str());
    for (int i = 0; i < 20; ++i) {
      std::string r = R"({"id":)" + std::to_string(i) + R"(,"jsonrpc":"2.0","result":{"status":true}})";
      EXPECT_EQ(std::count(replies.begin(), replies.end(), r), 1) << r;
    }
    // The handler's destructor waits for what is still queued or running.
  }
  EXPECT_EQ(tp->close(), 0);
}

TEST(JSON_RPC_Thread_Pool_Handler, ReleasedHandlerWaitsForItsQueuedRequests)
{
  JSON_RPC_Thread_Pool* tp = JSON_RPC_Thread_Pool::instance();
  ASSERT_EQ(tp->open(1), 0);
  std::atomic<int> handled{0};
  JSON_RPC_Channel_var channel(new Loopback_Channel());
  {
    Status_Handler* handler = new Status_Handler();
    for (int i = 0; i < 50; ++i)
      handler->handle(JSON_RPC_Channel_Weak_var(channel), login_request(i));
    delete handler;  // must not return before the 50 requests are done with it
    handled = static_cast<int>(static_cast<Loopback_Channel*>(channel.get())->count());
  }
  EXPECT_EQ(handled.load(), 50);
  EXPECT_EQ(tp->close(), 0);
}

}  // namespace
