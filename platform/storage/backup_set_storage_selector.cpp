#include "platform/storage/backup_set_storage_selector.h"

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"

Backup_Set_Storage_Selector::Backup_Set_Storage_Selector(const json_spirit::Array& storages, int mode)
{
  if (mode != MODE_FIRST && mode != MODE_REGISTERED) {
    RHV_LOG(-1, LM_ERROR, "Unknown storage selection mode %d.\n", mode);
    return;
  }
  auto conf = Standin_Conf::instance();
  for (const json_spirit::Value& s : storages) {
    if (s.type() != json_spirit::obj_type) continue;
    auto it = s.get_obj().find("pool_uuid");
    if (it == s.get_obj().end() || it->second.type() != json_spirit::str_type) continue;
    const std::string& uuid = it->second.get_str();
    if (uuid.empty()) continue;
    if (mode == MODE_FIRST || conf->find_pool(uuid) != nullptr) {
      pool_uuid_ = uuid;
      return;
    }
  }
}
