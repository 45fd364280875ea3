#ifndef TESTS_BACKUP_RHV_WEBSVCS_AGENT_INVENTORY_FIXTURE_H
#define TESTS_BACKUP_RHV_WEBSVCS_AGENT_INVENTORY_FIXTURE_H

// What the inventory and login-test tests share: a private platform configuration, an
// engine simulator holding the sample inventory, the host's "rhev.query" service serving
// RHV host records that point at it, the module's handlers obtained through its exported
// factories (dlopen), and JSON-RPC calls over loopback channels.
//
//   Inventory_Fixture f;
//   Module_Handler handler = f.list_handler();
//   json_spirit::Value reply = f.call(*handler, params_json);   // the wire form of the reply

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <ace/OS_NS_sys_socket.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backup/json_spirit/assign.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/global_json_rpc.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/rsa_keys.h"
#include "tests/support/sample_inventory.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_tls.h"

namespace inventory_test {

namespace inv = sample_inventory;

// The RHV host record the tests register, and the engine user's password.
const char* const HOST_UUID = "0a000001-5a1e-4d00-9000-000000000000";
const char* const ENGINE_USER = "admin@internal";
const char* const ENGINE_PASSWORD = "S3cret-Engine/Pa55%w0rd";

// The compact, key-sorted text of a JSON document given as text: for comparisons that do
// not depend on spacing or key order.
inline std::string canon(const std::string& text)
{
  json_spirit::Value v;
  std::string error;
  EXPECT_TRUE(json_spirit::parse(text, v, &error)) << error << " in " << text;
  return JSON_Dump(v).str();
}

inline std::string dump(const json_spirit::Value& v)
{
  return JSON_Dump(v).str();
}

inline json_spirit::Value parse(const std::string& text)
{
  json_spirit::Value v;
  std::string error;
  EXPECT_TRUE(json_spirit::parse(text, v, &error)) << error << " in " << text;
  return v;
}

// A port on 127.0.0.1 on which nothing listens (bound once, then released).
inline unsigned short closed_port()
{
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ADD_FAILURE() << "cannot bind 127.0.0.1";
    if (fd >= 0)
      ::close(fd);
    return 1;
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The module's exported factories, looked up in the plug-in loaded with dlopen (it stays
// loaded for the rest of the process).
inline void* module_symbol(const char* name)
{
  static void* handle = ::dlopen(RHV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << "dlopen: " << ::dlerror();
    return nullptr;
  }
  return ::dlsym(handle, name);
}

typedef void (*Gobble_Function)(void*);

// An object of the module released through the destroyer its factory handed out.
template <typename T>
class Module_Object_T {
public:
  Module_Object_T() = default;
  Module_Object_T(T* object, Gobble_Function gobble) : object_(object), gobble_(gobble) {}
  Module_Object_T(Module_Object_T&& other) noexcept : object_(other.object_), gobble_(other.gobble_)
  {
    other.object_ = nullptr;
  }
  Module_Object_T& operator=(Module_Object_T&& other) noexcept
  {
    std::swap(object_, other.object_);
    std::swap(gobble_, other.gobble_);
    return *this;
  }
  ~Module_Object_T() { reset(); }

  // Releases the object now (a handler waits for its requests in flight).
  void reset()
  {
    if (object_ != nullptr && gobble_ != nullptr)
      gobble_(object_);
    object_ = nullptr;
  }

  T* get() const { return object_; }
  T& operator*() const { return *object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

private:
  T* object_ = nullptr;
  Gobble_Function gobble_ = nullptr;
};

typedef Module_Object_T<JSON_RPC_Handler> Module_Handler;

template <typename T>
Module_Object_T<T> make_module_object(const char* factory_name)
{
  typedef T* (*Factory)(Gobble_Function*);
  Factory factory = reinterpret_cast<Factory>(module_symbol(factory_name));
  if (factory == nullptr) {
    ADD_FAILURE() << "no factory " << factory_name;
    return Module_Object_T<T>();
  }
  Gobble_Function gobble = nullptr;
  T* object = factory(&gobble);
  EXPECT_NE(object, nullptr) << factory_name;
  EXPECT_NE(gobble, nullptr) << factory_name;
  if (object != nullptr) {
    EXPECT_EQ(object->init(0, nullptr), 0);
  }
  return Module_Object_T<T>(object, gobble);
}

// A loopback channel owned the way the host owns channels (strong pointer), with the raw
// pointer kept for reading what was sent.
struct Test_Channel {
  Loopback_Channel* loopback = new Loopback_Channel();
  JSON_RPC_Channel_var strong{loopback};

  JSON_RPC_Channel_Weak_var weak() const { return JSON_RPC_Channel_Weak_var(strong); }
  // The wire form of each message sent, in order.
  std::vector<json_spirit::Value> sent() const { return loopback->sent_json(); }
};

inline JSON_RPC_Object_var make_request(const json_spirit::Value& params, const json_spirit::Value& id,
                                        const std::string& method = "rhev.test")
{
  return JSON_RPC_Object_var(new JSON_RPC_Request(method, params, id));
}

// The expected wire form of an error reply.
inline std::string error_reply(int code, const std::string& message, const std::string& id_json = "1")
{
  json_spirit::Object error;
  json_spirit::insert(error)("code", code)("message", message);
  json_spirit::Object reply;
  json_spirit::insert(reply)("jsonrpc", "2.0")("id", parse(id_json))("error", std::move(error));
  return dump(json_spirit::Value(std::move(reply)));
}

// The expected wire form of a result reply; `result_json` is JSON text.
inline std::string result_reply(const std::string& result_json, const std::string& id_json = "1")
{
  json_spirit::Object reply;
  json_spirit::insert(reply)("jsonrpc", "2.0")("id", parse(id_json))("result", parse(result_json));
  return dump(json_spirit::Value(std::move(reply)));
}

class Inventory_Fixture {
public:
  // `load_sample`: seed the sample inventory (off for tests that seed their own).
  explicit Inventory_Fixture(bool load_sample = true)
  {
    test_support::Engine_Config config = inv::config(dir_.path(), env_.device_dir());
    config.username = ENGINE_USER;
    config.password = ENGINE_PASSWORD;
    engine_.reset(new test_support::Engine_Simulator(config));
    if (load_sample) {
      EXPECT_TRUE(inv::load(*engine_));
    }
    EXPECT_TRUE(engine_->start());
    cipher_ = rsa_encrypt_for_host(ENGINE_PASSWORD);
    EXPECT_FALSE(cipher_.empty());
    serve_host(HOST_UUID, host_record());
    register_global_json_rpc("rhev.query", [this](const json_spirit::Value& params, json_spirit::Value& result) {
      return query(params, result);
    });
  }

  ~Inventory_Fixture() { unregister_global_json_rpc("rhev.query"); }

  Inventory_Fixture(const Inventory_Fixture&) = delete;
  Inventory_Fixture& operator=(const Inventory_Fixture&) = delete;

  test_support::Engine_Simulator& engine() { return *engine_; }
  Standin_Env& env() { return env_; }
  // The engine password encrypted for this host, as the host process sends it.
  const std::string& cipher() const { return cipher_; }

  // A host record for the simulator with the agent VM of the sample inventory.
  json_spirit::Object host_record() const
  {
    json_spirit::Object record;
    json_spirit::insert(record)("uuid", HOST_UUID)("name", "rhv-east")("agent_vm_id", inv::AGENT_VM_ID)(
        "agent_vm_name", inv::AGENT_VM_NAME)("auth_type", "basic")("url_prefix", "")("host", "127.0.0.1")(
        "port", static_cast<int>(engine_->port()))("ssl", false)("username", ENGINE_USER)("password", cipher_);
    return record;
  }

  // "rhev.query" answers `record` for `uuid` from now on.
  void serve_host(const std::string& uuid, json_spirit::Object record)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_[uuid] = std::move(record);
  }

  size_t queries() const
  {
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_;
  }

  // Sends one request to `handler` and returns the wire form of its reply (null, with a
  // test failure, when none came within a minute).
  json_spirit::Value call(JSON_RPC_Handler& handler, const json_spirit::Value& params,
                          const json_spirit::Value& id = json_spirit::Value(1))
  {
    Test_Channel channel;
    handler.handle(channel.weak(), make_request(params, id));
    if (!channel.loopback->wait_for(1)) {
      ADD_FAILURE() << "no reply to " << dump(params);
      return json_spirit::Value();
    }
    return channel.sent().front();
  }

  std::string call_text(JSON_RPC_Handler& handler, const std::string& params_json)
  {
    return dump(call(handler, parse(params_json)));
  }

  // The API requests the engine received (the token endpoint left out), cleared afterwards.
  std::vector<std::string> take_request_lines()
  {
    std::vector<std::string> out;
    for (const test_support::Engine_Request& r : engine_->requests())
      if (r.path != engine_->token_path())
        out.push_back(r.method + " " + r.path + (r.query.empty() ? "" : "?" + r.query));
    engine_->clear_requests();
    return out;
  }

private:
  bool query(const json_spirit::Value& params, json_spirit::Value& result)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++queries_;
    const json_spirit::Object& p = params.get_obj();
    auto uuid = p.find("uuid");
    if (uuid == p.end() || uuid->second.type() != json_spirit::str_type)
      return false;
    auto it = records_.find(uuid->second.get_str());
    if (it == records_.end()) {
      result = json_spirit::Value("no such RHV host");
      return false;
    }
    result = json_spirit::Value(it->second);
    return true;
  }

  Standin_Env env_;
  test_support::Temp_Dir dir_{"inventory-test"};
  std::unique_ptr<test_support::Engine_Simulator> engine_;
  std::string cipher_;
  mutable std::mutex mutex_;
  std::map<std::string, json_spirit::Object> records_;
  size_t queries_ = 0;
};

}  // namespace inventory_test

#endif
