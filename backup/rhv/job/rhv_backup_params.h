#ifndef BACKUP_RHV_JOB_RHV_BACKUP_PARAMS_H
#define BACKUP_RHV_JOB_RHV_BACKUP_PARAMS_H

// The parameters of one "rhev.backup" task: the shared per-VM record plus what a backup
// of the VM needs. The task object is the 21 keys of RHV_Params plus "action" ("backup",
// not read back), "backup_type", "pool_url", "catalog", "backup_method" and
// "attachments".

#include <string>

#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/common/rhv_utils.h"
#include "backup/rhv/job/rhv_params.h"
#include "platform/job/job_types.h"
#include "platform/json/value.h"

struct RHV_Backup_Params : RHV_Params {
  // The job definition's subtype; written as its name ("full" when it has none).
  Job_Definition_Subtype backup_type = JOB_DEFINITION_SUBTYPE_FULL;
  // "<pool url>/<job definition host id>".
  std::string pool_url;
  // {"name": definition name, "agent": definition agent, "pool_uuid": target id}.
  json_spirit::Object catalog;
  // Written as "nfc" while unset.
  RHV_Backup_Method backup_method = UNKNOWN;
  // The disk attachments of the VM to back up, each with its disk.
  RHV_Disk_Attachments attachments;

  json_spirit::Object dump() const;

  // Every key is required. A method other than "nfc" and "san" is refused. Never throws;
  // failures are logged and the record must then not be used.
  bool load(const json_spirit::Object& obj);
};

#endif  // BACKUP_RHV_JOB_RHV_BACKUP_PARAMS_H
