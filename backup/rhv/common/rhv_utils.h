#ifndef BACKUP_RHV_COMMON_RHV_UTILS_H
#define BACKUP_RHV_COMMON_RHV_UTILS_H

// Small helpers shared by the job side, the servants and the inventory: the names of
// the backup methods, the start-up of a servant process, and two lookups over the
// engine (the data center of a VM, and VMs by name within the agent VM's data center).

#include <memory>
#include <string>
#include <vector>

#include <ace/Log_Msg_Callback.h>

#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/api/rhv_defs_infra.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/scrt/key_value.h"
#include "platform/servant/servant.h"

enum RHV_Backup_Method { UNKNOWN = 0, NFC = 1, SAN = 2 };

// {"nfc", NFC}, {"san", SAN}, then the terminator {null, UNKNOWN}.
extern const Key2_Value_T<RHV_Backup_Method> method_table[];

// The method whose name has exactly `length` bytes equal to the first `length` bytes
// of `name` (case-sensitive); `length` 0 takes strlen of a non-null name. UNKNOWN when
// none matches: "nfc" -> NFC, "nfcx" with length 3 -> NFC, "NFC" -> UNKNOWN.
RHV_Backup_Method name_to_method(const char* name, int length);
// The name of a method; null for UNKNOWN and values outside the table.
const char* method_to_name(RHV_Backup_Method method);

// Prepares a servant handle of the task scheduler: a "starter" servant configured from
// the module's servant configuration file, tagged with `tag` (the task's VM id), its log
// lines routed to `callback`. Nothing here fails.
bool init_servant(Servant& servant, const std::string& tag, std::shared_ptr<ACE_Log_Msg_Callback> callback);

// The data center of the VM `vm_id` (VM, then its cluster, then the cluster's data
// center). An empty id fails without a request.
bool get_dc(RHV_Client& client, const std::string& vm_id, RHV_Data_Center& dc);

// VMs matching the engine's name search "name=<name>" (not case-sensitive; wildcards
// "*" pass through); when `agent_vm_id` is not empty, only those in one of the clusters
// of the agent VM's data center, in the engine's order. On failure `vms` keeps its
// contents.
bool get_vms(RHV_Client& client, const std::string& agent_vm_id, std::vector<RHV_VM>& vms, const std::string& name);

#endif
