#ifndef BACKUP_RHV_JOB_RHV_PARAMS_H
#define BACKUP_RHV_JOB_RHV_PARAMS_H

// The part of a per-VM task ("rhev.backup", "rhev.restore") that backup and restore
// share: everything a servant process needs to work on one VM by itself. The job side
// fills one record per VM and sends dump(); the servant reads it back with load(). The
// backup and restore records derive from it and add their own keys to the same object.
//
// The record carries the RHV host record with its password in clear (the servant must log
// in): never log a dump.

#include <cstdint>
#include <string>

#include "backup/rhv/common/rhv_host_info.h"
#include "platform/json/value.h"
#include "platform/storage/client_io_base.h"

struct RHV_Params {
  bool backupd_ssl = false;                 // the backup server is reached over TLS
  uint16_t backupd_port = 0;                // backup server port
  int64_t job_revision = 0;                 // revision of the job definition
  std::string def_id;                       // job definition id
  std::string host_uuid;                    // id of the RHV host record
  std::string resource_uuid;                // id of the job source
  std::string backupd_host;                 // backup server host
  std::string access_key;                   // this host's key for the backup server
  Client_IO_Base::Options client_io_opts;   // storage I/O options
  uint32_t parallel_disks_per_vm = 2;       // disks of the VM processed at once
  uint32_t parallel_workers_per_disk = 1;   // workers per disk
  uint64_t block_size = 8388608;            // I/O block size in bytes
  RHV_Host_Info host_info;                  // the RHV host record, password included
  std::string data_center_id;               // the VM's data center
  std::string data_center_name;
  std::string cluster_id;                   // the VM's cluster
  std::string cluster_name;
  std::string host_id;                      // the RHV host the VM runs on (empty at backup)
  std::string host_name;
  std::string vm_id;                        // the VM
  std::string vm_name;

  // The 21 keys above, always all of them; "client_io_opts" and "host_info" as the
  // options and the host record write themselves.
  json_spirit::Object dump() const;

  // Fills the record from `obj`, in which all 21 keys are required. Never throws; a
  // failure is logged (the password and the storage keys masked) and the record, partly
  // filled, must not be used.
  bool load(const json_spirit::Object& obj);
};

// A copy of a host record in which "password" is replaced by "******", for log lines.
// (Client-I/O options are masked by Client_IO_Base::Options::masked.)
json_spirit::Value mask_secrets(const json_spirit::Value& value);

#endif  // BACKUP_RHV_JOB_RHV_PARAMS_H
