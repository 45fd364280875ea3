#include "backup/rhv/servant/rhv_restore_worker.h"

#include <ace/OS_NS_time.h>

#include "backup/json_spirit/assign.h"
#include "backup/scrt/log.h"

bool RHV_Unavailable_Restore::execute(json_spirit::Value& result)
{
  RHV_LOG(-1, LM_ERROR, "RHV restore of VM '%s' is not available.\n", params_.vm_name.c_str());
  const long now = static_cast<long>(ACE_OS::time());
  json_spirit::insert(json_spirit::to_object(result))("storage_size", 0UL)("set_size", 0UL)("source_size", 0UL)(
      "vm_id", params_.vm_id)("vm_name", params_.vm_name)("start_time", now)("end_time", now)("code", 1);
  return false;
}
