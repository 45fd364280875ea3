#include "backup/rhv/job/rhv_backup_params.h"

#include <exception>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/log.h"
#include "platform/json/json_dump.h"

json_spirit::Object RHV_Backup_Params::dump() const
{
  json_spirit::Object obj = RHV_Params::dump();
  const char* type_name = job_def_subtype_to_string(backup_type, 0);
  if (type_name == nullptr)
    type_name = job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, 0);
  const char* method_name = backup_method == UNKNOWN ? "nfc" : method_to_name(backup_method);
  json_spirit::insert(obj)("action", "backup")("backup_type", type_name)("pool_url", pool_url)("catalog", catalog)(
      "backup_method", method_name != nullptr ? method_name : "nfc")(
      "attachments", dump_rhv_disk_attachments(attachments));
  return obj;
}

bool RHV_Backup_Params::load(const json_spirit::Object& obj)
{
  if (!RHV_Params::load(obj))
    return false;
  try {
    std::string type_text;
    std::string method_text;
    const json_spirit::Value* attachments_value = nullptr;
    json_spirit::extract_or_throw(obj)("backup_type", type_text)("pool_url", pool_url)("backup_method", method_text)(
        "catalog", catalog)("attachments", attachments_value);

    backup_type = job_def_subtype_from_string(type_text);
    backup_method = name_to_method(method_text.c_str(), 0);
    if (backup_method == UNKNOWN) {
      RHV_LOG_ERROR("Failed to load RHV params: invalid backup method, %s.\n", method_text.c_str());
      return false;
    }
    if (attachments_value->type() != json_spirit::obj_type ||
        !load_rhv_disk_attachments(attachments_value->get_obj(), attachments)) {
      RHV_LOG_ERROR("Failed to load RHV backup params: Invalid disk attachments format, %s.\n",
                    JSON_Dump(*attachments_value).c_str());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to load RHV backup params: %s\n", e.what());
    return false;
  }
}
