// Inventory requests through the module's list handler against the engine simulator
// holding the sample inventory plus a few thousand VMs, a fixed number in flight.
//
//   inventory_bench [requests] [in_flight] [extra_vms]      (defaults: 200 8 2000)
//
// Each request fetches the RHV host record, logs in, lists or searches, and answers with
// the nodes, as the web-service agent's requests do. The kinds of request are taken in
// turn. Printed: requests per second, time per request, and how that time splits into the
// module's own processing (the CPU time of the request's thread: host record, session,
// JSON reading, records, nodes, reply) and the engine round trips (the rest: waiting for
// the simulator's replies).

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <ace/Log_Msg.h>

#include "backup/json_spirit/assign.h"
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

#include <dlfcn.h>

namespace {

namespace inv = sample_inventory;
using Clock = std::chrono::steady_clock;
using json_spirit::Value;

const char* const HOST_UUID = "0b000001-5a1e-4d00-9000-000000000000";
const char* const USER = "admin@internal";
const char* const PASSWORD = "bench-password";

double thread_cpu_seconds()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds(Clock::duration d)
{
  return std::chrono::duration<double>(d).count();
}

struct Kind {
  const char* name;
  std::string params;  // JSON text without the uuid
};

struct Sample {
  Clock::time_point sent;
  double latency = 0;  // seconds from handle() to the reply
  double cpu = 0;      // CPU seconds of the request's thread
  size_t nodes = 0;
  bool error = false;
};

// Counts the requests in flight and records each reply's figures; the reply is sent on
// the request's own thread, whose CPU time then holds all the module's work for it.
class Tracker {
public:
  explicit Tracker(size_t n) : samples_(n) {}

  void sent(size_t i)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    samples_[i].sent = Clock::now();
    ++in_flight_;
  }

  void replied(const JSON_RPC_Object_var& reply)
  {
    const double cpu = thread_cpu_seconds();
    const Clock::time_point now = Clock::now();
    const bool error = reply->type() != JSON_RPC_Object::TYPE_RESPONSE;
    const Value& id = error ? static_cast<const JSON_RPC_Response_Error&>(*reply.get()).id
                            : static_cast<const JSON_RPC_Response&>(*reply.get()).id;
    const size_t nodes = error ? 0 : static_cast<const JSON_RPC_Response&>(*reply.get()).result.get_array().size();
    std::lock_guard<std::mutex> lock(mutex_);
    Sample& s = samples_.at(static_cast<size_t>(id.get_int64()));
    s.latency = seconds(now - s.sent);
    s.cpu = cpu;
    s.error = error;
    s.nodes = nodes;
    --in_flight_;
    ++done_;
    cond_.notify_all();
  }

  // Waits until fewer than `limit` requests are in flight.
  void wait_below(size_t limit)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return in_flight_ < limit; });
  }

  void wait_done(size_t n)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return done_ >= n; });
  }

  const std::vector<Sample>& samples() const { return samples_; }

private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<Sample> samples_;
  size_t in_flight_ = 0;
  size_t done_ = 0;
};

}  // namespace

int main(int argc, char** argv)
{
  const size_t requests = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
  const size_t in_flight = argc > 2 ? std::max<size_t>(1, std::strtoul(argv[2], nullptr, 10)) : 8;
  const size_t extra_vms = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2000;

  // Failures would log through ACE; the figures go to stdout.
  ACE_Log_Msg::instance()->priority_mask(LM_ERROR | LM_EMERGENCY, ACE_Log_Msg::PROCESS);

  Standin_Env env;
  test_support::Temp_Dir dir("inventory-bench");
  test_support::Engine_Config config = inv::config(dir.path(), env.device_dir());
  config.username = USER;
  config.password = PASSWORD;
  test_support::Engine_Simulator engine(config);
  if (!inv::load(engine)) {
    std::fprintf(stderr, "cannot load the sample inventory\n");
    return 1;
  }
  for (size_t i = 0; i < extra_vms; ++i) {
    test_support::Sim_VM vm;
    char name[32];
    std::snprintf(name, sizeof(name), "bench-vm-%04zu", i);
    vm.name = name;
    vm.cluster_id = i % 2 == 0 ? inv::CLUSTER_EAST_PROD_ID : inv::CLUSTER_EAST_DEV_ID;
    vm.status = i % 3 == 0 ? "down" : "up";
    engine.add_vm(vm);
  }
  if (!engine.start()) {
    std::fprintf(stderr, "cannot start the engine simulator\n");
    return 1;
  }

  json_spirit::Object record;
  json_spirit::insert(record)("uuid", HOST_UUID)("agent_vm_id", inv::AGENT_VM_ID)("auth_type", "basic")(
      "host", "127.0.0.1")("port", static_cast<int>(engine.port()))("ssl", false)("username", USER)(
      "password", rsa_encrypt_for_host(PASSWORD));
  register_global_json_rpc("rhev.query", [&record](const Value&, Value& result) {
    result = Value(record);
    return true;
  });

  void* module = ::dlopen(RHV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  typedef JSON_RPC_Handler* (*Factory)(void (**)(void*));
  Factory factory = module ? reinterpret_cast<Factory>(::dlsym(module, "_make_JSON_RPC_RHV_List_Handler")) : nullptr;
  void (*gobble)(void*) = nullptr;
  JSON_RPC_Handler* handler = factory ? factory(&gobble) : nullptr;
  if (handler == nullptr) {
    std::fprintf(stderr, "cannot make the list handler from %s\n", RHV_MODULE_PATH);
    return 1;
  }

  const std::string search_text = extra_vms > 100 ? "vm-01" : "0";
  const std::vector<Kind> kinds = {
      {"top of the tree", "\"subtype\":\"inventory\""},
      {"clusters of a data center", std::string("\"subtype\":\"inventory\",\"type\":\"Datacenter\",\"moid\":\"") +
                                        inv::DC_EAST_ID + "\""},
      {"VMs of a cluster", std::string("\"subtype\":\"inventory\",\"type\":\"Cluster\",\"moid\":\"") +
                               inv::CLUSTER_EAST_PROD_ID + "\""},
      {"VM search", "\"subtype\":\"search\",\"search_type\":\"VirtualMachine\",\"search\":\"" + search_text + "\""},
      {"disks of a VM", std::string("\"subtype\":\"inventory\",\"type\":\"VirtualMachine\",\"moid\":\"") +
                            inv::VM_DB_ID + "\""},
      {"vNIC profiles (recovery)", "\"subtype\":\"inventory\",\"type\":\"VnicProfiles\",\"view\":\"recovery\""},
      {"storage domains (recovery)", "\"subtype\":\"inventory\",\"type\":\"StorageDomain\",\"view\":\"recovery\""},
      {"cluster search", "\"subtype\":\"search\",\"search_type\":\"Cluster\",\"search\":\"east\""},
  };
  std::vector<Value> params;
  for (const Kind& k : kinds) {
    Value v;
    json_spirit::parse("{\"uuid\":\"" + std::string(HOST_UUID) + "\"," + k.params + "}", v);
    params.push_back(v);
  }

  Tracker tracker(requests);
  Loopback_Channel* loopback = new Loopback_Channel([&tracker](const JSON_RPC_Object_var& reply) {
    tracker.replied(reply);
  });
  JSON_RPC_Channel_var channel(loopback);

  engine.clear_requests();
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < requests; ++i) {
    tracker.wait_below(in_flight);
    tracker.sent(i);
    handler->handle(JSON_RPC_Channel_Weak_var(channel),
                    JSON_RPC_Object_var(new JSON_RPC_Request("rhev.list", params[i % kinds.size()],
                                                             Value(static_cast<int>(i)))));
  }
  tracker.wait_done(requests);
  const double wall = seconds(Clock::now() - start);
  const size_t engine_requests = engine.requests().size();
  gobble(handler);

  struct Totals {
    size_t count = 0, errors = 0, nodes = 0;
    double latency = 0, cpu = 0;
  };
  Totals all;
  std::vector<Totals> per_kind(kinds.size());
  for (size_t i = 0; i < requests; ++i) {
    const Sample& s = tracker.samples()[i];
    for (Totals* t : {&all, &per_kind[i % kinds.size()]}) {
      ++t->count;
      t->errors += s.error ? 1 : 0;
      t->nodes += s.nodes;
      t->latency += s.latency;
      t->cpu += s.cpu;
    }
  }

  std::printf("inventory_bench: %zu requests, %zu in flight, %zu VMs in the engine (%zu per cluster listed)\n",
              requests, in_flight, extra_vms + 6, extra_vms / 2 + 2);
  std::printf("  %.1f requests/s, %.2f ms wall per request, %.2f ms mean latency\n", requests / wall,
              wall * 1000 / requests, all.latency * 1000 / requests);
  std::printf("  time per request: %.2f ms module processing (%.0f%%), %.2f ms engine round trips (%.0f%%)\n",
              all.cpu * 1000 / requests, 100 * all.cpu / all.latency, (all.latency - all.cpu) * 1000 / requests,
              100 * (all.latency - all.cpu) / all.latency);
  std::printf("  %.1f engine requests per inventory request, %zu error replies\n",
              static_cast<double>(engine_requests) / requests, all.errors);
  std::printf("  %-28s %6s %8s %12s %12s %8s\n", "kind", "count", "nodes", "latency ms", "module ms", "module%");
  for (size_t k = 0; k < kinds.size(); ++k) {
    const Totals& t = per_kind[k];
    if (t.count == 0)
      continue;
    std::printf("  %-28s %6zu %8zu %12.2f %12.2f %7.0f%%\n", kinds[k].name, t.count, t.nodes / t.count,
                t.latency * 1000 / t.count, t.cpu * 1000 / t.count, 100 * t.cpu / t.latency);
  }
  unregister_global_json_rpc("rhev.query");
  return all.errors == 0 ? 0 : 1;
}
