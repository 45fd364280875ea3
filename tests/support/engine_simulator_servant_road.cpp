#include "tests/support/engine_simulator_servant_road.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/json/json_dump.h"

#include "platform/servant/servant_endpoint.h"

namespace test_support {

const char* const Backup_Road::DEFAULT_OPTIONS = R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0})";
const char* const Backup_Road::RESTORE_OPTIONS = R"({"original_restore": true})";

Backup_Road::Backup_Road(const std::string& module, const std::string& servant_host, unsigned size_factor,
                         bool tls)
  : Servant_Test_Bed({}, size_factor, tls), module_(module), servant_host_(servant_host), host_(new Test_Job_Host(module)),
    wait_seconds_(WAIT_SECONDS * static_cast<int>(size_factor))
{
  EXPECT_TRUE(host_->ok()) << host_->error();
  EXPECT_TRUE(write_servant_conf("process"));
}

bool Backup_Road::write_servant_conf(const std::string& mode)
{
  const std::string dir = env().path("etc/opt/quillon/tessera3/rhv/servant/rhv");
  for (size_t pos = 1; pos <= dir.size(); ++pos)
    if (pos == dir.size() || dir[pos] == '/')
      if (::mkdir(dir.substr(0, pos).c_str(), 0750) != 0 && errno != EEXIST)
        return false;
  std::ofstream out(dir + "/svc.conf", std::ios::trunc);
  out << "# The servants of the RHV module.\nmode=" << mode << "\nmodule=" << module_
      << "\nhost_binary=" << servant_host_ << "\n";
  return static_cast<bool>(out);
}

Backup_Road::~Backup_Road()
{
  use_inprocess_handler(nullptr);
  // A job a test left running is cancelled: its servant then ends its waits too.
  for (const Job_var& job : started_)
    if (job->completed() == 0)
      job->stop_i(nullptr);
  started_.clear();
  // The jobs' detached threads let go of the module's objects before the host goes, and
  // end (ACE cleans up each thread's logger as it ends) before the process tears ACE and
  // the job library's tables down. Threads that outlive the wait would run on into that
  // teardown: the program ends here instead.
  if (!Test_Job_Host::wait_threads(END_SECONDS)) {
    ADD_FAILURE() << "the road's jobs did not end within " << END_SECONDS << " s of their cancel";
    std::_Exit(1);
  }
  host_.reset();
}

std::string Backup_Road::servant_conf() const
{
  return env().path("etc/opt/quillon/tessera3/rhv/servant/rhv/svc.conf");
}

void Backup_Road::use_inprocess_handler(JSON_RPC_Handler* handler)
{
  if (handler == inprocess_handler_)
    return;
  inprocess_handler_ = handler;
  register_inprocess_handler("rhev.backup", handler);
  EXPECT_TRUE(write_servant_conf(handler != nullptr ? "inprocess" : "process"));
}

std::string Backup_Road::definition_json(const std::string& def_id, const std::string& extra) const
{
  return R"({"type": 1, "uid": "6b1c2d3e-4f50-4a6b-8c7d-8e9fa0b1c2d3", "id": ")" + def_id +
         R"(", "host_id": ")" + std::string(HOST_RECORD_ID) +
         R"(", "name": "nightly", "agent": "agent-1", "subtype": 1, "job_revision": 7, "retry_count": 0,
             "retry_interval": 0, "target": {"id": ")" +
         std::string(Standin_Env::DEFAULT_POOL_UUID) + R"(", "device_id": "dev-1", "name": "default-pool"})" +
         (extra.empty() ? "" : ", " + extra) + "}";
}

std::string Backup_Road::restore_definition_json(const std::string& def_id, const std::string& extra) const
{
  std::string out = definition_json(def_id, extra);
  out.replace(out.find("\"type\": 1"), 9, "\"type\": 2");
  return out;
}

std::string Backup_Road::source(const std::vector<std::string>& vm_ids)
{
  std::string out = R"({"id": "source-1", "name": "east backup", "entries": [)";
  for (size_t i = 0; i < vm_ids.size(); ++i)
    out += std::string(i ? ", " : "") + R"({"type": "VirtualMachine", "id": ")" + vm_ids[i] + "\"}";
  return out + "]}";
}

Job_var Backup_Road::start(const std::string& def_id, const std::string& source_doc, const std::string& options_doc,
                           const std::string& extra)
{
  return start_definition(definition_json(def_id, extra), source_doc, options_doc);
}

Job_var Backup_Road::start_definition(const std::string& definition, const std::string& source_doc,
                                      const std::string& options_doc)
{
  std::string error;
  Job_Definition_var def = host_->make_definition(definition, source_doc, options_doc, &error);
  if (def.get() == nullptr) {
    ADD_FAILURE() << "the job documents do not read: " << error;
    return Job_var();
  }
  Job_var job = host_->create_job(def);
  if (job.get() == nullptr) {
    ADD_FAILURE() << "the module made no job";
    return Job_var();
  }
  if (job->start_i(nullptr) != 0) {
    ADD_FAILURE() << "the job did not start";
    return Job_var();
  }
  started_.push_back(job);
  return job;
}

::testing::AssertionResult Backup_Road::wait(const Job_var& job, const std::string& step, int seconds)
{
  if (seconds == 0)
    seconds = wait_seconds_;
  if (job.get() == nullptr)
    return ::testing::AssertionFailure() << "no job for " << step;
  if (!job->wait_complete(seconds, 1))
    return ::testing::AssertionFailure() << step << " did not end within " << seconds << " s; the job log:\n"
                                         << job->job_log()->text();
  return ::testing::AssertionSuccess();
}

Job_var Backup_Road::run(const std::string& def_id, const std::string& source_doc, const std::string& options_doc,
                         const std::string& extra)
{
  Job_var job = start(def_id, source_doc, options_doc, extra);
  if (job.get() != nullptr) {
    EXPECT_TRUE(wait(job, "the run of " + def_id));
  }
  return job;
}

json_spirit::Object Backup_Road::histories(const Job_var& job)
{
  json_spirit::Object out;
  json_spirit::Object results = job->results();
  auto it = results.find("rhev");
  if (it == results.end() || it->second.type() != json_spirit::array_type)
    return out;
  for (const json_spirit::Value& h : it->second.get_array())
    if (h.type() == json_spirit::obj_type && h.get_obj().count("vm_id") != 0)
      out[h.get_obj().at("vm_id").get_str()] = h;
  return out;
}

std::vector<std::string> Backup_Road::final_events(const Job_var& job)
{
  static const char* const names[] = {"START", "SUCCESS", "FAILURE", "PAUSED", "CANCELED", "VM_PROGRESS"};
  std::vector<std::string> out;
  for (const Job_Event& e : job->events())
    if (e.kind != Job_Event::VM_PROGRESS)
      out.push_back(names[e.kind]);
  return out;
}

::testing::AssertionResult Backup_Road::cancel_when(const Job_var& job, const std::string& vm_id,
                                                    const std::function<bool()>& waiting, const char* made_after)
{
  if (!wait_until(waiting) || job->stop_i(nullptr) != 0)
    return ::testing::AssertionFailure() << "the job was not cancelled while it waited";
  if (made_after != nullptr) {
    if (!wait_until([&] { return job->job_log()->text().find(made_after) != std::string::npos; }))
      return ::testing::AssertionFailure() << "no '" << made_after << "' in the job log";
    engine().run_pending();
  }
  const ::testing::AssertionResult ended = wait(job, "the cancelled job");
  if (!ended)
    return ended;
  const std::string log = job->job_log()->text();
  if (final_events(job) != std::vector<std::string>{"START", "CANCELED"})
    return ::testing::AssertionFailure() << "the job did not end cancelled:\n" << log;
  const json_spirit::Object h = histories(job);
  if (h.size() != 1 || h.count(vm_id) == 0 || h.at(vm_id).get_obj().at("succeed").get_bool())
    return ::testing::AssertionFailure() << "no failed history of " << vm_id << " alone:\n" << log;
  for (const char* killed : {"killing it", "died of signal"})
    if (log.find(killed) != std::string::npos)
      return ::testing::AssertionFailure() << "a servant was killed:\n" << log;
  return ::testing::AssertionSuccess();
}

std::string Backup_Road::restore_source(const std::vector<std::string>& vm_ids,
                                        const std::string& target_cluster_id) const
{
  const std::vector<json_spirit::Object> sets = catalog_sets();
  const std::vector<Sim_Cluster> clusters = engine().clusters();
  json_spirit::Array entries;
  for (const std::string& vm_id : vm_ids) {
    // The VM's set; the last one the catalog lists when there are several.
    const json_spirit::Object* set = nullptr;
    for (const json_spirit::Object& s : sets)
      if (s.at("vm_id").get_str() == vm_id)
        set = &s;
    Sim_VM vm;
    if (set == nullptr || !engine().find_vm(vm_id, vm)) {
      ADD_FAILURE() << "no catalog set of VM " << vm_id;
      return std::string();
    }
    std::string cluster_name;
    for (const Sim_Cluster& c : clusters)
      if (c.id == vm.cluster_id)
        cluster_name = c.name;

    json_spirit::Array disks;
    std::set<std::string> seen;
    for (const json_spirit::Value& p : set->at("pieces").get_array()) {
      const std::string& disk_id = p.get_obj().at("object").get_str();
      Sim_Disk disk;
      if (!seen.insert(disk_id).second || !engine().find_disk(disk_id, disk))
        continue;
      json_spirit::Object d;
      d["id"] = json_spirit::Value(disk_id);
      d["source_datastore_id"] = json_spirit::Value(disk.storage_domain_id);
      if (!target_cluster_id.empty())
        d["target_datastore_id"] = json_spirit::Value(disk.storage_domain_id);
      disks.push_back(json_spirit::Value(std::move(d)));
    }

    json_spirit::Object e;
    e["source_cluster_id"] = json_spirit::Value(vm.cluster_id);
    e["source_cluster_name"] = json_spirit::Value(cluster_name);
    e["source_vm_id"] = json_spirit::Value(vm.id);
    e["source_vm_name"] = json_spirit::Value(vm.name);
    e["catalog_uuid"] = set->at("set_uuid");
    e["disks"] = json_spirit::Value(std::move(disks));
    if (!target_cluster_id.empty())
      e["target_cluster_id"] = json_spirit::Value(target_cluster_id);
    entries.push_back(json_spirit::Value(std::move(e)));
  }
  json_spirit::Object doc;
  // A restore's source is the resource that was backed up: the catalog keeps the sets
  // under the backup source's id.
  doc["id"] = json_spirit::Value("source-1");
  doc["name"] = json_spirit::Value("east restore");
  doc["entries"] = json_spirit::Value(std::move(entries));
  return JSON_Dump(json_spirit::Value(std::move(doc))).str();
}

Job_var Backup_Road::start_restore(const std::string& def_id, const std::string& source_doc,
                                  const std::string& options_doc, const std::string& extra)
{
  return start_definition(restore_definition_json(def_id, extra), source_doc, options_doc);
}

Job_var Backup_Road::run_restore(const std::string& def_id, const std::string& source_doc,
                                const std::string& options_doc, const std::string& extra)
{
  Job_var job = start_restore(def_id, source_doc, options_doc, extra);
  if (job.get() != nullptr) {
    EXPECT_TRUE(wait(job, "the restore run of " + def_id));
  }
  return job;
}

std::vector<Backup_Road::Restored_Disk> Backup_Road::restored_disks() const
{
  const std::vector<Sim_Disk> all = engine().disks();
  std::vector<Restored_Disk> out;
  for (const Sim_Disk& disk : new_disks()) {
    Restored_Disk r;
    r.restored = disk;
    const size_t cut = disk.name.size() >= 15 ? disk.name.size() - 15 : std::string::npos;
    for (const Sim_Disk& s : all)
      if (cut != std::string::npos && disks_before_.count(s.id) != 0 && s.snapshot_id.empty() &&
          s.name == disk.name.substr(0, cut) && disk.name[cut] == '_')
        r.source = s;
    r.equal = !r.source.id.empty() && engine().disk_digest(r.source.id) == engine().disk_digest(disk.id);
    out.push_back(r);
  }
  return out;
}

}  // namespace test_support
