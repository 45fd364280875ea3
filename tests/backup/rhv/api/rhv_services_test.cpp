// Resource services against the engine simulator: the exact request of every operation
// (path, follow and search parameters, remove flags, bodies), the cluster filter of VM
// lists, ids from outside the engine in URL paths, and records left as they were.

#include "backup/rhv/api/rhv_infra_services.h"
#include "backup/rhv/api/rhv_vm_services.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/backup/rhv/api/engine_fixture.h"

using namespace engine_test;
using json_spirit::Value;
using Lines = std::vector<std::string>;

namespace {

std::vector<std::string> ids(const RHV_VMs& vms)
{
  std::vector<std::string> out;
  for (const RHV_VM& vm : vms)
    out.push_back(vm.id);
  return out;
}

}  // namespace

TEST(RHV_Services, each_operation_sends_its_exact_request)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  const std::string snapshot = f.engine().add_snapshot(VM_DB1, "earlier");
  f.take_api_requests();
  const std::string A = "/ovirt-engine/api";

  RHV_Data_Centers dcs;
  RHV_Data_Center dc;
  RHV_Clusters clusters;
  RHV_Cluster cluster;
  RHV_Networks networks;
  RHV_VNIC_Profiles profiles;
  RHV_Storage_Domains domains;
  RHV_Storage_Domain domain;
  RHV_Hosts hosts;
  RHV_VMs vms;
  RHV_VM vm;
  RHV_Disk_Attachments atts;
  RHV_Disk_Attachment att;
  RHV_NICs nics;
  RHV_Snapshots snapshots;
  RHV_Disks disks;
  RHV_Disk disk;
  Value v;
  const struct {
    std::function<bool()> call;
    std::string request;
  } rows[] = {
      {[&] { return c.data_center_service().list(dcs); }, "GET " + A + "/datacenters"},
      {[&] { return c.data_center_service().get(DC_MAIN, dc); }, "GET " + A + "/datacenters/" + DC_MAIN},
      {[&] { return c.data_center_service().cluster_service(DC_MAIN).list(clusters); },
       "GET " + A + "/datacenters/" + DC_MAIN + "/clusters"},
      {[&] { return c.data_center_service().storage_domain_service(DC_MAIN).list(domains); },
       "GET " + A + "/datacenters/" + DC_MAIN + "/storagedomains"},
      {[&] { return c.data_center_service().network_service(DC_MAIN).list(networks); },
       "GET " + A + "/datacenters/" + DC_MAIN + "/networks"},
      {[&] { return c.cluster_service().list(clusters); }, "GET " + A + "/clusters"},
      {[&] { return c.cluster_service().list("cl-*", clusters, false); },
       "GET " + A + "/clusters?search=name%3dcl-%2a&case_sensitive=0"},
      {[&] { return c.cluster_service().list(v, "name=cl a", true); },
       "GET " + A + "/clusters?search=name%3dcl+a&case_sensitive=1"},
      {[&] { return c.cluster_service().get(CL_A, cluster); }, "GET " + A + "/clusters/" + CL_A},
      {[&] { return c.network_service().get(NET_MAIN, v); }, "GET " + A + "/networks/" + NET_MAIN},
      {[&] { return c.network_service().vnic_profile_service(NET_MAIN).list(profiles); },
       "GET " + A + "/networks/" + NET_MAIN + "/vnicprofiles"},
      {[&] { return c.vnic_profile_service().get(PROFILE_MAIN, v); }, "GET " + A + "/vnicprofiles/" + PROFILE_MAIN},
      {[&] { return c.storage_domain_service().get(SD_MAIN, domain); }, "GET " + A + "/storagedomains/" + SD_MAIN},
      {[&] { return c.host_service().list(hosts); }, "GET " + A + "/hosts"},
      {[&] { return c.vm_service().list(vms); }, "GET " + A + "/vms"},
      {[&] { return c.vm_service().list(vms, RHV_FOLLOW_DISK | RHV_FOLLOW_NICS); },
       "GET " + A + "/vms?follow=disk_attachments.disk%2cnics"},
      {[&] { return c.vm_service().list(vms, RHV_FOLLOW_DISK_ATTACHMENTS | RHV_FOLLOW_NICS); },
       "GET " + A + "/vms?follow=disk_attachments%2cnics"},
      {[&] { return c.vm_service().list(vms, RHV_FOLLOW_DISKS); }, "GET " + A + "/vms"},
      {[&] { return c.vm_service().list("web*", vms, RHV_NO_FOLLOW, false); },
       "GET " + A + "/vms?search=name%3dweb%2a&case_sensitive=0"},
      {[&] { return c.vm_service().list(v, "nics", "name=db1", true); },
       "GET " + A + "/vms?follow=nics&search=name%3ddb1&case_sensitive=1"},
      {[&] { return c.vm_service().get(VM_WEB1, vm, RHV_FOLLOW_DISK); },
       "GET " + A + "/vms/" + VM_WEB1 + "?follow=disk_attachments.disk"},
      {[&] { return c.vm_service().get(VM_WEB1, vm, RHV_FOLLOW_DISK_ATTACHMENTS); },
       "GET " + A + "/vms/" + VM_WEB1 + "?follow=disk_attachments"},
      {[&] { return c.vm_service().get(VM_WEB1, vm, RHV_FOLLOW_NICS); }, "GET " + A + "/vms/" + VM_WEB1 + "?follow=nics"},
      {[&] { return c.vm_service().disk_attachment_service(VM_WEB1).list(atts, RHV_FOLLOW_DISK); },
       "GET " + A + "/vms/" + VM_WEB1 + "/diskattachments?follow=disk"},
      {[&] { return c.vm_service().disk_attachment_service(VM_WEB1).list(atts, RHV_FOLLOW_NICS); },
       "GET " + A + "/vms/" + VM_WEB1 + "/diskattachments"},
      {[&] { return c.vm_service().disk_attachment_service(VM_WEB1).get(WEB1_DISK, att, RHV_FOLLOW_DISK); },
       "GET " + A + "/vms/" + VM_WEB1 + "/diskattachments/" + WEB1_DISK + "?follow=disk"},
      {[&] { return c.vm_service().nic_service(VM_WEB1).list(nics); }, "GET " + A + "/vms/" + VM_WEB1 + "/nics"},
      {[&] { return c.vm_service().snapshot_service(VM_DB1).list(snapshots); },
       "GET " + A + "/vms/" + VM_DB1 + "/snapshots"},
      {[&] { return c.vm_service().snapshot_service(VM_DB1).disk_service(snapshot).list(disks); },
       "GET " + A + "/vms/" + VM_DB1 + "/snapshots/" + snapshot + "/disks"},
      {[&] { return c.vm_service().snapshot_service(VM_DB1).nic_service(snapshot).list(nics); },
       "GET " + A + "/vms/" + VM_DB1 + "/snapshots/" + snapshot + "/nics"},
      {[&] { return c.disk_service().get(WEB1_DISK, disk); }, "GET " + A + "/disks/" + WEB1_DISK},
      {[&] { return c.vm_service().start(VM_DB1); }, "POST " + A + "/vms/" + VM_DB1 + "/start"},
      {[&] { return c.vm_service().disk_attachment_service(VM_WEB1).remove(WEB1_DISK, true); },
       "DELETE " + A + "/vms/" + VM_WEB1 + "/diskattachments/" + WEB1_DISK + "?detach_only=1"},
      {[&] { return c.vm_service().snapshot_service(VM_DB1).remove(snapshot); },
       "DELETE " + A + "/vms/" + VM_DB1 + "/snapshots/" + snapshot},
      {[&] { return c.disk_service().remove(SPARE_DISK); }, "DELETE " + A + "/disks/" + SPARE_DISK},
      {[&] { return c.vm_service().remove(VM_WEB2, true, false); },
       "DELETE " + A + "/vms/" + VM_WEB2 + "?detach_only=1&force=0"},
  };
  for (const auto& row : rows) {
    Log_Capture log(true);
    EXPECT_TRUE(row.call()) << row.request << "\n" << log.dump();
    EXPECT_EQ(f.take_request_lines(), Lines{row.request});
  }
  // Reads arrived as records.
  EXPECT_EQ(dcs.size(), 2u);
  EXPECT_EQ(dc.name, "dc-main");
  EXPECT_EQ(cluster.data_center.id, DC_MAIN);
  EXPECT_EQ(domain.available, 100L << 30);
  EXPECT_EQ(disk.name, "web1-data");
  EXPECT_EQ(profiles.size(), 1u);
}

TEST(RHV_Services, add_posts_the_record_and_reads_back_the_created_entity)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();

  RHV_VM vm;
  vm.name = "restored";
  vm.cluster.id = CL_A;
  const std::string vm_body = JSON_Dump(vm.dump()).str();
  ASSERT_TRUE(c.vm_service().add(vm));
  EXPECT_FALSE(vm.id.empty());
  EXPECT_EQ(vm.name, "restored");
  EXPECT_FALSE(vm.status.empty());

  RHV_Disk in;
  in.name = "restored-disk";
  in.provisioned_size = 1 << 20;
  in.format = "raw";
  in.storage_domains.resize(1);
  in.storage_domains[0].id = SD_MAIN;
  RHV_Disk out;
  ASSERT_TRUE(c.disk_service().add(in, out));
  EXPECT_FALSE(out.id.empty());
  EXPECT_TRUE(in.id.empty());

  const std::vector<test_support::Engine_Request> r = f.take_api_requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].method + " " + r[0].path + r[0].query, "POST /ovirt-engine/api/vms");
  Value sent;
  ASSERT_TRUE(json_spirit::parse(r[0].body, sent));
  EXPECT_EQ(JSON_Dump(sent).str(), vm_body);
  EXPECT_EQ(r[1].method + " " + r[1].path + r[1].query, "POST /ovirt-engine/api/disks");
  ASSERT_TRUE(json_spirit::parse(r[1].body, sent));
  EXPECT_EQ(sent, Value(in.dump()));

  // A refused add names the body it sent.
  RHV_NIC nic;
  nic.name = "nic1";
  f.fault(test_support::Engine_Fault::error_status, "POST", ".*", 1, 400);
  Log_Capture log(true);
  EXPECT_FALSE(c.vm_service().nic_service(vm.id).add(nic));
  EXPECT_EQ(log.texts(LM_ERROR).back(),
            "Failed to call 'POST /vms/" + vm.id + "/nics', data {\"name\":\"nic1\"}.\n");
}

TEST(RHV_Services, vm_lists_of_a_cluster_hold_only_its_vms)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_VMs vms;
  ASSERT_TRUE(c.cluster_service().vm_service(CL_A).list(vms));
  EXPECT_EQ(ids(vms), (std::vector<std::string>{AGENT_VM, VM_WEB1, VM_DB1}));
  ASSERT_TRUE(c.cluster_service().vm_service(CL_A).list("web*", vms, RHV_NO_FOLLOW, false));
  EXPECT_EQ(ids(vms), std::vector<std::string>{VM_WEB1});

  const std::string path = f.api("/vms");
  const struct {
    const char* what;
    std::string reply;
    bool ok;
    std::vector<std::string> ids;
  } rows[] = {
      {"empty reply", "{}", true, {}},
      {"empty vm list", "{\"vm\":[]}", false, {"kept"}},
      {"no vm list", "{\"other\":1}", false, {"kept"}},
      {"mixed", "{\"vm\":[{\"id\":\"1\",\"cluster\":{\"id\":\"" + CL_A + "\"}},{\"id\":\"2\"},{\"id\":\"3\",\"cluster\":{\"id\":\"" +
                    CL_B + "\"}}]}",
       true, {"1", "2"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    f.answer("GET", path, 200, row.reply);
    Log_Capture log(true);
    RHV_VMs out(1);
    out[0].id = "kept";
    EXPECT_EQ(c.cluster_service().vm_service(CL_A).list(out), row.ok);
    EXPECT_EQ(ids(out), row.ids);
    EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
  }
  // Without a cluster the reply is taken as it is.
  f.answer("GET", path, 200, "{\"vm\":[]}");
  EXPECT_TRUE(c.vm_service().list(vms));
  EXPECT_TRUE(vms.empty());
}

TEST(RHV_Services, ids_from_outside_the_engine_stay_one_path_segment)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  const std::string A = "GET /ovirt-engine/api";
  const struct {
    std::string id;
    std::string request;
  } rows[] = {
      {"x/../../datacenters", A + "/vms/x%2f..%2f..%2fdatacenters"},
      {"..", A + "/vms/%2e%2e"},
      {".", A + "/vms/%2e"},
      {"a b?c#d&e=f%", A + "/vms/a%20b%3fc%23d%26e%3df%25"},
      {VM_WEB1, A + "/vms/" + VM_WEB1},
  };
  for (const auto& row : rows) {
    Log_Capture log(true);
    RHV_VM vm;
    c.vm_service().get(row.id, vm);
    EXPECT_EQ(f.take_request_lines(), Lines{row.request});
  }
  RHV_Disk_Attachments atts;
  RHV_Disks disks;
  Log_Capture log(true);
  c.vm_service().disk_attachment_service("../disks").list(atts);
  c.vm_service().snapshot_service("v/1").disk_service("s/2").list(disks);
  EXPECT_EQ(f.take_request_lines(),
            (Lines{A + "/vms/..%2fdisks/diskattachments", A + "/vms/v%2f1/snapshots/s%2f2/disks"}));
  EXPECT_EQ(c.vm_service().disk_attachment_service("../disks").vm_id(), "../disks");
}

TEST(RHV_Services, typed_reads_keep_the_record_when_the_reply_does_not_load)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.answer("GET", f.api("/vms/" + VM_WEB1), 200, "{\"name\":\"no id\"}");
  RHV_VM vm;
  vm.id = "kept";
  Log_Capture log(true);
  EXPECT_FALSE(c.vm_service().get(VM_WEB1, vm));
  EXPECT_EQ(vm.id, "kept");
  EXPECT_FALSE(log.texts(LM_ERROR).empty());
  EXPECT_EQ(log.count("Failed to call"), 0u) << log.dump();

  // An empty reply object is an empty list.
  f.answer("GET", f.api("/hosts"), 200, "{}");
  RHV_Hosts hosts(3);
  EXPECT_TRUE(c.host_service().list(hosts));
  EXPECT_TRUE(hosts.empty());

  // A failed remove names the collection and the id.
  log.clear();
  EXPECT_FALSE(c.disk_service().remove("no-such-disk"));
  EXPECT_EQ(log.texts(LM_ERROR).back(), "Failed to call 'DELETE /disks/no-such-disk'.\n");
}
