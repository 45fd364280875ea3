// The sample inventory is consistent (every link leads somewhere, as in a real engine) and its
// disks hold the content it promises.

#include "tests/support/sample_inventory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <set>

using namespace test_support;
using namespace sample_inventory;

namespace {

template <class T>
bool has_id(const std::vector<T>& items, const std::string& id)
{
  return std::any_of(items.begin(), items.end(), [&](const T& t) { return t.id == id; });
}

class Sample_Inventory_Test : public ::testing::Test {
protected:
  void SetUp() override
  {
    engine_ = std::make_unique<Engine_Simulator>(config(dir_.path()));
    ASSERT_TRUE(load(*engine_));
  }

  Temp_Dir dir_;
  std::unique_ptr<Engine_Simulator> engine_;
};

TEST_F(Sample_Inventory_Test, EveryLinkLeadsToARecord)
{
  const auto dcs = engine_->data_centers();
  const auto clusters = engine_->clusters();
  const auto networks = engine_->networks();
  const auto profiles = engine_->vnic_profiles();
  const auto domains = engine_->storage_domains();
  const auto vms = engine_->vms();
  const auto disks = engine_->disks();
  EXPECT_EQ(dcs.size(), 2u);
  EXPECT_EQ(vms.size(), 6u);
  EXPECT_EQ(disks.size(), 9u);

  for (const Sim_Cluster& c : clusters)
    EXPECT_TRUE(has_id(dcs, c.data_center_id)) << c.name;
  for (const Sim_Network& n : networks)
    EXPECT_TRUE(has_id(dcs, n.data_center_id)) << n.name;
  for (const Sim_VNIC_Profile& p : profiles)
    EXPECT_TRUE(has_id(networks, p.network_id)) << p.name;
  for (const Sim_Storage_Domain& d : domains)
    for (const std::string& dc : d.data_center_ids)
      EXPECT_TRUE(has_id(dcs, dc)) << d.name;
  for (const Sim_VM& vm : vms)
    EXPECT_TRUE(has_id(clusters, vm.cluster_id)) << vm.name;
  for (const Sim_Disk& d : disks) {
    Sim_Storage_Domain sd;
    ASSERT_TRUE(engine_->find_storage_domain(d.storage_domain_id, sd)) << d.name;
    EXPECT_EQ(sd.type, "data") << d.name;
  }
  for (const Sim_Disk_Attachment& a : engine_->attachments()) {
    EXPECT_TRUE(has_id(vms, a.vm_id)) << a.disk_id;
    EXPECT_TRUE(has_id(disks, a.disk_id)) << a.disk_id;
    EXPECT_EQ(a.agent_own, a.vm_id == AGENT_VM_ID) << a.disk_id;
  }
  // A NIC's profile lies in its VM's data center.
  for (const Sim_NIC& n : engine_->nics()) {
    Sim_VM vm;
    ASSERT_TRUE(engine_->find_vm(n.vm_id, vm));
    auto profile = std::find_if(profiles.begin(), profiles.end(), [&](auto& p) { return p.id == n.vnic_profile_id; });
    ASSERT_NE(profile, profiles.end()) << n.id;
    auto network = std::find_if(networks.begin(), networks.end(), [&](auto& x) { return x.id == profile->network_id; });
    auto cluster = std::find_if(clusters.begin(), clusters.end(), [&](auto& c) { return c.id == vm.cluster_id; });
    EXPECT_EQ(network->data_center_id, cluster->data_center_id) << n.id;
  }
  // The shared disk is the one disk on two VMs.
  size_t shared = 0;
  for (const Sim_Disk_Attachment& a : engine_->attachments())
    shared += a.disk_id == DISK_SHARED_ID ? 1 : 0;
  EXPECT_EQ(shared, 2u);
  EXPECT_TRUE(engine_->attachments(VM_EMPTY_ID).empty());
  EXPECT_TRUE(engine_->nics(VM_EMPTY_ID).empty());
}

TEST_F(Sample_Inventory_Test, IdsAreEngineUuidsWithDistinctDeviceNames)
{
  const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::set<std::string> ids, devices;
  auto check = [&](const std::string& id) {
    EXPECT_TRUE(std::regex_match(id, uuid)) << id;
    EXPECT_TRUE(ids.insert(id).second) << id;
  };
  for (const auto& x : engine_->data_centers())
    check(x.id);
  for (const auto& x : engine_->clusters())
    check(x.id);
  for (const auto& x : engine_->networks())
    check(x.id);
  for (const auto& x : engine_->vnic_profiles())
    check(x.id);
  for (const auto& x : engine_->storage_domains())
    check(x.id);
  for (const auto& x : engine_->vms())
    check(x.id);
  for (const auto& x : engine_->nics())
    check(x.id);
  for (const auto& d : engine_->disks()) {
    check(d.id);
    EXPECT_TRUE(devices.insert(engine_->device_path(d.id)).second) << d.id;
  }
  EXPECT_EQ(engine_->config().agent_vm_id, AGENT_VM_ID);
  Sim_VM agent;
  ASSERT_TRUE(engine_->find_vm(AGENT_VM_ID, agent));
  EXPECT_EQ(agent.name, AGENT_VM_NAME);
  // The agent's own disk is plugged from the start.
  struct stat st;
  EXPECT_EQ(::stat(engine_->device_path(DISK_AGENT_OS_ID).c_str(), &st), 0);
}

TEST_F(Sample_Inventory_Test, DisksHoldTheirPatternBetweenHoles)
{
  unsigned seed = 0;
  for (const char* id : {DISK_AGENT_OS_ID, DISK_WEB_OS_ID, DISK_WEB_DATA_ID, DISK_DB_OS_ID, DISK_DB_DATA_ID,
                         DISK_DB_LOG_ID, DISK_SHARED_ID, DISK_APP_OS_ID, DISK_WEST_OS_ID}) {
    SCOPED_TRACE(id);
    ++seed;
    Sim_Disk d;
    ASSERT_TRUE(engine_->find_disk(id, d));
    const std::string content = engine_->read_disk(id);
    const uint64_t size = static_cast<uint64_t>(d.provisioned_size);
    ASSERT_EQ(content.size(), size);
    const uint64_t middle = size / 2 + 4096 + 37;
    EXPECT_EQ(content.substr(0, 192 * 1024), pattern(seed, 0, 192 * 1024));
    EXPECT_EQ(content.substr(middle, 100000), pattern(seed, middle, 100000));
    EXPECT_EQ(content.substr(size - 512), pattern(seed, size - 512, 512));
    EXPECT_EQ(content.substr(1024 * 1024, 64 * 1024), std::string(64 * 1024, '\0'));
    EXPECT_EQ(content.substr(192 * 1024, 4096), std::string(4096, '\0'));  // a hole
    struct stat st;
    ASSERT_EQ(::stat(d.path.c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, size);  // sparse
  }
  // Every 64 KiB of the pattern holds data, so no chunk of it reads as a hole.
  const std::string p = pattern(7, 123, 1 << 20);
  for (size_t at = 0; at + 65536 <= p.size(); at += 65536)
    EXPECT_NE(p.substr(at, 65536), std::string(65536, '\0'));
  EXPECT_NE(pattern(1, 0, 4096), pattern(2, 0, 4096));
}

TEST_F(Sample_Inventory_Test, StorageDomainsSitNearAndFarFromTheReserves)
{
  struct Case {
    const char* id;
    bool above_16_gib;
    double free_percent_at_least;
    double free_percent_below;
  };
  const Case cases[] = {
    {SD_EAST_NFS_ID, true, 75, 100},
    {SD_EAST_ISCSI_ID, true, 3, 4},
    {SD_EAST_LOW_ID, false, 11, 13},
    {SD_WEST_NFS_ID, true, 49, 51},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Sim_Storage_Domain d;
    ASSERT_TRUE(engine_->find_storage_domain(c.id, d));
    EXPECT_EQ(d.available > 16 * GiB, c.above_16_gib);
    double percent = 100.0 * static_cast<double>(d.available) / static_cast<double>(d.available + d.used);
    EXPECT_GE(percent, c.free_percent_at_least);
    EXPECT_LT(percent, c.free_percent_below);
  }
}

TEST(Sample_Inventory, SizeFactorScalesTheDisks)
{
  Temp_Dir dir;
  Engine_Simulator engine(config(dir.path()));
  ASSERT_TRUE(load(engine, 2));
  Sim_Disk d;
  ASSERT_TRUE(engine.find_disk(DISK_DB_DATA_ID, d));
  EXPECT_EQ(d.provisioned_size, 64 * MiB);
  EXPECT_EQ(engine.read_disk(DISK_DB_DATA_ID).substr(64 * MiB - 512), pattern(5, 64 * MiB - 512, 512));
}

}  // namespace
