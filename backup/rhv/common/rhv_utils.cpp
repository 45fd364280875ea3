#include "backup/rhv/common/rhv_utils.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <utility>

#include "backup/scrt/log.h"
#include "platform/host/path_conf.h"

const Key2_Value_T<RHV_Backup_Method> method_table[] = {
    SCRT_KEY2_VALUE("nfc", NFC),
    SCRT_KEY2_VALUE("san", SAN),
    {nullptr, 0, UNKNOWN},
};

RHV_Backup_Method name_to_method(const char* name, int length)
{
  if (name == nullptr)
    return UNKNOWN;
  const std::size_t len = length == 0 ? std::strlen(name) : static_cast<std::size_t>(length);
  return get_key_value_entry(method_table, name, len).value;
}

const char* method_to_name(RHV_Backup_Method method)
{
  return get_key_value_entry(method_table, method).key;
}

bool init_servant(Servant& servant, const std::string& tag, std::shared_ptr<ACE_Log_Msg_Callback> callback)
{
  const Path_Conf conf("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750);
  servant.reset("starter", conf.str(), nullptr, nullptr, tag);
  servant.set_log_msg_callback(std::move(callback));
  servant.set_flags(0);
  return true;
}

namespace {

const char* engine_host(const RHV_Client& client)
{
  return client.session() ? client.session()->host().c_str() : "";
}

}  // namespace

bool get_dc(RHV_Client& client, const std::string& vm_id, RHV_Data_Center& dc)
{
  RHV_VM vm;
  if (vm_id.empty() || !client.vm_service().get(vm_id, vm, RHV_NO_FOLLOW)) {
    RHV_LOG_ERROR("Failed to get vm by '%s'.\n", vm_id.c_str());
    return false;
  }
  RHV_Cluster cluster;
  if (!client.cluster_service().get(vm.cluster.id, cluster)) {
    RHV_LOG_ERROR("Failed to get cluster by '%s'.\n", vm.cluster.id.c_str());
    return false;
  }
  if (!client.data_center_service().get(cluster.data_center.id, dc)) {
    RHV_LOG_ERROR("Failed to get datacenter by '%s'.\n", cluster.data_center.id.c_str());
    return false;
  }
  return true;
}

bool get_vms(RHV_Client& client, const std::string& agent_vm_id, std::vector<RHV_VM>& vms, const std::string& name)
{
  if (agent_vm_id.empty()) {
    if (!client.vm_service().list(name, vms, RHV_NO_FOLLOW, false)) {
      RHV_LOG_ERROR("Failed to get RHV vms in '%s' .\n", engine_host(client));
      return false;
    }
    return true;
  }

  RHV_Data_Center dc;
  if (!get_dc(client, agent_vm_id, dc)) {
    RHV_LOG_ERROR("Failed to get datacenter of '%s' in '%s'.\n", agent_vm_id.c_str(), engine_host(client));
    return false;
  }
  RHV_Clusters clusters;
  if (!client.data_center_service().cluster_service(dc.id).list(clusters)) {
    RHV_LOG_ERROR("Failed to get clusters of '%s' in '%s'.\n", dc.id.c_str(), engine_host(client));
    return false;
  }
  std::vector<RHV_VM> found;
  if (!client.vm_service().list(name, found, RHV_NO_FOLLOW, false)) {
    RHV_LOG_ERROR("Failed to get RHV vms in '%s'.\n", engine_host(client));
    return false;
  }

  std::unordered_set<std::string> cluster_ids;
  for (const RHV_Cluster& cluster : clusters)
    cluster_ids.insert(cluster.id);
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const RHV_VM& vm) { return cluster_ids.count(vm.cluster.id) == 0; }),
              found.end());
  vms = std::move(found);
  return true;
}
