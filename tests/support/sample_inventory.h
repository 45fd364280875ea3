#ifndef TESTS_SUPPORT_SAMPLE_INVENTORY_H
#define TESTS_SUPPORT_SAMPLE_INVENTORY_H

// A realistic engine inventory for the engine simulator, with fixed ids so that tests can
// name what they expect.
//
//   data center "east" (the agent VM's)            data center "west"
//     cluster "east-prod": host east-host-1          cluster "west-prod": host west-host-1
//       tessera3-agent (up)  the agent VM              west-01 (up): 1 disk, 1 NIC
//       web-01 (up): 2 disks, 2 NICs
//       db-01 (up): 3 disks + the shared disk, 1 NIC
//     cluster "east-dev": host east-host-2
//       app-02 (down): 1 disk + the shared disk, 1 NIC
//       empty-01 (down): no disk, no NIC
//
//   networks: ovirtmgmt and backend in east, ovirtmgmt in west (the same name in two data
//   centers); vNIC profiles: ovirtmgmt, backend and backend-mirror (port mirroring) in east,
//   ovirtmgmt in west.
//
//   storage domains (available / used):
//     east-nfs    NFS     2 TiB  / 512 GiB   far from any reserve
//     east-iscsi  iSCSI   18 GiB / 482 GiB   just above the 16 GiB restore minimum, 3.6 % free
//     east-low    NFS     12 GiB / 88 GiB    below the 16 GiB restore minimum, 12 % free
//     east-iso    NFS     an ISO domain (holds no VM disks)
//     west-nfs    NFS     1 TiB  / 1 TiB     in data center west
//
// Disks are small (a few MiB, times size_factor) sparse files with recognisable content at
// their start, in their middle and at their end, with holes between and an allocated run of
// zeros at 1 MiB. The agent VM's own boot disk is attached to it (and cannot be detached).
// The shared disk is shareable, attached to db-01 and app-02.

#include <cstdint>
#include <string>

#include "tests/support/engine_simulator.h"

namespace sample_inventory {

extern const char* const DC_EAST_ID;
extern const char* const DC_WEST_ID;

extern const char* const CLUSTER_EAST_PROD_ID;
extern const char* const CLUSTER_EAST_DEV_ID;
extern const char* const CLUSTER_WEST_PROD_ID;

extern const char* const HOST_EAST_1_ID;
extern const char* const HOST_EAST_2_ID;
extern const char* const HOST_WEST_1_ID;

extern const char* const NETWORK_EAST_MGMT_ID;
extern const char* const NETWORK_EAST_BACKEND_ID;
extern const char* const NETWORK_WEST_MGMT_ID;

extern const char* const PROFILE_EAST_MGMT_ID;
extern const char* const PROFILE_EAST_BACKEND_ID;
extern const char* const PROFILE_EAST_MIRROR_ID;
extern const char* const PROFILE_WEST_MGMT_ID;

extern const char* const SD_EAST_NFS_ID;
extern const char* const SD_EAST_ISCSI_ID;
extern const char* const SD_EAST_LOW_ID;
extern const char* const SD_EAST_ISO_ID;
extern const char* const SD_WEST_NFS_ID;

extern const char* const AGENT_VM_ID;
extern const char* const AGENT_VM_NAME;
extern const char* const VM_WEB_ID;
extern const char* const VM_DB_ID;
extern const char* const VM_APP_ID;
extern const char* const VM_WEST_ID;
extern const char* const VM_EMPTY_ID;

extern const char* const DISK_AGENT_OS_ID;
extern const char* const DISK_WEB_OS_ID;
extern const char* const DISK_WEB_DATA_ID;
extern const char* const DISK_DB_OS_ID;
extern const char* const DISK_DB_DATA_ID;
extern const char* const DISK_DB_LOG_ID;
extern const char* const DISK_SHARED_ID;
extern const char* const DISK_APP_OS_ID;
extern const char* const DISK_WEST_OS_ID;

extern const char* const NIC_AGENT_ID;
extern const char* const NIC_WEB_1_ID;
extern const char* const NIC_WEB_2_ID;
extern const char* const NIC_DB_1_ID;
extern const char* const NIC_APP_1_ID;
extern const char* const NIC_WEST_1_ID;

constexpr int64_t MiB = 1024 * 1024;
constexpr int64_t GiB = 1024 * MiB;

// A configuration for a simulator of this inventory whose folders live under `root`
// (<root>/engine for the disks, <root>/dev/disk/by-id for the devices): the agent VM is
// AGENT_VM_ID. Pass the device folder of the platform configuration when there is one.
test_support::Engine_Config config(const std::string& root, const std::string& device_dir = "");

// Adds the whole inventory to the simulator and writes the disks' content. Disk sizes are
// multiplied by size_factor (1: between 4 and 32 MiB). False when a disk file cannot be made.
bool load(test_support::Engine_Simulator& engine, unsigned size_factor = 1);

// The bytes load() writes at `offset` into the disk numbered `disk_seed` (a stable function
// of both, never all zero over any 64 KiB).
std::string pattern(unsigned disk_seed, uint64_t offset, size_t length);

}  // namespace sample_inventory

#endif
