#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_BACKUP_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_BACKUP_H

// The engine simulator's incremental-backup API: the backups and checkpoints of a VM and
// image transfers, with their phases, served next to the other resources (paths relative
// to "/<prefix>/api"):
//
//   GET    vms/<vm>/backups[?follow=disks]        GET vms/<vm>/backups/<id>[?follow=disks]
//   POST   vms/<vm>/backups                       POST vms/<vm>/backups/<id>/finalize
//   GET    vms/<vm>/backups/<id>/disks[/<disk>]
//   GET    vms/<vm>/checkpoints[/<id>]            DELETE vms/<vm>/checkpoints/<id>
//   GET    imagetransfers[/<id>]                  POST imagetransfers
//   POST   imagetransfers/<id>/finalize           POST imagetransfers/<id>/cancel
//
// Phases move as the engine moves them: a new backup answers "initializing" and becomes
// "ready" after Backup_Timing::backup_start; finalize makes it "finalizing", then
// "succeeded" after backup_finalize, when its checkpoint (to_checkpoint_id) appears. A new
// transfer answers "initializing" without URLs and becomes "transferring" with its
// transfer and proxy URLs after transfer_start; finalize makes it "finalizing_success",
// then "finished_success" after transfer_finalize; cancel ends in "finished_cleanup". With
// the default delays of 0 every later phase is in place as soon as the request that
// started it has been answered.
//
// Rules (409 with a fault body unless noted): a second backup of a VM while one is not
// finished; a backup of a disk that is not attached to the VM, or with no disks (400); an
// incremental backup (from_checkpoint_id) from a checkpoint the VM does not have (400) or
// of a disk whose "backup" is not "incremental"; finalizing a backup that is not "ready";
// removing a checkpoint that is the parent of another; a transfer of an unknown disk
// (404), with a direction other than "download" or "upload" (400), on a backup that is
// not "ready" or does not hold the disk, an upload on a backup, a second transfer of a
// disk while one runs; finalizing a transfer that is not "transferring".
//
// The imageio daemon: each transfer gets a ticket (a fresh id) and its URLs are
// "<daemon url>/images/<ticket>" and "<proxy url>/images/<ticket>". The ticket handler is
// told when a transfer starts transferring (added true) and when it ends (added false),
// so a test can serve the disk's backing file through its imageio server. The handler
// runs inside the simulator's lock: it must not call the simulator.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/engine_simulator.h"

namespace test_support {

struct Sim_Backup {
  std::string id;
  std::string vm_id;
  std::string description;
  std::string from_checkpoint_id;     // empty: a full backup
  std::string to_checkpoint_id;       // the checkpoint the backup leaves behind
  std::string phase = "initializing";
  std::vector<std::string> disk_ids;
  int64_t creation_date = 0;          // milliseconds since the epoch
};

struct Sim_Checkpoint {
  std::string id;
  std::string vm_id;
  std::string parent_id;
  std::string state = "created";
  int64_t creation_date = 0;
  std::vector<std::string> disk_ids;
};

struct Sim_Image_Transfer {
  std::string id;
  std::string disk_id;
  std::string backup_id;              // empty: a transfer of the disk itself
  std::string direction;              // "download" or "upload"
  std::string format = "raw";
  std::string phase = "initializing";
  std::string ticket;
  std::string transfer_url;           // set from "transferring" on
  std::string proxy_url;
  std::string host_id;
  int inactivity_timeout = 60;
  int64_t transferred = 0;
  bool shallow = false;
  bool shallow_set = false;
};

// What the imageio daemon of a transfer serves.
struct Sim_Transfer_Ticket {
  std::string ticket;
  std::string transfer_id;
  std::string disk_id;
  std::string path;                   // the disk's backing file
  int64_t size = 0;                   // the disk's provisioned size
  bool readable = false;              // download
  bool writable = false;              // upload
};

struct Backup_Timing {
  std::chrono::milliseconds backup_start{0};
  std::chrono::milliseconds backup_finalize{0};
  std::chrono::milliseconds transfer_start{0};
  std::chrono::milliseconds transfer_finalize{0};
};

// Control and inspection of the backup API of one simulator; any number of these may be
// made for one simulator, they share its state. Every member may be called from any thread.
class Engine_Backup_Control {
public:
  using Ticket_Handler = std::function<void(const Sim_Transfer_Ticket& ticket, bool added)>;

  explicit Engine_Backup_Control(Engine_Simulator& engine);

  void set_timing(const Backup_Timing& timing);
  // Base URLs of the imageio daemon and of the engine's proxy; defaults
  // "https://127.0.0.1:54322" and "https://127.0.0.1:54323".
  void set_daemon_url(const std::string& url);
  void set_proxy_url(const std::string& url);
  void set_ticket_handler(Ticket_Handler handler);

  // A finished checkpoint of the VM (a left-over of an earlier backup); returns its id.
  std::string add_checkpoint(const std::string& vm_id, const std::string& parent_id,
                             const std::vector<std::string>& disk_ids);
  // Moves a backup or a transfer to any phase (a failure of the engine's own).
  bool set_backup_phase(const std::string& id, const std::string& phase);
  bool set_transfer_phase(const std::string& id, const std::string& phase);
  bool set_transferred(const std::string& id, int64_t bytes);

  std::vector<Sim_Backup> backups(const std::string& vm_id = "") const;
  std::vector<Sim_Checkpoint> checkpoints(const std::string& vm_id = "") const;
  std::vector<Sim_Image_Transfer> transfers() const;

private:
  Engine_Simulator::Impl& impl_;
};

}  // namespace test_support

#endif
