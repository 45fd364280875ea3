#ifndef BACKUP_RHV_SERVANT_RHV_AGENT_BACKUP_H
#define BACKUP_RHV_SERVANT_RHV_AGENT_BACKUP_H

// The backup worker of one VM ("rhev.backup"), moving the data through the agent VM (the
// VM this servant runs on).
//
// execute() takes a snapshot of the VM, makes one piece per snapshot disk, and copies each
// piece on a pool of threads: the snapshot disk is hot-plugged into the agent VM, its block
// device is read block by block and written as an image into the storage pool, then the
// disk is unplugged. It then commits the catalog record of the backup, removes the
// snapshot and writes the final progress state and the reply.
//
// Clean-up is done by scope guards, whatever the path out: the exit guard (armed first,
// run last) writes the progress state and the reply; the clean-up guard removes the
// pieces when the backup failed and the snapshot always; each piece has a guard that
// unplugs its disk. Snapshots that an earlier run of this host left on the VM are
// removed at the start.
//
// A removal that the engine answers "not found" (404) counts as done: the object is gone,
// e.g. removed by a first sending of the request whose answer was lost. A creation that
// went out without an answer may have been carried out all the same: the snapshot is then
// looked up by its description (this run's own), and a disk attached to the agent VM by
// the agent VM's attachment of that disk, and removed.
//
// Threads: the piece threads share the engine client; session_mutex_ serialises their
// attach and detach calls, the only engine calls made while pieces run. Counters shared
// by the piece threads are atomic, and the progress record's counters are added to
// atomically.

#include <ace/Thread_Mutex.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "backup/models/task/task_base.h"
#include "backup/rhv/api/rhv_vm_services.h"
#include "backup/rhv/servant/rhv_vm_backup.h"
#include "platform/catalog/backup_set.h"
#include "platform/storage/block_file.h"
#include "platform/storage/client_io_ex.h"
#include "platform/storage/image_block.h"

class RHV_Agent_Backup : public RHV_VM_Backup {
public:
  // Seconds and counts of the waits.
  enum {
    INITIAL_INTERVAL = 1,               // first pause of each poll
    MAX_INTERVAL = 3,                   // longest pause while a device appears
    MAX_RETRY_TIMES = 11,               // attach attempts, and polls per attempt
    MAX_WAIT_SNAPSHOT_RETRY_TIMES = 30,  // polls of a snapshot being made or removed
    MAX_WAIT_SNAPSHOT_INTERVAL = 120     // longest pause between them
  };

  struct Task;

  // A byte range of one snapshot disk, stored as one object of the pool.
  struct Piece {
    size_t index = 0;
    uint64_t offset = 0;       // in the disk
    uint64_t source_size = 0;  // bytes of the disk it covers
    std::string name;
    std::string remote_path;   // "RHV/<vm id>/<name>" in the pool
    Task* task = nullptr;      // the disk it belongs to
  };

  // One snapshot disk and its pieces.
  struct Task {
    std::string attachment_id;  // its attachment to the agent VM, once attached
    std::string path;           // its block device, once attached
    RHV_Disk disk;              // from the snapshot's disk list
    std::atomic<uint64_t> pieces_count{0};  // pieces not finished yet
    std::vector<std::shared_ptr<Piece>> pieces;
  };

  typedef std::unordered_map<std::string, std::shared_ptr<Task>> Task_Map;

  RHV_Agent_Backup();
  ~RHV_Agent_Backup() override;

  bool execute(json_spirit::Value& result) override;

protected:
  bool save_catalog() override;

  // ---- flow and snapshot ----
  bool remove_prev_snapshots();
  bool prepare_snapshot();
  bool create_snapshot();
  // Polls the snapshot until it is "ok"; false when the poll runs out, a read fails or
  // `stop` ends a pause.
  bool wait_snapshot(const std::function<bool()>& stop);
  bool prepare_disks();
  bool prepare_pieces(std::vector<RHV_Disk>& disks);
  bool split_disk(std::shared_ptr<Task>& task);
  bool clear_resource(bool succeeded);
  bool remove_pieces(bool succeeded);
  bool remove_snapshot(RHV_Snapshot& snap);
  // Looks the snapshot whose creation was not answered up by its description into
  // snapshot_, and waits for it to be made; false when the VM has none such.
  bool find_unanswered_snapshot();
  // The exit step: final progress state, then the reply object.
  void finish(bool succeeded, json_spirit::Value& result);

  // ---- piece transfer ----
  bool backup_disks();
  Task_Base::Error backup_piece(const std::shared_ptr<Piece>& piece);
  bool open_client_io(const std::string& remote_path, Client_IO_Ex& client);
  bool init_image_writer(const std::shared_ptr<Piece>& piece, const Client_IO_Ex& client, Image_Block_Writer& writer);
  bool download_piece(const std::shared_ptr<Piece>& piece, Client_IO_Ex& client, Image_Block_Writer& writer);
  bool attach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Piece>& piece);
  // `unanswered` (optional) tells, on failure, whether the request went out without an
  // answer coming back.
  bool attach_disk_i(RHV_Disk_Attachment_Service& service, const RHV_Disk_Attachment& request,
                     RHV_Disk_Attachment& reply, bool* unanswered = nullptr);
  bool wait_attach_disk(const std::shared_ptr<Piece>& piece);
  bool detach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Piece>& piece);
  bool detach_disk_i(RHV_Disk_Attachment_Service& service, const std::string& attachment_id);
  bool progress_handler(long bytes);
  long reader_handler(Fixed_Block_File_Reader& reader, const Piece& piece, const void*& data, long maxlen,
                      long offset);

  // ---- catalog record ----
  bool backup_vm_meta(RHV_Backup_Set& set);

  // The tasks in the order of the task's attachments, then any other.
  std::vector<std::shared_ptr<Task>> ordered_tasks() const;

  std::atomic<uint64_t> succeeded_pieces_{0};
  std::atomic<bool> fail_{false};
  size_t pieces_count_ = 0;
  RHV_Snapshot_Service snapshot_service_;
  RHV_Snapshot snapshot_;
  bool snapshot_unanswered_ = false;  // its creation went out, no answer came back
  Task_Map tasks_;
  ACE_Thread_Mutex session_mutex_;
};

#endif  // BACKUP_RHV_SERVANT_RHV_AGENT_BACKUP_H
