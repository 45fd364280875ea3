// The agent-VM manager against the engine simulator: what it reads once, the questions
// it answers from memory, and detaching disks left on the agent VM.

#include "backup/rhv/common/rhv_agent_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/backup/rhv/api/engine_fixture.h"

using namespace engine_test;
using test_support::Engine_Fault;
using Lines = std::vector<std::string>;

namespace {

RHV_Disk_Attachments attachments_of(RHV_Client& c, const std::string& vm_id)
{
  RHV_Disk_Attachments out;
  EXPECT_TRUE(c.vm_service().disk_attachment_service(vm_id).list(out, RHV_FOLLOW_DISK));
  return out;
}

}  // namespace

TEST(RHV_Agent_Manager, init_reads_the_agent_vm_and_its_data_center_once)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  RHV_Agent_Manager m;
  ASSERT_TRUE(m.init(c, AGENT_VM));
  const std::string A = "GET /ovirt-engine/api";
  EXPECT_EQ(f.take_request_lines(),
            (Lines{A + "/vms/" + AGENT_VM, A + "/vms/" + AGENT_VM + "/diskattachments?follow=disk", A + "/clusters/" + CL_A,
                   A + "/datacenters/" + DC_MAIN, A + "/datacenters/" + DC_MAIN + "/clusters"}));
  EXPECT_EQ(m.vm().name, "agent");
  EXPECT_EQ(m.data_center().id, DC_MAIN);

  RHV_VM web1, web3, renamed_agent;
  ASSERT_TRUE(c.vm_service().get(VM_WEB1, web1));
  ASSERT_TRUE(c.vm_service().get(VM_WEB3, web3));
  renamed_agent.id = AGENT_VM;
  renamed_agent.name = "not-the-agent-name";
  EXPECT_TRUE(m.is_agent_vm(renamed_agent));
  EXPECT_TRUE(m.is_agent_vm(AGENT_VM));
  EXPECT_FALSE(m.is_agent_vm(web1));
  EXPECT_TRUE(m.is_vm_in_agent_dc(web1));
  EXPECT_FALSE(m.is_vm_in_agent_dc(web3));
  EXPECT_TRUE(m.is_cluster_in_agent_dc(CL_B));
  EXPECT_FALSE(m.is_cluster_in_agent_dc(CL_C));
  EXPECT_TRUE(m.is_agent_dc(DC_MAIN));
  EXPECT_FALSE(m.is_agent_dc(DC_OTHER));
  ASSERT_NE(m.get_cluster(web1), nullptr);
  EXPECT_EQ(m.get_cluster(web1)->name, "cl-a");
  EXPECT_EQ(m.get_cluster(web3), nullptr);
  EXPECT_EQ(m.get_cluster(CL_B)->name, "cl-b");
  EXPECT_EQ(f.take_request_lines().size(), 2u);  // only the two reads of this test
}

TEST(RHV_Agent_Manager, init_stops_at_the_first_failed_read)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  const struct {
    std::string path;
    std::string line;
  } rows[] = {
      {f.api("/vms/" + AGENT_VM), "Failed to get RHV VM by id '" + AGENT_VM + "'.\n"},
      {f.api("/vms/.*/diskattachments"), "Failed to list disks of VM 'agent'.\n"},
      {f.api("/clusters/.*"), "Failed to get RHV cluster by id '" + CL_A + "'.\n"},
      {f.api("/datacenters/" + DC_MAIN), "Failed to get data center by id '" + DC_MAIN + "'.\n"},
      {f.api("/datacenters/.*/clusters"), "Failed to list clusters in data center '" + DC_MAIN + "'.\n"},
  };
  for (const auto& row : rows) {
    f.fault(Engine_Fault::error_status, "GET", row.path, 1, 500);
    Log_Capture log(true);
    RHV_Agent_Manager m;
    EXPECT_FALSE(m.init(c, AGENT_VM));
    EXPECT_EQ(log.texts(LM_ERROR).back(), row.line);
  }
  // An agent VM without disks is fine.
  f.answer("GET", f.api("/vms/.*/diskattachments"), 200, "{}");
  RHV_Agent_Manager m;
  EXPECT_TRUE(m.init(c, AGENT_VM));
}

TEST(RHV_Agent_Manager, detach_disks_unplugs_left_over_disks_once)
{
  Engine_Fixture f;
  // An earlier, interrupted backup left web1's disk attached to the agent VM as well.
  test_support::Sim_Disk_Attachment left;
  left.vm_id = AGENT_VM;
  left.disk_id = WEB1_DISK;
  ASSERT_TRUE(f.engine().attach_disk(left, true));
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Agent_Manager m;
  ASSERT_TRUE(m.init(c, AGENT_VM));
  const RHV_Disk_Attachments web1 = attachments_of(c, VM_WEB1);
  ASSERT_EQ(web1.size(), 1u);
  f.take_api_requests();

  // Disks that are not on the agent VM cost no request.
  EXPECT_TRUE(m.detach_disks(RHV_Disk_Attachments()));
  RHV_Disk_Attachments other(1);
  other[0].disk.id = SPARE_DISK;
  EXPECT_TRUE(m.detach_disks(other));
  EXPECT_TRUE(f.take_request_lines().empty());

  // A refused detach stops and keeps the disk for a later try.
  f.fault(Engine_Fault::error_status, "DELETE", ".*", 1, 409);
  Log_Capture log(true);
  EXPECT_FALSE(m.detach_disks(web1));
  EXPECT_EQ(log.texts(LM_ERROR).back(), "Failed to detach disk 'web1-data' from VM 'agent'.\n");
  f.take_api_requests();

  // The second VM listing the same (shared) disk finds nothing left to do.
  EXPECT_TRUE(m.detach_disks(web1));
  EXPECT_TRUE(m.detach_disks(web1));
  EXPECT_EQ(f.take_request_lines(),
            Lines{"DELETE /ovirt-engine/api/vms/" + AGENT_VM + "/diskattachments/" + WEB1_DISK + "?detach_only=1"});
  EXPECT_EQ(f.engine().attachments(AGENT_VM).size(), 1u);  // the agent's own disk stays
  EXPECT_EQ(f.engine().attachments(VM_WEB1).size(), 1u);
}
