#include "tests/support/engine_simulator_servant_road.h"

#include <sys/stat.h>

#include <cerrno>
#include <fstream>

#include "platform/servant/servant_endpoint.h"

namespace test_support {

const char* const Backup_Road::DEFAULT_OPTIONS = R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0})";

Backup_Road::Backup_Road(const std::string& module, const std::string& servant_host, unsigned size_factor)
  : Servant_Test_Bed({}, size_factor), module_(module), servant_host_(servant_host), host_(new Test_Job_Host(module))
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
  // The jobs' detached threads let go of the module's objects, and end, before the host
  // goes.
  Test_Job_Host::wait_threads(120);
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
  std::string error;
  Job_Definition_var def = host_->make_definition(definition_json(def_id, extra), source_doc, options_doc, &error);
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
  return job;
}

bool Backup_Road::wait(const Job_var& job, int seconds)
{
  return job.get() != nullptr && job->wait_complete(seconds, 1);
}

Job_var Backup_Road::run(const std::string& def_id, const std::string& source_doc, const std::string& options_doc,
                         const std::string& extra)
{
  Job_var job = start(def_id, source_doc, options_doc, extra);
  if (job.get() != nullptr && !wait(job))
    ADD_FAILURE() << "the job did not end";
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

}  // namespace test_support
