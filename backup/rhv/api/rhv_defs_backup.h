#ifndef BACKUP_RHV_API_RHV_DEFS_BACKUP_H
#define BACKUP_RHV_API_RHV_DEFS_BACKUP_H

// Records of the engine's incremental-backup API (API version 4): a VM backup, the
// checkpoints it leaves behind, and the image transfer that opens one disk for reading or
// writing through the imageio daemon. Conventions, load and dump rules: rhv_defs.h.
//
// The phases of a backup and of a transfer travel as their lower-case names ("ready",
// "transferring"); a name the tables do not know loads as NONE, and NONE is not written.

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "backup/rhv/api/rhv_defs.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/scrt/key_value.h"
#include "platform/json/value.h"

// Scoped: the two enumerations share names (INITIALIZING, NONE).
enum class RHV_Backup_Phase {
  FAILED = 0,
  FINALIZING = 1,
  INITIALIZING = 2,
  READY = 3,
  STARTING = 4,
  SUCCEEDED = 5,
  NONE = 6
};

enum class RHV_Image_Transfer_Phase {
  FINALIZING_CLEANUP = 0,
  FINALIZING_FAILURE = 1,
  FINALIZING_SUCCESS = 2,
  FINISHED_CLEANUP = 3,
  FINISHED_FAILURE = 4,
  FINISHED_SUCCESS = 5,
  INITIALIZING = 6,
  PAUSED_SYSTEM = 7,
  PAUSED_USER = 8,
  RESUMING = 9,
  TRANSFERRING = 10,
  UNKNOWN = 11,
  NONE = 12
};

// Name tables in enumerator order, closed by {null, 0, NONE}.
extern Key2_Value_T<RHV_Backup_Phase> const backup_phase_table[];
extern Key2_Value_T<RHV_Image_Transfer_Phase> const transfer_phase_table[];

// The phase named by the first `length` bytes of `name` (all of it when `length` is 0):
// the first entry whose length equals `length` and whose name matches over it, letter case
// included. NONE for no match or a null name.
RHV_Backup_Phase name_to_backup_phase(char const* name, int length = 0);
RHV_Image_Transfer_Phase name_to_transfer_phase(char const* name, int length = 0);

// The name of a phase; null for NONE and for values outside the table.
char const* backup_phase_to_name(RHV_Backup_Phase phase);
char const* transfer_phase_to_name(RHV_Image_Transfer_Phase phase);

// A VM backup. The disks it covers come with it when it is read with "follow=disks".
struct RHV_Backup : RHV_Object {
  time_t creation_date = 0;                 // "creation_date", a JSON integer
  std::string from_checkpoint_id;           // "from_checkpoint_id"
  std::string to_checkpoint_id;             // "to_checkpoint_id"
  RHV_Backup_Phase phase = RHV_Backup_Phase::NONE;  // "phase", by name
  RHV_Object vm;                            // "vm", a link
  RHV_Object snapshot;                      // "snapshot", a link
  RHV_Disks disks;                          // "disks": {"disk": [...]}

  RHV_Backup() = default;
  RHV_Backup(RHV_Backup const&) = default;
  RHV_Backup(RHV_Backup&&) = default;
  RHV_Backup& operator=(RHV_Backup&&) = default;
  ~RHV_Backup() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// One disk opened for download or upload through the imageio daemon. The transfer URL
// carries the daemon's ticket for the disk: it is a secret of the transfer.
struct RHV_Image_Transfer : RHV_Object {
  RHV_Image_Transfer_Phase phase = RHV_Image_Transfer_Phase::NONE;  // "phase", by name
  std::string proxy_url;                    // "proxy_url"
  std::string transfer_url;                 // "transfer_url"
  std::string direction;                    // "direction": "download" or "upload"
  std::string format;                       // "format": "raw" or "cow"
  std::string timeout_policy;               // "timeout_policy"
  int inactivity_timeout = -1;              // "inactivity_timeout", seconds
  long transferred = -1;                    // "transferred", bytes
  boost::optional<bool> shallow;            // "shallow"
  RHV_Object backup;                        // "backup", a link
  RHV_Object disk;                          // "disk", a link
  RHV_Object host;                          // "host", a link
  RHV_Object image;                         // "image", a link

  RHV_Image_Transfer() = default;
  RHV_Image_Transfer(RHV_Image_Transfer const&) = default;
  RHV_Image_Transfer(RHV_Image_Transfer&&) = default;
  RHV_Image_Transfer& operator=(RHV_Image_Transfer&&) = default;
  ~RHV_Image_Transfer() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// A VM checkpoint: the point from which the next incremental backup reads changes.
struct RHV_Checkpoint : RHV_Object {
  time_t creation_date = 0;  // "creation_date", a JSON integer
  std::string parent_id;     // "parent_id"
  std::string state;         // "state"

  RHV_Checkpoint() = default;
  RHV_Checkpoint(RHV_Checkpoint const&) = default;
  RHV_Checkpoint(RHV_Checkpoint&&) = default;
  RHV_Checkpoint& operator=(RHV_Checkpoint&&) = default;
  ~RHV_Checkpoint() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

typedef std::vector<RHV_Backup> RHV_Backups;
typedef std::vector<RHV_Image_Transfer> RHV_Image_Transfers;
typedef std::vector<RHV_Checkpoint> RHV_Checkpoints;

// List forms (rhv_defs_list.h): wrappers under "backup", "image_transfer" and "checkpoint".
bool load_rhv_backups(json_spirit::Object const& wrapper, RHV_Backups& items);
json_spirit::Object dump_rhv_backups(RHV_Backups const& items);
bool load_rhv_image_transfers(json_spirit::Object const& wrapper, RHV_Image_Transfers& items);
json_spirit::Object dump_rhv_image_transfers(RHV_Image_Transfers const& items);
bool load_rhv_checkpoints(json_spirit::Object const& wrapper, RHV_Checkpoints& items);
json_spirit::Object dump_rhv_checkpoints(RHV_Checkpoints const& items);

#endif
