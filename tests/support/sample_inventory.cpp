#include "tests/support/sample_inventory.h"

namespace sample_inventory {

const char* const DC_EAST_ID = "01000001-5a1e-4d00-9000-000000000000";
const char* const DC_WEST_ID = "01000002-5a1e-4d00-9000-000000000000";

const char* const CLUSTER_EAST_PROD_ID = "02000001-5a1e-4d00-9000-000000000000";
const char* const CLUSTER_EAST_DEV_ID = "02000002-5a1e-4d00-9000-000000000000";
const char* const CLUSTER_WEST_PROD_ID = "02000003-5a1e-4d00-9000-000000000000";

const char* const HOST_EAST_1_ID = "03000001-5a1e-4d00-9000-000000000000";
const char* const HOST_EAST_2_ID = "03000002-5a1e-4d00-9000-000000000000";
const char* const HOST_WEST_1_ID = "03000003-5a1e-4d00-9000-000000000000";

const char* const NETWORK_EAST_MGMT_ID = "04000001-5a1e-4d00-9000-000000000000";
const char* const NETWORK_EAST_BACKEND_ID = "04000002-5a1e-4d00-9000-000000000000";
const char* const NETWORK_WEST_MGMT_ID = "04000003-5a1e-4d00-9000-000000000000";

const char* const PROFILE_EAST_MGMT_ID = "05000001-5a1e-4d00-9000-000000000000";
const char* const PROFILE_EAST_BACKEND_ID = "05000002-5a1e-4d00-9000-000000000000";
const char* const PROFILE_EAST_MIRROR_ID = "05000003-5a1e-4d00-9000-000000000000";
const char* const PROFILE_WEST_MGMT_ID = "05000004-5a1e-4d00-9000-000000000000";

const char* const SD_EAST_NFS_ID = "06000001-5a1e-4d00-9000-000000000000";
const char* const SD_EAST_ISCSI_ID = "06000002-5a1e-4d00-9000-000000000000";
const char* const SD_EAST_LOW_ID = "06000003-5a1e-4d00-9000-000000000000";
const char* const SD_EAST_ISO_ID = "06000004-5a1e-4d00-9000-000000000000";
const char* const SD_WEST_NFS_ID = "06000005-5a1e-4d00-9000-000000000000";

const char* const AGENT_VM_ID = "07000001-5a1e-4d00-9000-000000000000";
const char* const AGENT_VM_NAME = "tessera3-agent";
const char* const VM_WEB_ID = "07000002-5a1e-4d00-9000-000000000000";
const char* const VM_DB_ID = "07000003-5a1e-4d00-9000-000000000000";
const char* const VM_APP_ID = "07000004-5a1e-4d00-9000-000000000000";
const char* const VM_WEST_ID = "07000005-5a1e-4d00-9000-000000000000";
const char* const VM_EMPTY_ID = "07000006-5a1e-4d00-9000-000000000000";

const char* const DISK_AGENT_OS_ID = "08000001-5a1e-4d00-9000-000000000000";
const char* const DISK_WEB_OS_ID = "08000002-5a1e-4d00-9000-000000000000";
const char* const DISK_WEB_DATA_ID = "08000003-5a1e-4d00-9000-000000000000";
const char* const DISK_DB_OS_ID = "08000004-5a1e-4d00-9000-000000000000";
const char* const DISK_DB_DATA_ID = "08000005-5a1e-4d00-9000-000000000000";
const char* const DISK_DB_LOG_ID = "08000006-5a1e-4d00-9000-000000000000";
const char* const DISK_SHARED_ID = "08000007-5a1e-4d00-9000-000000000000";
const char* const DISK_APP_OS_ID = "08000008-5a1e-4d00-9000-000000000000";
const char* const DISK_WEST_OS_ID = "08000009-5a1e-4d00-9000-000000000000";

const char* const NIC_AGENT_ID = "09000001-5a1e-4d00-9000-000000000000";
const char* const NIC_WEB_1_ID = "09000002-5a1e-4d00-9000-000000000000";
const char* const NIC_WEB_2_ID = "09000003-5a1e-4d00-9000-000000000000";
const char* const NIC_DB_1_ID = "09000004-5a1e-4d00-9000-000000000000";
const char* const NIC_APP_1_ID = "09000005-5a1e-4d00-9000-000000000000";
const char* const NIC_WEST_1_ID = "09000006-5a1e-4d00-9000-000000000000";

using namespace test_support;

namespace {

constexpr int64_t TiB = 1024 * GiB;

struct Disk_Plan {
  const char* id;
  const char* name;
  const char* domain;
  int64_t size;  // MiB, before the size factor
  const char* format;
  bool sparse;
  bool shareable;
  const char* backup;
};

// Recognisable data at the start, across the middle and at the end; an allocated run of
// zeros at 1 MiB; holes elsewhere.
bool fill(Engine_Simulator& engine, const std::string& id, unsigned seed, int64_t size)
{
  const uint64_t end = static_cast<uint64_t>(size);
  bool ok = engine.write_disk(id, 0, pattern(seed, 0, 192 * 1024));
  ok = ok && engine.write_disk(id, 1024 * 1024, std::string(64 * 1024, '\0'));
  uint64_t middle = end / 2 + 4096 + 37;  // not aligned to a block
  ok = ok && engine.write_disk(id, middle, pattern(seed, middle, 100000));
  ok = ok && engine.write_disk(id, end - 512, pattern(seed, end - 512, 512));
  return ok;
}

}  // namespace

std::string pattern(unsigned disk_seed, uint64_t offset, size_t length)
{
  std::string out(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    uint64_t at = offset + i;
    // Mixes the position so that no block repeats another; +1 keeps every 256th byte non-zero.
    uint64_t x = at * 2654435761u + disk_seed * 40503u + (at >> 12);
    out[i] = static_cast<char>(((x >> 7) ^ x ^ (at % 251)) & 0xff);
    if (at % 256 == 0 && out[i] == 0)
      out[i] = 1;
  }
  return out;
}

Engine_Config config(const std::string& root, const std::string& device_dir)
{
  Engine_Config c;
  c.data_dir = root + "/engine";
  c.device_dir = device_dir.empty() ? root + "/dev/disk/by-id" : device_dir;
  c.agent_vm_id = AGENT_VM_ID;
  return c;
}

bool load(Engine_Simulator& engine, unsigned size_factor)
{
  // Data centers, clusters, hosts.
  engine.add_data_center({DC_EAST_ID, "east", "Primary site", "up", false});
  engine.add_data_center({DC_WEST_ID, "west", "Secondary site", "up", false});
  engine.add_cluster({CLUSTER_EAST_PROD_ID, "east-prod", "", DC_EAST_ID, "x86_64", "Intel Skylake Server Family"});
  engine.add_cluster({CLUSTER_EAST_DEV_ID, "east-dev", "Development", DC_EAST_ID, "x86_64", "Intel Nehalem Family"});
  engine.add_cluster({CLUSTER_WEST_PROD_ID, "west-prod", "", DC_WEST_ID, "x86_64", "AMD EPYC"});
  engine.add_host({HOST_EAST_1_ID, "east-host-1", "east-host-1.example.test", CLUSTER_EAST_PROD_ID, "up"});
  engine.add_host({HOST_EAST_2_ID, "east-host-2", "east-host-2.example.test", CLUSTER_EAST_DEV_ID, "up"});
  engine.add_host({HOST_WEST_1_ID, "west-host-1", "west-host-1.example.test", CLUSTER_WEST_PROD_ID, "up"});

  // Networks and vNIC profiles.
  engine.add_network({NETWORK_EAST_MGMT_ID, "ovirtmgmt", "Management Network", DC_EAST_ID});
  engine.add_network({NETWORK_EAST_BACKEND_ID, "backend", "", DC_EAST_ID});
  engine.add_network({NETWORK_WEST_MGMT_ID, "ovirtmgmt", "Management Network", DC_WEST_ID});
  const char* no_spoofing = "d2370ab4-fee3-11e9-a310-8c1645ce738e";
  engine.add_vnic_profile({PROFILE_EAST_MGMT_ID, "ovirtmgmt", "", NETWORK_EAST_MGMT_ID, "disabled", false, no_spoofing});
  engine.add_vnic_profile({PROFILE_EAST_BACKEND_ID, "backend", "", NETWORK_EAST_BACKEND_ID, "disabled", false, no_spoofing});
  engine.add_vnic_profile({PROFILE_EAST_MIRROR_ID, "backend-mirror", "Traffic capture", NETWORK_EAST_BACKEND_ID,
                           "disabled", true, ""});
  engine.add_vnic_profile({PROFILE_WEST_MGMT_ID, "ovirtmgmt", "", NETWORK_WEST_MGMT_ID, "disabled", false, no_spoofing});

  // Storage domains.
  auto domain = [&](const char* id, const char* name, const char* type, const char* storage_type, int64_t available,
                    int64_t used, const char* dc) {
    Sim_Storage_Domain d;
    d.id = id;
    d.name = name;
    d.type = type;
    d.storage_type = storage_type;
    d.available = available;
    d.used = used;
    d.committed = used;
    d.data_center_ids = {dc};
    engine.add_storage_domain(d);
  };
  domain(SD_EAST_NFS_ID, "east-nfs", "data", "nfs", 2 * TiB, 512 * GiB, DC_EAST_ID);
  domain(SD_EAST_ISCSI_ID, "east-iscsi", "data", "iscsi", 18 * GiB, 482 * GiB, DC_EAST_ID);
  domain(SD_EAST_LOW_ID, "east-low", "data", "nfs", 12 * GiB, 88 * GiB, DC_EAST_ID);
  domain(SD_EAST_ISO_ID, "east-iso", "iso", "nfs", 100 * GiB, 20 * GiB, DC_EAST_ID);
  domain(SD_WEST_NFS_ID, "west-nfs", "data", "nfs", TiB, TiB, DC_WEST_ID);

  // VMs.
  auto vm = [&](const char* id, const char* name, const char* cluster, const char* host, const char* status,
                int64_t memory_mib, int sockets, const char* os) {
    Sim_VM v;
    v.id = id;
    v.name = name;
    v.cluster_id = cluster;
    v.host_id = host;
    v.status = status;
    v.memory = memory_mib * MiB;
    v.memory_guaranteed = memory_mib * MiB;
    v.memory_max = 4 * memory_mib * MiB;
    v.cpu_sockets = sockets;
    v.os_type = os;
    engine.add_vm(v);
  };
  vm(AGENT_VM_ID, AGENT_VM_NAME, CLUSTER_EAST_PROD_ID, HOST_EAST_1_ID, "up", 4096, 2, "rhel_8x64");
  vm(VM_WEB_ID, "web-01", CLUSTER_EAST_PROD_ID, HOST_EAST_1_ID, "up", 2048, 2, "rhel_9x64");
  vm(VM_DB_ID, "db-01", CLUSTER_EAST_PROD_ID, HOST_EAST_1_ID, "up", 8192, 4, "rhel_8x64");
  vm(VM_APP_ID, "app-02", CLUSTER_EAST_DEV_ID, "", "down", 1024, 1, "windows_2019x64");
  vm(VM_WEST_ID, "west-01", CLUSTER_WEST_PROD_ID, HOST_WEST_1_ID, "up", 2048, 1, "rhel_9x64");
  vm(VM_EMPTY_ID, "empty-01", CLUSTER_EAST_DEV_ID, "", "down", 512, 1, "other_linux");

  // Disks, each attached to its VM.
  const Disk_Plan plans[] = {
    {DISK_AGENT_OS_ID, "tessera3-agent_Disk1", SD_EAST_NFS_ID, 8, "cow", true, false, "none"},
    {DISK_WEB_OS_ID, "web-01_Disk1", SD_EAST_NFS_ID, 16, "cow", true, false, "incremental"},
    {DISK_WEB_DATA_ID, "web-01_data", SD_EAST_NFS_ID, 8, "raw", true, false, "none"},
    {DISK_DB_OS_ID, "db-01_Disk1", SD_EAST_ISCSI_ID, 16, "cow", true, false, "incremental"},
    {DISK_DB_DATA_ID, "db-01_data", SD_EAST_ISCSI_ID, 32, "raw", false, false, "none"},
    {DISK_DB_LOG_ID, "db-01_log", SD_EAST_NFS_ID, 4, "raw", true, false, "none"},
    {DISK_SHARED_ID, "shared-data", SD_EAST_NFS_ID, 4, "raw", false, true, "none"},
    {DISK_APP_OS_ID, "app-02_Disk1", SD_EAST_NFS_ID, 8, "cow", true, false, "none"},
    {DISK_WEST_OS_ID, "west-01_Disk1", SD_WEST_NFS_ID, 8, "cow", true, false, "none"},
  };
  unsigned seed = 0;
  for (const Disk_Plan& p : plans) {
    Sim_Disk d;
    d.id = p.id;
    d.name = p.name;
    d.storage_domain_id = p.domain;
    d.provisioned_size = p.size * MiB * size_factor;
    d.format = p.format;
    d.sparse = p.sparse;
    d.shareable = p.shareable;
    d.backup = p.backup;
    if (engine.add_disk(d).empty() || !fill(engine, d.id, ++seed, d.provisioned_size))
      return false;
  }
  auto attach = [&](const char* vm_id, const char* disk_id, const char* interface, bool bootable) {
    Sim_Disk_Attachment a;
    a.vm_id = vm_id;
    a.disk_id = disk_id;
    a.interface = interface;
    a.bootable = bootable;
    return engine.attach_disk(a);
  };
  bool ok = attach(AGENT_VM_ID, DISK_AGENT_OS_ID, "virtio_scsi", true) &&
            attach(VM_WEB_ID, DISK_WEB_OS_ID, "virtio_scsi", true) &&
            attach(VM_WEB_ID, DISK_WEB_DATA_ID, "virtio", false) &&
            attach(VM_DB_ID, DISK_DB_OS_ID, "virtio_scsi", true) &&
            attach(VM_DB_ID, DISK_DB_DATA_ID, "virtio_scsi", false) &&
            attach(VM_DB_ID, DISK_DB_LOG_ID, "virtio", false) &&
            attach(VM_DB_ID, DISK_SHARED_ID, "virtio_scsi", false) &&
            attach(VM_APP_ID, DISK_APP_OS_ID, "sata", true) &&
            attach(VM_APP_ID, DISK_SHARED_ID, "virtio_scsi", false) &&
            attach(VM_WEST_ID, DISK_WEST_OS_ID, "virtio_scsi", true);
  if (!ok)
    return false;

  // NICs.
  auto nic = [&](const char* id, const char* vm_id, const char* name, const char* profile, const char* mac) {
    Sim_NIC n;
    n.id = id;
    n.vm_id = vm_id;
    n.name = name;
    n.vnic_profile_id = profile;
    n.mac = mac;
    engine.add_nic(n);
  };
  nic(NIC_AGENT_ID, AGENT_VM_ID, "nic1", PROFILE_EAST_MGMT_ID, "56:6f:5a:1e:00:01");
  nic(NIC_WEB_1_ID, VM_WEB_ID, "nic1", PROFILE_EAST_MGMT_ID, "56:6f:5a:1e:00:02");
  nic(NIC_WEB_2_ID, VM_WEB_ID, "nic2", PROFILE_EAST_BACKEND_ID, "56:6f:5a:1e:00:03");
  nic(NIC_DB_1_ID, VM_DB_ID, "nic1", PROFILE_EAST_BACKEND_ID, "56:6f:5a:1e:00:04");
  nic(NIC_APP_1_ID, VM_APP_ID, "nic1", PROFILE_EAST_MIRROR_ID, "56:6f:5a:1e:00:05");
  nic(NIC_WEST_1_ID, VM_WEST_ID, "nic1", PROFILE_WEST_MGMT_ID, "56:6f:5a:1e:00:06");
  return true;
}

}  // namespace sample_inventory
