#include "tests/support/engine_simulator_servant.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/job/rhv_progress_reporter.h"
#include "backup/rhv/servant/rhv_servant_pause.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/jsonrpc/global_json_rpc.h"
#include "platform/jsonrpc/json_rpc_channel.h"
#include "platform/runtime/uuid.h"
#include "platform/storage/client_io_ex.h"
#include "platform/storage/compression.h"
#include "platform/storage/image_block.h"
#include "tests/support/rsa_keys.h"
#include "tests/support/sample_inventory.h"

namespace test_support {

namespace {

namespace inv = sample_inventory;

json_spirit::Value parse_text(const std::string& text)
{
  json_spirit::Value v;
  json_spirit::parse(text, v, nullptr);
  return v;
}

// ---- pauses ----

std::mutex pause_mutex;
std::vector<unsigned> pause_seconds;
std::function<void(size_t, unsigned)> pause_callback;
std::atomic<int> pause_owners{0};

void short_pause(unsigned seconds)
{
  std::function<void(size_t, unsigned)> callback;
  size_t n = 0;
  {
    std::lock_guard<std::mutex> lock(pause_mutex);
    pause_seconds.push_back(seconds);
    n = pause_seconds.size();
    callback = pause_callback;
  }
  if (callback)
    callback(n, seconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// ---- images ----

class Sha256 {
public:
  Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(ctx_); }
  void add(const void* data, size_t n) { EVP_DigestUpdate(ctx_, data, n); }
  void zeros(uint64_t n)
  {
    static const std::vector<unsigned char> block(1 << 20, 0);
    while (n > 0) {
      size_t step = static_cast<size_t>(std::min<uint64_t>(n, block.size()));
      add(block.data(), step);
      n -= step;
    }
  }
  std::string hex()
  {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_, md, &len);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
      out.push_back(digits[md[i] >> 4]);
      out.push_back(digits[md[i] & 15]);
    }
    return out;
  }

private:
  EVP_MD_CTX* ctx_;
};

// Appends the files under base/relative (relative "" for base itself), as paths relative
// to base.
void list_files(const std::string& base, const std::string& relative, std::vector<std::string>& out)
{
  DIR* dir = ::opendir(relative.empty() ? base.c_str() : (base + "/" + relative).c_str());
  if (dir == nullptr)
    return;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    std::string rel = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (::lstat((base + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      list_files(base, rel, out);
    else
      out.push_back(rel);
  }
  ::closedir(dir);
}

}  // namespace

// ---- devices ----

bool wait_until(const std::function<bool()>& done, int seconds)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool wait_agent_attachment(const Engine_Simulator& engine, Sim_Disk_Attachment& out, int seconds)
{
  return wait_until(
      [&engine, &out] {
        for (const Sim_Disk_Attachment& a : engine.attachments(engine.config().agent_vm_id))
          if (!a.agent_own) {
            out = a;
            return true;
          }
        return false;
      },
      seconds);
}

std::string attached_disk_file(const Engine_Simulator& engine, const Sim_Disk_Attachment& attachment)
{
  if (attachment.snapshot_id.empty()) {
    Sim_Disk disk;
    return engine.find_disk(attachment.disk_id, disk) ? disk.path : std::string();
  }
  for (const Sim_Snapshot& s : engine.snapshots())
    if (s.id == attachment.snapshot_id)
      for (const Sim_Disk& d : s.disks)
        if (d.id == attachment.disk_id)
          return d.path;
  return std::string();
}

bool make_device(const Engine_Simulator& engine, const Sim_Disk_Attachment& attachment, int64_t length)
{
  const std::string source = attached_disk_file(engine, attachment);
  if (source.empty())
    return false;
  std::ifstream in(source, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (length >= 0 && static_cast<size_t>(length) < data.size())
    data.resize(static_cast<size_t>(length));
  const std::string device = engine.device_path(attachment.disk_id);
  const std::string temp = device + ".making";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out)
      return false;
  }
  return ::rename(temp.c_str(), device.c_str()) == 0;
}

// ---- pauses ----

Servant_Pauses::Servant_Pauses(std::function<void(size_t n, unsigned seconds)> on_pause)
{
  {
    std::lock_guard<std::mutex> lock(pause_mutex);
    pause_seconds.clear();
    pause_callback = std::move(on_pause);
  }
  ++pause_owners;
  set_rhv_servant_pause(&short_pause);
}

Servant_Pauses::~Servant_Pauses()
{
  if (--pause_owners == 0)
    set_rhv_servant_pause(nullptr);
  std::lock_guard<std::mutex> lock(pause_mutex);
  pause_callback = nullptr;
}

std::vector<unsigned> Servant_Pauses::seconds() const
{
  std::lock_guard<std::mutex> lock(pause_mutex);
  return pause_seconds;
}

// ---- the bed ----

const char* const Servant_Test_Bed::HOST_RECORD_ID = "0a000001-5a1e-4d00-9000-000000000000";

Servant_Test_Bed::Servant_Test_Bed(std::initializer_list<std::pair<std::string, std::string>> settings,
                                   unsigned size_factor, bool tls)
  : env_(new Standin_Env(settings))
{
  // Alerts go to the backup server named in the configuration: it needs a port.
  if (env_->get("backupd_port") == nullptr || *env_->get("backupd_port") == "0")
    env_->set("backupd_port", "8443");
  Engine_Config config = inv::config(env_->path("engine-root"), env_->device_dir());
  config.tls = tls;
  engine_.reset(new Engine_Simulator(config));
  EXPECT_TRUE(inv::load(*engine_, size_factor));
  EXPECT_TRUE(engine_->start());
  if (tls)
    env_->set("engine_ca_file", engine_->ca_file());

  json_spirit::Object record = parse_text(R"({"name": "engine-east", "auth_type": "basic", "url_prefix": "",
                                               "host": "127.0.0.1", "ssl": false, "username": "admin@internal"})")
                                   .get_obj();
  record["uuid"] = json_spirit::Value(HOST_RECORD_ID);
  record["agent_vm_id"] = json_spirit::Value(inv::AGENT_VM_ID);
  record["agent_vm_name"] = json_spirit::Value(inv::AGENT_VM_NAME);
  record["port"] = json_spirit::Value(static_cast<int>(engine_->port()));
  record["ssl"] = json_spirit::Value(tls);
  record["password"] = json_spirit::Value(rsa_encrypt_for_host(engine_->config().password));
  register_global_json_rpc("rhev.query", [record](const json_spirit::Value& params, json_spirit::Value& result) {
    const json_spirit::Object* p = params.type() == json_spirit::obj_type ? &params.get_obj() : nullptr;
    auto uuid = p != nullptr ? p->find("uuid") : json_spirit::Object::const_iterator();
    if (p == nullptr || uuid == p->end() || uuid->second.type() != json_spirit::str_type ||
        uuid->second.get_str() != HOST_RECORD_ID)
      return false;
    result = json_spirit::Value(record);
    return true;
  });
}

Servant_Test_Bed::~Servant_Test_Bed()
{
  unregister_global_json_rpc("rhev.query");
  activity_.reset();
  engine_.reset();
  env_.reset();
}

std::string Servant_Test_Bed::pool_url() const
{
  return "file://" + env_->default_pool_dir() + "/" + HOST_RECORD_ID;
}

std::string Servant_Test_Bed::pool_dir() const
{
  return env_->default_pool_dir();
}

RHV_Backup_Params Servant_Test_Bed::backup_params(const std::string& def_id, const std::string& vm_id)
{
  RHV_Backup_Params p;
  p.backupd_ssl = false;
  p.backupd_port = static_cast<uint16_t>(std::stoi(*env_->get("backupd_port")));
  p.backupd_host = "127.0.0.1";
  p.job_revision = 7;
  p.def_id = def_id;
  p.host_uuid = HOST_RECORD_ID;
  p.resource_uuid = "source-1";
  p.access_key = "test-access-key";
  p.client_io_opts.compression_method = COMPR_AUTO;
  p.parallel_disks_per_vm = 2;
  p.block_size = 1 << 20;
  p.host_info.uuid = HOST_RECORD_ID;
  p.host_info.name = "engine-east";
  p.host_info.agent_vm_id = inv::AGENT_VM_ID;
  p.host_info.agent_vm_name = inv::AGENT_VM_NAME;
  p.host_info.auth_type = "basic";
  p.host_info.host = "127.0.0.1";
  p.host_info.port = engine_->port();
  p.host_info.ssl = false;
  p.host_info.username = engine_->config().username;
  p.host_info.password = engine_->config().password.c_str();
  p.backup_type = JOB_DEFINITION_SUBTYPE_FULL;
  p.pool_url = pool_url();
  p.catalog["name"] = json_spirit::Value("nightly");
  p.catalog["agent"] = json_spirit::Value("agent-1");
  p.catalog["pool_uuid"] = json_spirit::Value(Standin_Env::DEFAULT_POOL_UUID);
  p.backup_method = NFC;

  Sim_VM vm;
  if (!engine_->find_vm(vm_id, vm)) {
    p.vm_id = vm_id;
    return p;
  }
  p.vm_id = vm.id;
  p.vm_name = vm.name;
  p.cluster_id = vm.cluster_id;
  for (const Sim_Cluster& c : engine_->clusters())
    if (c.id == vm.cluster_id) {
      p.cluster_name = c.name;
      p.data_center_id = c.data_center_id;
    }
  for (const Sim_Data_Center& dc : engine_->data_centers())
    if (dc.id == p.data_center_id)
      p.data_center_name = dc.name;

  RHV_Client client;
  RHV_VM record;
  EXPECT_TRUE(client.login("basic", "127.0.0.1", engine_->port(), false, engine_->config().username,
                           engine_->config().password.c_str(), ""));
  EXPECT_TRUE(client.vm_service().get(vm_id, record, RHV_FOLLOW_DISK_ATTACHMENTS | RHV_FOLLOW_DISK));
  for (RHV_Disk_Attachment& a : record.disk_attachments)
    if (!a.disk.shareable.value_or(false))
      p.attachments.push_back(std::move(a));
  engine_->clear_requests();  // the requests a test looks at are the worker's
  return p;
}

bool Servant_Test_Bed::make_job_files(const std::string& def_id, const std::string& vm_id)
{
  activity_.reset(new Job_Activity_Handle());
  if (!activity_->open(def_id.c_str(), true, true, 0750))
    return false;
  Job_Activity* act = activity_->get();
  uuid_from_string("6b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3", act->uid);
  uuid_from_string("a0a1a2a3-b0b1-4c0c-8d0d-e0e1e2e3e4e5", act->id);
  act->state = JOB_STATE_RUNNING;
  act->start_time = 1700000000;
  act->last_run_time = 0;

  RHV_VM_Progress_Handle progress;
  if (progress.open(def_id.c_str(), vm_id.c_str(), true, true, 0750) != 0)
    return false;
  progress->reset();
  return true;
}

Job_Activity* Servant_Test_Bed::activity() const
{
  return activity_ ? activity_->get() : nullptr;
}

JSON_RPC_Object_var Servant_Test_Bed::call(JSON_RPC_Handler& handler, const std::string& method,
                                           const json_spirit::Value& params, int* rc)
{
  Loopback_Channel* raw = new Loopback_Channel();
  JSON_RPC_Channel_var channel(raw);
  JSON_RPC_Channel_Weak_var weak(channel);
  JSON_RPC_Object_var request(new JSON_RPC_Request(method, params, json_spirit::Value(42)));
  int result = handler.handle_object(weak, request);
  if (rc != nullptr)
    *rc = result;
  std::vector<JSON_RPC_Object_var> sent = raw->sent();
  EXPECT_LE(sent.size(), 1u);
  return sent.empty() ? JSON_RPC_Object_var() : sent.front();
}

std::vector<json_spirit::Object> Servant_Test_Bed::alerts() const
{
  std::vector<json_spirit::Object> out;
  std::ifstream in(env_->alert_sink());
  std::string line;
  while (std::getline(in, line)) {
    json_spirit::Value v = parse_text(line);
    if (v.type() == json_spirit::obj_type)
      out.push_back(v.get_obj());
  }
  return out;
}

std::vector<std::string> Servant_Test_Bed::alert_lines() const
{
  std::vector<std::string> out;
  for (const json_spirit::Object& a : alerts())
    out.push_back(std::to_string(a.at("level").get_int64()) + "/" + std::to_string(a.at("code").get_int64()) + " " +
                  JSON_Dump(a.at("params")).str());
  return out;
}

std::vector<json_spirit::Object> Servant_Test_Bed::catalog_sets() const
{
  std::vector<json_spirit::Object> out;
  std::vector<std::string> files;
  list_files(env_->catalog_dir(), "", files);
  std::sort(files.begin(), files.end());
  for (const std::string& name : files) {
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0)
      continue;
    std::ifstream in(env_->catalog_dir() + "/" + name);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    json_spirit::Value v = parse_text(text);
    if (v.type() == json_spirit::obj_type)
      out.push_back(v.get_obj());
  }
  return out;
}

std::vector<std::string> Servant_Test_Bed::pool_files() const
{
  std::vector<std::string> out;
  list_files(pool_dir(), "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string Servant_Test_Bed::image_digest(const std::string& remote_path, uint64_t size) const
{
  Client_IO_Ex client;
  if (!client.connect(pool_url(), Client_IO_Base::Options()) || !client.open(remote_path, IO_Base::MODE_READ))
    return std::string();
  Sha256 sha;
  uint64_t next = 0;
  bool ordered = true;
  bool read = Image_Block_Reader::read_blocks_align(
      client, [&](const void* data, size_t n, uint64_t offset) {
        if (offset < next || offset + n > size) {
          ordered = false;
          return false;
        }
        sha.zeros(offset - next);
        sha.add(data, n);
        next = offset + n;
        return true;
      });
  if (!read || !ordered)
    return std::string();
  sha.zeros(size - next);
  return sha.hex();
}

Progress_Snapshot Servant_Test_Bed::progress(const std::string& def_id, const std::string& vm_id) const
{
  Progress_Snapshot out;
  RHV_VM_Progress_Handle handle;
  if (handle.open(def_id.c_str(), vm_id.c_str(), false, true, 0750) != 0)
    return out;
  out.present = true;
  out.state = handle->state.load();
  out.virtual_disk_count = handle->virtual_disk_count.load();
  out.processed_virtual_disk_count = handle->processed_virtual_disk_count.load();
  out.start_time = handle->start_time.load();
  out.end_time = handle->end_time.load();
  out.total_bytes = handle->total_bytes.load();
  out.processed_bytes = handle->processed_bytes.load();
  return out;
}

::testing::AssertionResult Servant_Test_Bed::engine_clean() const
{
  std::string problems;
  for (const Sim_Snapshot& s : engine_->snapshots())
    problems += " snapshot '" + s.description + "' of VM " + s.vm_id + ";";
  for (const Sim_Disk_Attachment& a : engine_->attachments(inv::AGENT_VM_ID))
    if (!a.agent_own)
      problems += " disk " + a.disk_id + " attached to the agent VM;";
  std::vector<std::string> own_devices;
  for (const Sim_Disk_Attachment& a : engine_->attachments(inv::AGENT_VM_ID))
    if (a.agent_own)
      own_devices.push_back("virtio-" + a.disk_id.substr(0, 20));
  for (const std::string& d : engine_->devices())
    if (std::find(own_devices.begin(), own_devices.end(), d) == own_devices.end())
      problems += " device " + d + ";";
  if (problems.empty())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "left behind:" << problems;
}

void Servant_Test_Bed::mark_engine()
{
  vms_before_.clear();
  disks_before_.clear();
  for (const Sim_VM& vm : engine().vms())
    vms_before_.insert(vm.id);
  for (const Sim_Disk& disk : engine().disks())
    disks_before_.insert(disk.id);
}

std::vector<Sim_VM> Servant_Test_Bed::new_vms() const
{
  std::vector<Sim_VM> out;
  for (const Sim_VM& vm : engine().vms())
    if (vms_before_.count(vm.id) == 0)
      out.push_back(vm);
  return out;
}

std::vector<Sim_Disk> Servant_Test_Bed::new_disks() const
{
  std::vector<Sim_Disk> out;
  for (const Sim_Disk& disk : engine().disks())
    if (disks_before_.count(disk.id) == 0 && disk.snapshot_id.empty())
      out.push_back(disk);
  return out;
}

void run_at_once(unsigned threads, unsigned times, const std::function<void()>& step)
{
  std::atomic<unsigned> ready{0};
  std::vector<std::thread> running;
  for (unsigned t = 0; t < threads; ++t)
    running.emplace_back([&] {
      ++ready;
      while (ready.load() < threads)
        std::this_thread::yield();
      for (unsigned i = 0; i < times; ++i)
        step();
    });
  for (std::thread& thread : running)
    thread.join();
}

}  // namespace test_support
