// Backup-method names, servant start-up, and the data-center and VM-by-name lookups
// against the engine simulator.

#include "backup/rhv/common/rhv_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/path_conf.h"
#include "tests/backup/rhv/api/engine_fixture.h"

using namespace engine_test;
using test_support::Engine_Fault;
using Lines = std::vector<std::string>;

namespace {

std::vector<std::string> names(const std::vector<RHV_VM>& vms)
{
  std::vector<std::string> out;
  for (const RHV_VM& vm : vms)
    out.push_back(vm.name);
  return out;
}

class Null_Callback : public ACE_Log_Msg_Callback {
public:
  void log(ACE_Log_Record&) override {}
};

}  // namespace

TEST(Backup_Method, names_compare_exactly_over_the_given_length)
{
  const struct {
    const char* name;
    int length;
    RHV_Backup_Method method;
  } rows[] = {{"nfc", 0, NFC},   {"san", 0, SAN},     {"nfcx", 3, NFC},  {"nfcx", 0, UNKNOWN},
              {"NFC", 0, UNKNOWN}, {"nf", 0, UNKNOWN}, {"", 0, UNKNOWN}, {nullptr, 0, UNKNOWN},
              {"san", 2, UNKNOWN}};
  for (const auto& row : rows)
    EXPECT_EQ(name_to_method(row.name, row.length), row.method) << (row.name ? row.name : "null") << " " << row.length;
  EXPECT_STREQ(method_to_name(NFC), "nfc");
  EXPECT_STREQ(method_to_name(SAN), "san");
  EXPECT_EQ(method_to_name(UNKNOWN), nullptr);
  EXPECT_EQ(method_to_name(static_cast<RHV_Backup_Method>(7)), nullptr);
}

TEST(Init_Servant, prepares_a_starter_from_the_servant_configuration)
{
  Standin_Env env;
  Servant servant;
  std::shared_ptr<ACE_Log_Msg_Callback> callback = std::make_shared<Null_Callback>();
  servant.set_flags(5);
  EXPECT_TRUE(init_servant(servant, VM_WEB1, callback));
  EXPECT_EQ(servant.kind(), "starter");
  EXPECT_EQ(servant.config_path(), env.root() + "/etc/opt/quillon/tessera3/rhv/servant/rhv/svc.conf");
  EXPECT_EQ(servant.config_path(),
            Path_Conf("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750).str());
  EXPECT_EQ(servant.tag(), VM_WEB1);
  EXPECT_EQ(servant.log_msg_callback(), callback);
  EXPECT_EQ(servant.flags(), 0u);
}

TEST(Get_Dc, follows_vm_cluster_and_data_center)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  RHV_Data_Center dc;
  ASSERT_TRUE(get_dc(c, VM_WEB3, dc));
  EXPECT_EQ(dc.id, DC_OTHER);
  EXPECT_EQ(f.take_request_lines(), (Lines{"GET /ovirt-engine/api/vms/" + VM_WEB3, "GET /ovirt-engine/api/clusters/" + CL_C,
                                           "GET /ovirt-engine/api/datacenters/" + DC_OTHER}));

  const struct {
    const char* what;
    std::string vm_id;
    std::string fail_path;
    std::string line;
  } rows[] = {
      {"empty id", "", "", "Failed to get vm by ''.\n"},
      {"vm", VM_WEB1, f.api("/vms/.*"), "Failed to get vm by '" + VM_WEB1 + "'.\n"},
      {"cluster", VM_WEB1, f.api("/clusters/.*"), "Failed to get cluster by '" + CL_A + "'.\n"},
      {"data center", VM_WEB1, f.api("/datacenters/.*"), "Failed to get datacenter by '" + DC_MAIN + "'.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (!row.fail_path.empty())
      f.fault(Engine_Fault::error_status, "GET", row.fail_path, 1, 404);
    Log_Capture log(true);
    RHV_Data_Center out;
    out.id = "kept";
    EXPECT_FALSE(get_dc(c, row.vm_id, out));
    EXPECT_EQ(log.texts(LM_ERROR).back(), row.line);
    EXPECT_EQ(out.id, "kept");
  }
  EXPECT_EQ(f.take_request_lines().size(), 6u);  // none for the empty id
}

TEST(Get_Vms, searches_by_name_within_the_agent_data_center)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  const std::string search = "GET /ovirt-engine/api/vms?search=name%3d%2aweb%2a&case_sensitive=0";

  std::vector<RHV_VM> vms;
  ASSERT_TRUE(get_vms(c, "", vms, "*web*"));
  EXPECT_EQ(names(vms), (std::vector<std::string>{"web1", "web2", "web3"}));
  EXPECT_EQ(f.take_request_lines(), Lines{search});

  ASSERT_TRUE(get_vms(c, AGENT_VM, vms, "*web*"));
  EXPECT_EQ(names(vms), (std::vector<std::string>{"web1", "web2"}));
  EXPECT_EQ(f.take_request_lines(),
            (Lines{"GET /ovirt-engine/api/vms/" + AGENT_VM, "GET /ovirt-engine/api/clusters/" + CL_A,
                   "GET /ovirt-engine/api/datacenters/" + DC_MAIN,
                   "GET /ovirt-engine/api/datacenters/" + DC_MAIN + "/clusters", search}));

  const std::string host = "127.0.0.1";
  const struct {
    const char* what;
    std::string agent;
    std::string fail_path;
    std::string line;
  } rows[] = {
      {"search, no agent", "", f.api("/vms"), "Failed to get RHV vms in '" + host + "' .\n"},
      {"agent vm", AGENT_VM, f.api("/vms/.*"), "Failed to get datacenter of '" + AGENT_VM + "' in '" + host + "'.\n"},
      {"clusters", AGENT_VM, f.api("/datacenters/.*/clusters"),
       "Failed to get clusters of '" + DC_MAIN + "' in '" + host + "'.\n"},
      {"search", AGENT_VM, f.api("/vms"), "Failed to get RHV vms in '" + host + "'.\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    f.fault(Engine_Fault::error_status, "GET", row.fail_path, 1, 500);
    Log_Capture log(true);
    std::vector<RHV_VM> out(1);
    EXPECT_FALSE(get_vms(c, row.agent, out, "*web*"));
    EXPECT_EQ(log.texts(LM_ERROR).back(), row.line);
    EXPECT_EQ(out.size(), 1u);
  }
}
