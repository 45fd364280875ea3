// The RHV host record: its JSON form, and fetching it through "rhev.query" with an
// RSA-encrypted password.

#include "backup/rhv/common/rhv_host_info.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_session.h"
#include "platform/http/base64.h"

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/global_json_rpc.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/rsa_keys.h"
#include "tests/support/standin_env.h"

using json_spirit::Object;
using json_spirit::Value;
using Lines = std::vector<std::string>;

// ---- storage released with a secret still in it ----
// This program's operator new and delete run over malloc and free, so that a block can
// be looked at as it is released: while a watch is set, each block that the watching
// thread releases still holding one of the watched texts is counted (the threads of a
// test server keep their own copies).

namespace {

thread_local const Lines* g_watched = nullptr;
std::atomic<int> g_unwiped{0};

void look_at_released(void* p)
{
  const Lines* watched = g_watched;
  if (p == nullptr || watched == nullptr)
    return;
  const size_t size = malloc_usable_size(p);
  for (const std::string& text : *watched)
    if (::memmem(p, size, text.data(), text.size()) != nullptr)
      ++g_unwiped;
}

// Watches `texts` for as long as it lives.
struct Released_Watch {
  explicit Released_Watch(const Lines& texts)
  {
    g_unwiped = 0;
    g_watched = &texts;
  }
  ~Released_Watch() { g_watched = nullptr; }
};

}  // namespace

// Every plain form is replaced (a sanitizer checks that each block is released by the
// family that made it), and none is inlined: the compiler would pair a caller's new
// with the free below.
[[gnu::noinline]] void* operator new(size_t n, const std::nothrow_t&) noexcept
{
  return std::malloc(n == 0 ? 1 : n);
}
[[gnu::noinline]] void* operator new(size_t n)
{
  if (void* p = operator new(n, std::nothrow))
    return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept
{
  look_at_released(p);
  std::free(p);
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

const char* const PASSWORD = "S3cr3t pa/ss+word";

Value parse(const std::string& text)
{
  Value v;
  EXPECT_TRUE(json_spirit::parse(text, v)) << text;
  return v;
}

// A record as the host process sends it; `password` is put in as given.
Object host_record(const std::string& password)
{
  Object o;
  o["uuid"] = "8c1b0e54-1c3a-4c52-9d53-0f1e0cf00001";
  o["name"] = "engine-a";
  o["agent_vm_id"] = "a0000000-0000-4000-8000-000000000001";
  o["agent_vm_name"] = "agent";
  o["auth_type"] = "oauth";
  o["url_prefix"] = "";
  o["host"] = "engine.example";
  o["port"] = 443;
  o["ssl"] = true;
  o["username"] = "admin@internal";
  o["password"] = password;
  return o;
}

// Serves "rhev.query" with `reply` for as long as it lives, and records the params.
class Query_Server {
public:
  explicit Query_Server(Object reply) : reply_(std::move(reply))
  {
    register_global_json_rpc("rhev.query", [this](const Value& params, Value& result) {
      params_.push_back(params);
      result = Value(reply_);
      return true;
    });
  }
  ~Query_Server() { unregister_global_json_rpc("rhev.query"); }

  std::vector<Value> params_;

private:
  Object reply_;
};

bool any_line_contains(const Log_Capture& log, const std::string& secret)
{
  for (const std::string& line : log.texts())
    if (line.find(secret) != std::string::npos)
      return true;
  return false;
}

}  // namespace

TEST(RHV_Host_Info, dump_writes_all_eleven_keys_with_their_types)
{
  RHV_Host_Info info;
  EXPECT_EQ(JSON_Dump(info.dump()).str(),
            "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"\",\"name\":\"\","
            "\"password\":\"\",\"port\":80,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"\"}");

  info.uuid = "u";
  info.port = 8443;
  info.ssl = true;
  info.password = "pw";
  const Object o = info.dump();
  EXPECT_EQ(o.at("port"), Value(8443));
  EXPECT_EQ(o.at("ssl"), Value(true));
  EXPECT_EQ(o.at("password").get_str(), "pw");
  // The plain password travels in storage that is wiped when released.
  EXPECT_EQ(o.at("password").type(), json_spirit::secure_str_type);
  RHV_Host_Info back;
  ASSERT_TRUE(back.load(Value(o)));
  EXPECT_EQ(JSON_Dump(back.dump()).str(), JSON_Dump(o).str());
}

TEST(RHV_Host_Info, load_overwrites_present_keys_and_rejects_mistyped_ones)
{
  struct Row {
    const char* json;
    bool ok;
    const char* expected;  // the dump after the load, starting from a record with uuid "old"
    const char* message;   // the LM_ERROR line, or ""
  };
  const Row rows[] = {
      {"{\"uuid\":\"u1\",\"host\":\"h\",\"password\":\"p\"}", true,
       "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"h\",\"name\":\"\","
       "\"password\":\"p\",\"port\":80,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"u1\"}",
       ""},
      {"{}", true,
       "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"\",\"name\":\"\","
       "\"password\":\"\",\"port\":80,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"old\"}",
       ""},
      // The port is narrowed to 16 bits without a range check.
      {"{\"port\":70000}", true,
       "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"\",\"name\":\"\","
       "\"password\":\"\",\"port\":4464,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"old\"}",
       ""},
      // Members read before the failure keep what they received ("host" sorts before "ssl").
      {"{\"host\":\"h2\",\"ssl\":\"yes\"}", false,
       "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"h2\",\"name\":\"\","
       "\"password\":\"\",\"port\":80,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"old\"}",
       "Failed to load RHV_Host_Info from JSON: JSON member 'ssl' is string"},
      {"{\"port\":\"443\"}", false, nullptr, "Failed to load RHV_Host_Info from JSON: JSON member 'port' is string, not"},
      {"{\"port\":-1}", false, nullptr, "Failed to load RHV_Host_Info from JSON: JSON member 'port' is negative"},
      {"{\"password\":7}", false, nullptr, "Failed to load RHV_Host_Info from JSON: JSON member 'password' is"},
      {"[]", false, nullptr, "Failed to load RHV_Host_Info from JSON: "},
      {"\"text\"", false, nullptr, "Failed to load RHV_Host_Info from JSON: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    Log_Capture log(true);
    RHV_Host_Info info;
    info.uuid = "old";
    EXPECT_EQ(info.load(parse(row.json)), row.ok);
    if (row.expected != nullptr) {
      EXPECT_EQ(JSON_Dump(info.dump()).str(), row.expected);
    }
    const Lines errors = log.texts(LM_ERROR);
    if (*row.message == '\0') {
      EXPECT_TRUE(errors.empty()) << log.dump();
    } else {
      ASSERT_EQ(errors.size(), 1u) << log.dump();
      EXPECT_EQ(errors[0].rfind(row.message, 0), 0u) << errors[0];
    }
  }
}

TEST(Get_Host_Info, decrypts_the_password_of_the_queried_record)
{
  Standin_Env env;
  const std::string cipher = rsa_encrypt_for_host(PASSWORD);
  ASSERT_FALSE(cipher.empty());
  Query_Server server(host_record(cipher));

  Log_Capture log(true);
  RHV_Host_Info info;
  ASSERT_TRUE(get_host_info("8c1b0e54-1c3a-4c52-9d53-0f1e0cf00001", info)) << log.dump();

  ASSERT_EQ(server.params_.size(), 1u);
  EXPECT_EQ(JSON_Dump(server.params_[0]).str(), "{\"uuid\":\"8c1b0e54-1c3a-4c52-9d53-0f1e0cf00001\"}");
  EXPECT_EQ(std::string(info.password.c_str()), PASSWORD);
  EXPECT_EQ(info.uuid, "8c1b0e54-1c3a-4c52-9d53-0f1e0cf00001");
  EXPECT_EQ(info.name, "engine-a");
  EXPECT_EQ(info.agent_vm_id, "a0000000-0000-4000-8000-000000000001");
  EXPECT_EQ(info.agent_vm_name, "agent");
  EXPECT_EQ(info.auth_type, "oauth");
  EXPECT_EQ(info.url_prefix, "");
  EXPECT_EQ(info.host, "engine.example");
  EXPECT_EQ(info.port, 443);
  EXPECT_TRUE(info.ssl);
  EXPECT_EQ(info.username, "admin@internal");
  EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
  EXPECT_FALSE(any_line_contains(log, PASSWORD));
}

// The decrypted password, and the credentials of the sessions made from it, are in wiped
// storage at every step, requests to an engine included: no block released on the way
// still holds them.
TEST(Get_Host_Info, the_password_and_the_session_credentials_leave_no_unwiped_copy)
{
  Standin_Env env;
  test_support::Temp_Dir dir("host-info");
  test_support::Engine_Config config;
  config.data_dir = dir.file("data");
  config.device_dir = dir.file("by-id");
  config.password = PASSWORD;
  test_support::Engine_Simulator engine(config);
  ASSERT_TRUE(engine.start());
  Query_Server server(host_record(rsa_encrypt_for_host(PASSWORD)));
  const std::string credential = std::string("admin@internal:") + PASSWORD;
  const Base64_Encoder encoded(credential.data(), credential.size(), false);
  const Lines watched = {PASSWORD, encoded.get(), "S3cr3t+pa%2fss%2bword"};  // the last as a token form holds it
  const std::string header = std::string("Basic ") + encoded.get();
  Lines bearer;

  Value result;
  RHV_OAuth_Session oauth;
  {
    Released_Watch watch(watched);
    RHV_Host_Info info;
    ASSERT_TRUE(get_host_info("8c1b0e54-1c3a-4c52-9d53-0f1e0cf00001", info));
    RHV_Basic_Session session;
    ASSERT_TRUE(session.init("127.0.0.1", engine.port(), false, info.username, info.password, "ovirt-engine"));
    EXPECT_STREQ(session.authorization().c_str(), header.c_str());
    EXPECT_TRUE(session.get(engine.api_path("/vms"), nullptr, &result));
    ASSERT_TRUE(oauth.init("127.0.0.1", engine.port(), false, info.username, info.password, "ovirt-engine"));
    EXPECT_TRUE(oauth.get(engine.api_path("/vms"), nullptr, &result));  // fetches the token first
    bearer.push_back(oauth.authorization().c_str());
  }
  EXPECT_EQ(g_unwiped.load(), 0);
  {
    // The token came in the engine's reply; from then on each request's copy is wiped.
    Released_Watch watch(bearer);
    EXPECT_TRUE(oauth.get(engine.api_path("/vms"), nullptr, &result));
  }
  EXPECT_EQ(g_unwiped.load(), 0);
  EXPECT_EQ(engine.count_requests("GET", ".*/vms"), 3u);
  EXPECT_EQ(engine.tokens_issued(), 1u);
}

TEST(Get_Host_Info, a_reply_with_only_some_keys_keeps_the_other_members)
{
  Standin_Env env;
  Object reply;
  reply["uuid"] = "u2";
  reply["host"] = "10.0.0.9";
  reply["password"] = rsa_encrypt_for_host("pw");
  Query_Server server(reply);

  RHV_Host_Info info;
  ASSERT_TRUE(get_host_info("u2", info));
  EXPECT_EQ(JSON_Dump(info.dump()).str(),
            "{\"agent_vm_id\":\"\",\"agent_vm_name\":\"\",\"auth_type\":\"\",\"host\":\"10.0.0.9\",\"name\":\"\","
            "\"password\":\"pw\",\"port\":80,\"ssl\":false,\"url_prefix\":\"\",\"username\":\"\",\"uuid\":\"u2\"}");
}

TEST(Get_Host_Info, failures_name_the_requested_record_and_leave_it_untouched)
{
  Standin_Env env;
  Test_RSA_Key other_key;
  struct Row {
    const char* what;
    bool has_password;
    std::string password;
    const char* message;
  };
  const std::string uuid = "9d2c1f00-0000-4000-8000-0000000000aa";
  const Row rows[] = {
      {"no password", false, "", "Failed to get password of RHV host '9d2c1f00-0000-4000-8000-0000000000aa'.\n"},
      {"empty password", true, "", "Failed to get password of RHV host '9d2c1f00-0000-4000-8000-0000000000aa'.\n"},
      {"not Base64", true, "!!not base64!!",
       "Failed to decrypt password of RHV host '9d2c1f00-0000-4000-8000-0000000000aa' .\n"},
      {"another host's key", true, other_key.encrypt(PASSWORD),
       "Failed to decrypt password of RHV host '9d2c1f00-0000-4000-8000-0000000000aa' .\n"},
      {"plain text", true, PASSWORD,
       "Failed to decrypt password of RHV host '9d2c1f00-0000-4000-8000-0000000000aa' .\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Object reply = host_record("");
    if (row.has_password)
      reply["password"] = row.password;
    else
      reply.erase("password");
    Query_Server server(reply);

    Log_Capture log(true);
    RHV_Host_Info info;
    info.host = "kept";
    EXPECT_FALSE(get_host_info(uuid, info));
    const Lines errors = log.texts(LM_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), row.message);
    EXPECT_EQ(info.host, "kept");
    EXPECT_EQ(info.uuid, "");
    EXPECT_FALSE(any_line_contains(log, PASSWORD)) << log.dump();
  }
}

TEST(Get_Host_Info, a_failed_query_is_reported)
{
  Standin_Env env;
  struct Row {
    const char* what;
    bool registered;
    bool ok;
    Value reply;
  };
  const Row rows[] = {
      {"not served", false, true, Value()},
      {"error reply", true, false, Value("boom")},
      {"array reply", true, true, Value(json_spirit::Array())},
      {"string reply", true, true, Value("text")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    unregister_global_json_rpc("rhev.query");
    if (row.registered) {
      const bool ok = row.ok;
      const Value reply = row.reply;
      register_global_json_rpc("rhev.query", [ok, reply](const Value&, Value& result) {
        result = reply;
        return ok;
      });
    }
    Log_Capture log(true);
    RHV_Host_Info info;
    EXPECT_FALSE(get_host_info("u", info));
    const Lines errors = log.texts(LM_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), "Failed to request 'rhev.query'.\n");
    unregister_global_json_rpc("rhev.query");
  }
}

TEST(Rsa_Decrypt_String, gives_the_plain_text_or_nothing)
{
  Standin_Env env;
  Log_Capture log(true);
  EXPECT_EQ(std::string(rsa_decrypt_string(rsa_encrypt_for_host(PASSWORD)).c_str()), PASSWORD);
  EXPECT_TRUE(rsa_decrypt_string("").empty());
  EXPECT_TRUE(rsa_decrypt_string("AAAA").empty());
  Test_RSA_Key other;
  EXPECT_TRUE(rsa_decrypt_string(other.encrypt(PASSWORD)).empty());
  EXPECT_FALSE(any_line_contains(log, PASSWORD));
}
