#ifndef TESTS_BACKUP_RHV_API_ENGINE_FIXTURE_H
#define TESTS_BACKUP_RHV_API_ENGINE_FIXTURE_H

// A private platform configuration and an engine simulator with a small inventory, for
// the tests of the engine access code:
//
//   dc-main (DC_MAIN): clusters cl-a (CL_A) and cl-b (CL_B), storage domain SD_MAIN
//   dc-other (DC_OTHER): cluster cl-c (CL_C)
//   agent (AGENT_VM, in cl-a) with its own disk AGENT_DISK
//   web1 (VM_WEB1, cl-a, disk WEB1_DISK), web2 (VM_WEB2, cl-b), web3 (VM_WEB3, cl-c),
//   db1 (VM_DB1, cl-a); an unattached disk SPARE_DISK
//   network NET_MAIN of dc-main with the vNIC profile PROFILE_MAIN

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_client.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_tls.h"

namespace engine_test {

const std::string DC_MAIN = "d0000000-0000-4000-8000-000000000001";
const std::string DC_OTHER = "d0000000-0000-4000-8000-000000000002";
const std::string CL_A = "c0000000-0000-4000-8000-00000000000a";
const std::string CL_B = "c0000000-0000-4000-8000-00000000000b";
const std::string CL_C = "c0000000-0000-4000-8000-00000000000c";
const std::string SD_MAIN = "5d000000-0000-4000-8000-000000000001";
const std::string AGENT_VM = "a0000000-0000-4000-8000-000000000001";
const std::string VM_WEB1 = "e0000000-0000-4000-8000-000000000001";
const std::string VM_WEB2 = "e0000000-0000-4000-8000-000000000002";
const std::string VM_WEB3 = "e0000000-0000-4000-8000-000000000003";
const std::string VM_DB1 = "e0000000-0000-4000-8000-000000000004";
const std::string AGENT_DISK = "f0000000-0000-4000-8000-000000000001";
const std::string WEB1_DISK = "f0000000-0000-4000-8000-000000000002";
const std::string SPARE_DISK = "f0000000-0000-4000-8000-000000000003";
const std::string NET_MAIN = "0e000000-0000-4000-8000-000000000001";
const std::string PROFILE_MAIN = "0f000000-0000-4000-8000-000000000001";

const std::string USER = "admin@internal";
const std::string PASSWORD = "Pa ss/wo+rd%";

struct Engine_Options {
  bool tls = false;
  std::string url_prefix = "ovirt-engine";
};

class Engine_Fixture {
public:
  explicit Engine_Fixture(Engine_Options options = Engine_Options())
  {
    test_support::Engine_Config config;
    config.data_dir = dir_.file("data");
    config.device_dir = env_.device_dir();
    config.agent_vm_id = AGENT_VM;
    config.url_prefix = options.url_prefix;
    config.username = USER;
    config.password = PASSWORD;
    config.tls = options.tls;
    engine_.reset(new test_support::Engine_Simulator(config));
    seed();
    EXPECT_TRUE(engine_->start());
    if (options.tls)
      env_.set("engine_ca_file", engine_->ca_file());
  }

  test_support::Engine_Simulator& engine() { return *engine_; }
  Standin_Env& env() { return env_; }
  const std::string& dir() const { return dir_.path(); }
  unsigned short port() const { return engine_->port(); }
  std::string api(const std::string& relative = "") const { return engine_->api_path(relative); }

  // Logs in as the simulator's user; the prefix given is passed as the record's.
  bool login(RHV_Client& client, const std::string& auth_type = "basic", const std::string& password = PASSWORD,
             const std::string& url_prefix = "")
  {
    return client.login(auth_type, "127.0.0.1", port(), engine_->tls(), USER,
                        secure_string(password.c_str(), password.size()), url_prefix);
  }

  // The requests to the API (the token endpoint left out), cleared afterwards.
  std::vector<test_support::Engine_Request> take_api_requests()
  {
    std::vector<test_support::Engine_Request> out;
    for (test_support::Engine_Request& r : engine_->requests())
      if (r.path != engine_->token_path())
        out.push_back(std::move(r));
    engine_->clear_requests();
    return out;
  }

  // "METHOD path?query" of each API request, cleared afterwards.
  std::vector<std::string> take_request_lines()
  {
    std::vector<std::string> out;
    for (const test_support::Engine_Request& r : take_api_requests())
      out.push_back(r.method + " " + r.path + (r.query.empty() ? "" : "?" + r.query));
    return out;
  }

  // A fault answering `status` with `body` for calls of `method` on `path`.
  int answer(const std::string& method, const std::string& path, int status, const std::string& body,
             int count = 1, const std::string& content_type = "application/json")
  {
    test_support::Engine_Fault f;
    f.method = method;
    f.path = path;
    f.kind = test_support::Engine_Fault::custom;
    f.status_code = status;
    f.body = body;
    f.content_type = content_type;
    f.count = count;
    return engine_->add_fault(f);
  }

  int fault(test_support::Engine_Fault::Kind kind, const std::string& method, const std::string& path, int count = 1,
            int status = 500)
  {
    test_support::Engine_Fault f;
    f.method = method;
    f.path = path;
    f.kind = kind;
    f.status_code = status;
    f.count = count;
    return engine_->add_fault(f);
  }

private:
  void seed()
  {
    using namespace test_support;
    test_support::Engine_Simulator& e = *engine_;
    e.add_data_center({DC_MAIN, "dc-main", "", "up", false});
    e.add_data_center({DC_OTHER, "dc-other", "", "up", false});
    Sim_Cluster cl;
    cl.id = CL_A, cl.name = "cl-a", cl.data_center_id = DC_MAIN;
    e.add_cluster(cl);
    cl.id = CL_B, cl.name = "cl-b", cl.data_center_id = DC_MAIN;
    e.add_cluster(cl);
    cl.id = CL_C, cl.name = "cl-c", cl.data_center_id = DC_OTHER;
    e.add_cluster(cl);
    Sim_Storage_Domain sd;
    sd.id = SD_MAIN, sd.name = "sd-main", sd.available = 100LL << 30, sd.used = 10LL << 30;
    sd.data_center_ids = {DC_MAIN};
    e.add_storage_domain(sd);
    const struct {
      const std::string& id;
      const char* name;
      const std::string& cluster;
    } vms[] = {{AGENT_VM, "agent", CL_A}, {VM_WEB1, "web1", CL_A}, {VM_WEB2, "web2", CL_B},
               {VM_WEB3, "web3", CL_C}, {VM_DB1, "db1", CL_A}};
    for (const auto& v : vms) {
      Sim_VM vm;
      vm.id = v.id, vm.name = v.name, vm.cluster_id = v.cluster;
      e.add_vm(vm);
    }
    Sim_Disk disk;
    disk.id = AGENT_DISK, disk.name = "agent-root", disk.storage_domain_id = SD_MAIN;
    disk.provisioned_size = 1 << 20;
    e.add_disk(disk);
    disk.id = WEB1_DISK, disk.name = "web1-data";
    e.add_disk(disk);
    disk.id = SPARE_DISK, disk.name = "spare";
    e.add_disk(disk);
    Sim_Network net;
    net.id = NET_MAIN, net.name = "ovirtmgmt", net.data_center_id = DC_MAIN;
    e.add_network(net);
    Sim_VNIC_Profile profile;
    profile.id = PROFILE_MAIN, profile.name = "ovirtmgmt", profile.network_id = NET_MAIN;
    e.add_vnic_profile(profile);
    Sim_Disk_Attachment att;
    att.vm_id = AGENT_VM, att.disk_id = AGENT_DISK, att.bootable = true;
    e.attach_disk(att);
    att.vm_id = VM_WEB1, att.disk_id = WEB1_DISK;
    e.attach_disk(att);
  }

  Standin_Env env_;
  test_support::Temp_Dir dir_{"engine-test"};
  std::unique_ptr<test_support::Engine_Simulator> engine_;
};

}  // namespace engine_test

#endif
