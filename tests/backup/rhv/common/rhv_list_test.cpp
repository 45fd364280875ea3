#include "backup/rhv/common/rhv_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/rhv/api/rhv_client.h"
#include "tests/backup/rhv/websvcs_agent/inventory_fixture.h"
#include "tests/support/log_capture.h"

namespace {

using namespace inventory_test;
using Nodes = std::vector<json_spirit::Value>;
using test_support::Engine_Fault;

const std::string MiB = std::to_string(inv::MiB);

// Expected nodes, as JSON text.
std::string q(const std::string& s)
{
  return "\"" + s + "\"";
}
std::string dc_node(const char* id, const char* name)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"has_children\":true,\"type\":\"Datacenter\"}";
}
std::string cluster_node(const char* id, const char* name, const char* dc)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"data_center_id\":" + q(dc) +
         ",\"type\":\"Cluster\",\"has_children\":true}";
}
std::string recovery_cluster_node(const char* id, const char* name, const char* dc)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"data_center_id\":" + q(dc) + ",\"type\":\"Cluster\"}";
}
std::string found_cluster_node(const char* id, const char* name)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"has_children\":false,\"type\":\"Cluster\"}";
}
std::string vm_node(const char* id, const char* name, const char* status)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"status\":" + q(status) +
         ",\"has_children\":false,\"type\":\"VirtualMachine\"}";
}
std::string disk_node(const char* id, const char* name, long mib, bool bootable, bool shareable)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"has_children\":false,\"type\":\"Disk\",\"size\":" +
         std::to_string(mib * inv::MiB) + ",\"bootable\":" + (bootable ? "true" : "false") +
         ",\"shareable\":" + (shareable ? "true" : "false") + "}";
}
std::string sd_node(const char* id, const char* name, const char* dc)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) +
         ",\"status\":\"active\",\"type\":\"StorageDomain\",\"data_centers\":[{\"id\":" + q(dc) + ",\"name\":\"\"}]}";
}
std::string profile_node(const char* id, const char* name, const char* dc)
{
  return "{\"name\":" + q(name) + ",\"moid\":" + q(id) + ",\"data_center_id\":" + q(dc) + ",\"type\":\"VnicProfiles\"}";
}
std::string array(const std::vector<std::string>& nodes)
{
  std::string out = "[";
  for (const std::string& n : nodes)
    out += (out.size() > 1 ? "," : "") + n;
  return canon(out + "]");
}

class Lister_Test : public ::testing::Test {
protected:
  void SetUp() override
  {
    Log_Capture quiet(true);
    ASSERT_TRUE(client_.login("basic", "127.0.0.1", f_.engine().port(), false, ENGINE_USER,
                              secure_string(ENGINE_PASSWORD), ""));
    f_.engine().clear_requests();
  }

  RHV_Lister lister(const std::string& type, const std::string& view, const std::string& moid,
                    const std::string& search_type = "", const std::string& agent = inv::AGENT_VM_ID)
  {
    return RHV_Lister(client_, type, view, moid, search_type, agent);
  }

  std::string api(const std::string& relative) { return f_.engine().api_path(relative); }

  int fail(const std::string& path, const std::string& method = "GET")
  {
    Engine_Fault fault;
    fault.method = method;
    fault.path = path;
    fault.status_code = 500;
    fault.count = -1;
    return f_.engine().add_fault(fault);
  }

  int answer(const std::string& path, const std::string& body)
  {
    Engine_Fault fault;
    fault.method = "GET";
    fault.path = path;
    fault.kind = Engine_Fault::custom;
    fault.status_code = 200;
    fault.body = body;
    fault.count = -1;
    return f_.engine().add_fault(fault);
  }

  Inventory_Fixture f_;
  RHV_Client client_;
};

TEST(List_Types, names_map_to_types_exactly)
{
  const struct {
    const char* name;
    RHV_List_Type type;
  } cases[] = {
      {"", RHV_LIST_TOP_TYPE},
      {"Datacenter", RHV_LIST_DATACENTER_TYPE},
      {"StorageDomain", RHV_LIST_STORAGE_TYPE},
      {"Cluster", RHV_LIST_CLUSTER_TYPE},
      {"VirtualMachine", RHV_LIST_VM_TYPE},
      {"VnicProfiles", RVH_LIST_VNIC_PROFILES_TYPE},
      {"cluster", RHV_LIST_UNKNOWN},
      {"Clusters", RHV_LIST_UNKNOWN},
      {"Cluste", RHV_LIST_UNKNOWN},
      {"Disk", RHV_LIST_UNKNOWN},
      {" ", RHV_LIST_UNKNOWN},
      {nullptr, RHV_LIST_UNKNOWN},
  };
  for (const auto& c : cases)
    EXPECT_EQ(list_name_to_type(c.name), c.type) << (c.name ? c.name : "(null)");

  EXPECT_EQ(RHV_LIST_VM_TYPE, 1);
  EXPECT_EQ(RHV_LIST_CLUSTER_TYPE, 2);
  EXPECT_EQ(RHV_LIST_STORAGE_TYPE, 3);
  EXPECT_EQ(RVH_LIST_VNIC_PROFILES_TYPE, 4);
  EXPECT_EQ(RHV_LIST_DATACENTER_TYPE, 5);
  EXPECT_EQ(RHV_LIST_TOP_TYPE, 6);

  const char* names[] = {"", "Datacenter", "StorageDomain", "Cluster", "VirtualMachine", "VnicProfiles"};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_STREQ(list_type_table[i].key, names[i]);
    EXPECT_EQ(list_type_table[i].len, std::string(names[i]).size());
  }
  EXPECT_EQ(list_type_table[6].key, nullptr);
  EXPECT_EQ(list_type_table[6].value, RHV_LIST_UNKNOWN);
}

TEST_F(Lister_Test, every_level_of_both_views_lists_the_sample_inventory)
{
  using namespace sample_inventory;
  const struct {
    const char* type;
    const char* view;
    std::string moid;
    std::string expected;
  } cases[] = {
      // The top is the agent VM's data center, whatever the moid says.
      {"", "", "", array({dc_node(DC_EAST_ID, "east")})},
      {"", "", DC_WEST_ID, array({dc_node(DC_EAST_ID, "east")})},
      // A view that is "recovery" only up to letter case is the default view.
      {"", "Recovery", "", array({dc_node(DC_EAST_ID, "east")})},
      {"Datacenter", "", DC_EAST_ID,
       array({cluster_node(CLUSTER_EAST_PROD_ID, "east-prod", DC_EAST_ID),
              cluster_node(CLUSTER_EAST_DEV_ID, "east-dev", DC_EAST_ID)})},
      // Deeper levels list whatever node the request names, in any data center.
      {"Datacenter", "", DC_WEST_ID, array({cluster_node(CLUSTER_WEST_PROD_ID, "west-prod", DC_WEST_ID)})},
      // The agent VM (in east-prod) is never listed.
      {"Cluster", "", CLUSTER_EAST_PROD_ID, array({vm_node(VM_WEB_ID, "web-01", "up"), vm_node(VM_DB_ID, "db-01", "up")})},
      {"Cluster", "", CLUSTER_EAST_DEV_ID,
       array({vm_node(VM_APP_ID, "app-02", "down"), vm_node(VM_EMPTY_ID, "empty-01", "down")})},
      {"Cluster", "", CLUSTER_WEST_PROD_ID, array({vm_node(VM_WEST_ID, "west-01", "up")})},
      {"Cluster", "", "no-such-cluster", array({})},
      {"VirtualMachine", "", VM_WEB_ID,
       array({disk_node(DISK_WEB_OS_ID, "web-01_Disk1", 16, true, false),
              disk_node(DISK_WEB_DATA_ID, "web-01_data", 8, false, false)})},
      {"VirtualMachine", "", VM_DB_ID,
       array({disk_node(DISK_DB_OS_ID, "db-01_Disk1", 16, true, false),
              disk_node(DISK_DB_DATA_ID, "db-01_data", 32, false, false),
              disk_node(DISK_DB_LOG_ID, "db-01_log", 4, false, false),
              disk_node(DISK_SHARED_ID, "shared-data", 4, false, true)})},
      {"VirtualMachine", "", VM_EMPTY_ID, array({})},
      {"Cluster", "recovery", "ignored",
       array({recovery_cluster_node(CLUSTER_EAST_PROD_ID, "east-prod", DC_EAST_ID),
              recovery_cluster_node(CLUSTER_EAST_DEV_ID, "east-dev", DC_EAST_ID)})},
      {"StorageDomain", "recovery", "",
       array({sd_node(SD_EAST_NFS_ID, "east-nfs", DC_EAST_ID), sd_node(SD_EAST_ISCSI_ID, "east-iscsi", DC_EAST_ID),
              sd_node(SD_EAST_LOW_ID, "east-low", DC_EAST_ID), sd_node(SD_EAST_ISO_ID, "east-iso", DC_EAST_ID)})},
      // Every profile carries its network's data center, also two of one network.
      {"VnicProfiles", "recovery", DC_WEST_ID,
       array({profile_node(PROFILE_EAST_MGMT_ID, "ovirtmgmt", DC_EAST_ID),
              profile_node(PROFILE_EAST_BACKEND_ID, "backend", DC_EAST_ID),
              profile_node(PROFILE_EAST_MIRROR_ID, "backend-mirror", DC_EAST_ID)})},
  };
  for (const auto& c : cases) {
    Log_Capture log(true);
    Nodes nodes;
    EXPECT_TRUE(lister(c.type, c.view, c.moid).list(nodes)) << c.type << "/" << c.view << "/" << c.moid;
    EXPECT_EQ(dump(json_spirit::Value(nodes)), c.expected) << c.type << "/" << c.view << "/" << c.moid;
    EXPECT_TRUE(log.texts(LM_ERROR).empty()) << log.dump();
  }
}

TEST_F(Lister_Test, disks_take_one_get_each_and_nodes_are_appended)
{
  Nodes nodes{json_spirit::Value("already there")};
  ASSERT_TRUE(lister("VirtualMachine", "", inv::VM_APP_ID).list(nodes));
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(dump(nodes[0]), "\"already there\"");
  EXPECT_EQ(f_.take_request_lines(),
            (std::vector<std::string>{"GET " + api(std::string("/vms/") + inv::VM_APP_ID + "/diskattachments"),
                                      "GET " + api(std::string("/disks/") + inv::DISK_APP_OS_ID),
                                      "GET " + api(std::string("/disks/") + inv::DISK_SHARED_ID)}));
}

TEST_F(Lister_Test, a_disk_that_cannot_be_read_is_an_empty_node_in_its_place)
{
  fail(api(std::string("/disks/") + inv::DISK_DB_DATA_ID));
  Log_Capture log(true);
  Nodes nodes;
  ASSERT_TRUE(lister("VirtualMachine", "", inv::VM_DB_ID).list(nodes));
  EXPECT_EQ(dump(json_spirit::Value(nodes)),
            array({disk_node(inv::DISK_DB_OS_ID, "db-01_Disk1", 16, true, false), "{}",
                   disk_node(inv::DISK_DB_LOG_ID, "db-01_log", 4, false, false),
                   disk_node(inv::DISK_SHARED_ID, "shared-data", 4, false, true)}));
}

TEST_F(Lister_Test, fields_the_engine_leaves_out_are_empty_never_those_of_the_disk_before)
{
  // The first disk comes with every field, the second with its id and name only.
  answer(api(std::string("/disks/") + inv::DISK_WEB_OS_ID),
         std::string("{\"id\":\"") + inv::DISK_WEB_OS_ID +
             "\",\"name\":\"full\",\"provisioned_size\":\"5\",\"shareable\":\"true\"}");
  answer(api(std::string("/disks/") + inv::DISK_WEB_DATA_ID),
         std::string("{\"id\":\"") + inv::DISK_WEB_DATA_ID + "\",\"name\":\"bare\"}");
  Nodes nodes;
  ASSERT_TRUE(lister("VirtualMachine", "", inv::VM_WEB_ID).list(nodes));
  EXPECT_EQ(dump(json_spirit::Value(nodes)),
            canon(std::string("[{\"name\":\"full\",\"moid\":\"") + inv::DISK_WEB_OS_ID +
                  "\",\"has_children\":false,\"type\":\"Disk\",\"size\":5,\"bootable\":true,\"shareable\":true},"
                  "{\"name\":\"bare\",\"moid\":\"" +
                  inv::DISK_WEB_DATA_ID +
                  "\",\"has_children\":false,\"type\":\"Disk\",\"size\":-1,\"bootable\":false,"
                  "\"shareable\":false}]"));
}

TEST_F(Lister_Test, links_without_names_and_records_without_status_give_empty_texts)
{
  answer(api(std::string("/datacenters/") + inv::DC_EAST_ID + "/storagedomains"),
         R"({"storage_domain":[{"id":"sd-1","name":"one","data_centers":{"data_center":[
            {"id":"dc-a","name":"alpha"},{"id":"dc-b"}]}}]})");
  answer(api("/vms"), std::string(R"({"vm":[{"id":"vm-1","name":"nameless-status","cluster":{"id":")") +
                          inv::CLUSTER_EAST_DEV_ID + "\"}}]}");
  Nodes nodes;
  ASSERT_TRUE(lister("StorageDomain", "recovery", "").list(nodes));
  ASSERT_TRUE(lister("Cluster", "", inv::CLUSTER_EAST_DEV_ID).list(nodes));
  EXPECT_EQ(dump(json_spirit::Value(nodes)),
            canon(R"([{"name":"one","moid":"sd-1","status":"","type":"StorageDomain","data_centers":[
                        {"id":"dc-a","name":"alpha"},{"id":"dc-b","name":""}]},
                      {"name":"nameless-status","moid":"vm-1","status":"","has_children":false,
                       "type":"VirtualMachine"}])"));
}

TEST_F(Lister_Test, searches_match_anywhere_in_the_name_ignoring_case_within_the_agent_data_center)
{
  using namespace sample_inventory;
  const struct {
    const char* search_type;
    const char* text;
    std::string expected;
  } cases[] = {
      {"VirtualMachine", "WEB", array({vm_node(VM_WEB_ID, "web-01", "up")})},
      // west-01 lies in another data center; the agent VM is never found.
      {"VirtualMachine", "-0",
       array({vm_node(VM_WEB_ID, "web-01", "up"), vm_node(VM_DB_ID, "db-01", "up"),
              vm_node(VM_APP_ID, "app-02", "down"), vm_node(VM_EMPTY_ID, "empty-01", "down")})},
      {"VirtualMachine", "agent", array({})},
      {"VirtualMachine", "e*-01", array({vm_node(VM_WEB_ID, "web-01", "up"), vm_node(VM_EMPTY_ID, "empty-01", "down")})},
      {"VirtualMachine", "no such vm", array({})},
      {"Cluster", "PROD", array({found_cluster_node(CLUSTER_EAST_PROD_ID, "east-prod")})},
      {"Cluster", "",
       array({found_cluster_node(CLUSTER_EAST_PROD_ID, "east-prod"),
              found_cluster_node(CLUSTER_EAST_DEV_ID, "east-dev")})},
      {"Cluster", "west", array({})},
  };
  for (const auto& c : cases) {
    Nodes nodes;
    EXPECT_TRUE(lister("", "", "", c.search_type).search(c.text, nodes)) << c.search_type << " " << c.text;
    EXPECT_EQ(dump(json_spirit::Value(nodes)), c.expected) << c.search_type << " " << c.text;
  }

  // The text goes into the engine's name search between two "*", not case-sensitive.
  f_.engine().clear_requests();
  Nodes nodes;
  ASSERT_TRUE(lister("", "", "", "Cluster").search("Ea*St", nodes));
  bool seen = false;
  for (const test_support::Engine_Request& r : f_.engine().requests())
    if (r.path == api("/clusters")) {
      seen = true;
      EXPECT_EQ(r.param("search"), "name=*Ea*St*");
      EXPECT_TRUE(r.has_param("case_sensitive"));
      EXPECT_NE(r.param("case_sensitive"), "1");
      EXPECT_NE(r.param("case_sensitive"), "true");
    }
  EXPECT_TRUE(seen);
}

TEST_F(Lister_Test, combinations_a_view_does_not_list_fail_without_a_line_or_a_request)
{
  const struct {
    const char* type;
    const char* view;
    const char* search_type;
    bool search;
  } cases[] = {
      {"StorageDomain", "", "", false},   {"VnicProfiles", "", "", false}, {"Disk", "", "", false},
      {"Datacenter", "recovery", "", false}, {"VirtualMachine", "recovery", "", false},
      {"", "recovery", "", false},          {"", "", "Datacenter", true},  {"", "", "virtualmachine", true},
      {"", "", "", true},
  };
  for (const auto& c : cases) {
    Log_Capture log(true);
    Nodes nodes;
    RHV_Lister l = lister(c.type, c.view, "some-id", c.search_type);
    EXPECT_FALSE(c.search ? l.search("web", nodes) : l.list(nodes)) << c.type << "/" << c.view << "/" << c.search_type;
    EXPECT_TRUE(nodes.empty());
    EXPECT_TRUE(log.texts().empty()) << log.dump();
    EXPECT_TRUE(f_.take_request_lines().empty());
  }
}

TEST_F(Lister_Test, levels_below_the_top_need_a_node_id)
{
  for (const char* type : {"Datacenter", "Cluster", "VirtualMachine"}) {
    Log_Capture log(true);
    Nodes nodes;
    EXPECT_FALSE(lister(type, "", "").list(nodes)) << type;
    std::vector<std::string> lines = log.texts(LM_EMERGENCY);
    ASSERT_EQ(lines.size(), 1u) << log.dump();
    EXPECT_EQ(lines[0].rfind("Unexpected error in backup/rhv/common/rhv_list.cpp:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(", target_id_ is empty:\n"), std::string::npos) << lines[0];
    EXPECT_TRUE(f_.take_request_lines().empty()) << type;
  }
}

TEST_F(Lister_Test, each_failure_logs_its_line_and_fails)
{
  using namespace sample_inventory;
  const std::string agent = AGENT_VM_ID;
  const struct {
    const char* type;
    const char* view;
    std::string moid;
    const char* search_type;
    std::string fault_path;
    std::string line;
  } cases[] = {
      {"", "", "", "", api("/vms/" + agent), "Failed to get RHV datacenter of vm '" + agent + "'.\n"},
      {"Datacenter", "", DC_EAST_ID, "", api(std::string("/datacenters/") + DC_EAST_ID + "/clusters"),
       std::string("Failed to list clusters of datacenter ") + DC_EAST_ID + ".\n"},
      {"Cluster", "recovery", "", "", api("/vms/" + agent), "Failed to get datacenter of '" + agent + "'.\n"},
      {"Cluster", "recovery", "", "", api(std::string("/datacenters/") + DC_EAST_ID + "/clusters"),
       std::string("Failed to list clusters of datacenter ") + DC_EAST_ID + ".\n"},
      {"Cluster", "", CLUSTER_EAST_DEV_ID, "", api("/vms"),
       std::string("Failed to list vms of cluster ") + CLUSTER_EAST_DEV_ID + ".\n"},
      {"VirtualMachine", "", VM_DB_ID, "", api(std::string("/vms/") + VM_DB_ID + "/diskattachments"),
       std::string("Failed to list disks of vm ") + VM_DB_ID + ".\n"},
      {"StorageDomain", "recovery", "", "", api("/vms/" + agent), "Failed to get datacenter of '" + agent + "'.\n"},
      {"StorageDomain", "recovery", "", "", api(std::string("/datacenters/") + DC_EAST_ID + "/storagedomains"),
       "Failed to list storages from RHV 127.0.0.1.\n"},
      {"VnicProfiles", "recovery", "", "", api("/vms/" + agent), "Failed to get datacenter of '" + agent + "'.\n"},
      {"VnicProfiles", "recovery", "", "", api(std::string("/datacenters/") + DC_EAST_ID + "/networks"),
       std::string("Failed to list networks from RHV 127.0.0.1 of DataCenter ") + DC_EAST_ID + ".\n"},
      {"", "", "", "VirtualMachine", api("/vms"), "Failed to get vms in '" + agent + "' by 'we*b'.\n"},
      {"", "", "", "Cluster", api("/vms/" + agent), "Failed to get datacenter of '" + agent + "'.\n"},
      {"", "", "", "Cluster", api("/clusters"), std::string("Failed to get cluster in '") + DC_EAST_ID + "'.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    int id = fail(c.fault_path);
    Log_Capture log(true);
    Nodes nodes;
    RHV_Lister l = lister(c.type, c.view, c.moid, c.search_type);
    EXPECT_FALSE(*c.search_type ? l.search("we*b", nodes) : l.list(nodes));
    EXPECT_GE(f_.engine().fault_hits(id), 1);
    std::vector<std::string> lines = log.texts(LM_ERROR);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.line) << log.dump();
    f_.engine().clear_faults();
  }
}

TEST_F(Lister_Test, profiles_stop_at_the_first_network_that_fails_keeping_those_before)
{
  fail(api(std::string("/networks/") + inv::NETWORK_EAST_BACKEND_ID + "/vnicprofiles"));
  Log_Capture log(true);
  Nodes nodes;
  EXPECT_FALSE(lister("VnicProfiles", "recovery", "").list(nodes));
  EXPECT_EQ(dump(json_spirit::Value(nodes)),
            array({profile_node(inv::PROFILE_EAST_MGMT_ID, "ovirtmgmt", inv::DC_EAST_ID)}));
  EXPECT_EQ(log.texts(LM_ERROR).back(),
            std::string("Failed to list vnic profiles of network ") + inv::NETWORK_EAST_BACKEND_ID + ".\n");
}

TEST_F(Lister_Test, without_an_agent_vm_only_the_vm_search_works_and_it_is_not_limited)
{
  Log_Capture log(true);
  for (const char* type : {"", "Cluster"}) {
    Nodes nodes;
    EXPECT_FALSE(lister(type, type[0] ? "recovery" : "", "", "", "").list(nodes)) << type;
  }
  Nodes nodes;
  EXPECT_FALSE(lister("", "", "", "Cluster", "").search("east", nodes));
  EXPECT_EQ(log.count("Failed to get vm by ''.\n"), 3u) << log.dump();
  EXPECT_EQ(log.count("Failed to get RHV datacenter of vm ''.\n"), 1u);
  EXPECT_EQ(log.count("Failed to get datacenter of ''.\n"), 2u);

  // Every VM of the engine, the agent VM and the other data center's included.
  ASSERT_TRUE(lister("", "", "", "VirtualMachine", "").search("", nodes));
  std::vector<std::string> names;
  for (const json_spirit::Value& n : nodes)
    names.push_back(n.get_obj().at("name").get_str());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"app-02", "db-01", "empty-01", "tessera3-agent", "web-01", "west-01"}));
}

}  // namespace
