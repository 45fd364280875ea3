#ifndef BACKUP_RHV_SERVANT_RHV_AGENT_RESTORE_H
#define BACKUP_RHV_SERVANT_RHV_AGENT_RESTORE_H

// The restore worker of one VM ("rhev.restore"), moving the data through the agent VM (the
// VM this servant runs on).
//
// execute() reads the VM's backup record from the catalog and turns it into a plan (the VM
// profile, one disk per disk to restore with its piece, the target storage domains, the
// pool to read from); then it creates the new disks and waits until each is ready, creates
// the VM and its NICs, hot-plugs each new disk into the agent VM, writes the backed-up
// image onto its block device and unplugs it, attaches the disks to the new VM and starts
// the VM when asked.
//
// Clean-up is done by scope guards, whatever the path out: the exit guard (armed first,
// run last) writes the progress state and the reply; the clean-up guard removes the disks,
// then the VM, that a failed restore created; each disk task unplugs its disk from the
// agent VM on every way out. A removal answered "not found" (404) by the engine counts as
// done; one refused because the object is busy (locked, or another command at work on it)
// is tried again with the new-disk poll's pauses.
//
// A disk or VM whose creation went out without an answer may exist all the same: the
// clean-up looks it up by the name this run gave it (the names carry the time of the run),
// waits while the engine is still making it, and removes it. The engine allows several
// disks of one name, so a disk counts as this run's only when it has the name, the target
// storage domain and the size asked for, was not among the disks of that name that the
// engine listed just before the create, and is the only such disk. The engine keeps VM
// names unique, so a VM of the target name that it listed just before the create is
// another client's (the create was refused): it is left alone. Nothing is looked up for a
// create that never reached the engine.
//
// Threads: while the data is written, disk tasks run on a thread task scheduler and a
// storage monitor checks every 10 seconds that each target storage domain keeps more than
// 16 GiB available, stopping the restore otherwise. The tasks share the engine client:
// session_mutex_ serialises their attach and detach calls on the agent VM and the
// monitor's reads. Counters shared between threads are atomic, and the progress record's
// counters are added to atomically.
//
// The plan is made in rhv_agent_restore.cpp, the engine objects and the data are handled
// in rhv_agent_restore_write.cpp.

#include <ace/Thread_Mutex.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backup/models/task/task_base.h"
#include "backup/rhv/api/rhv_defs_vm.h"
#include "backup/rhv/api/rhv_vm_services.h"
#include "backup/rhv/servant/rhv_servant_pause.h"
#include "backup/rhv/servant/rhv_vm_restore.h"
#include "platform/http/json_restful_client.h"
#include "platform/json/value.h"
#include "platform/storage/block_file.h"
#include "platform/storage/client_io_base.h"

class RHV_Agent_Restore : public RHV_VM_Restore {
public:
  // Waits and limits of the engine steps.
  enum {
    INITIAL_INTERVAL = 1,            // first pause of the new-disk poll and the detach retries
    MAX_RETRY_TIMES = 100,           // polls and retries at most
    MAX_INTERVAL = 30,               // longest pause between them
    MAX_ATTACH_RETRY = 5,            // attaches to the agent VM after the first
    MAX_DEVICE_CHECKS = 11,          // checks of the device path per attach
    DEVICE_CHECK_INTERVAL = 3,       // seconds after each miss
    MONITOR_INTERVAL = 10,           // seconds between two checks of the storage domains
    TASK_QUEUE_CAPACITY = 1024
  };

  // A target storage domain must keep more than this many bytes available (16 GiB).
  static const uint64_t MIN_STORAGE_AVAILABLE = 17179869184ULL;
  // The unit of the device writes; a unit of zeros is not written.
  static const size_t WRITE_CHUNK = 65536;

  // The pool the pieces are read from.
  struct Storage_Pool {
    std::string url;  // the pool's url joined with the catalog's "uri"
    Client_IO_Base::Options io_opts;
  };

  // Pieces of one new disk, and how many of them are written.
  struct Record {
    int total_piece = 0;
    int completed_piece = 0;
  };

  // One backup piece of a disk.
  struct Disk_Piece {
    std::string remote_path;  // path of the piece in the pool
    uint64_t size = 0;        // bytes
    uint64_t block_size = 0;  // the block size it was written with

    json_spirit::Object dump() const;
    bool load(const json_spirit::Object& obj);
  };

  // One disk to restore.
  struct Restore_Disk {
    std::string local_path;         // its device on the agent VM, once attached there
    std::string new_attachment_id;  // its attachment to the agent VM (then to the new VM)
    std::string source_disk_id;
    std::string source_disk_name;
    std::string target_disk_id;     // the new disk, once created
    std::string target_disk_name;   // set before it is created
    bool create_unanswered = false;  // its creation went out, no answer came back
    std::set<std::string> namesakes;  // disks of target_disk_name before its creation
    std::string source_datastore_id;
    std::string target_datastore_id;  // the storage domain the new disk is made on
    RHV_Disk_Attachment attachment;   // the backed-up attachment, with its disk
    std::vector<Disk_Piece> pieces;

    json_spirit::Object dump() const;
    bool load(const json_spirit::Object&) { return true; }
  };

  // The VM to create.
  struct Restore_VM {
    std::string source_vm_id;
    std::string source_vm_name;
    std::string source_cluster_id;
    std::string source_cluster_name;
    std::string target_vm_id;  // the new VM, once created
    std::string target_vm_name;
    std::string target_cluster_id;
    std::string target_cluster_name;
    RHV_VM vm;  // the VM profile of the catalog

    json_spirit::Object dump() const;
    bool load(const json_spirit::Object&) { return true; }
  };

  RHV_Agent_Restore();
  ~RHV_Agent_Restore() override;

  bool execute(json_spirit::Value& result) override;

  // Opens a hot-plugged disk's device for writing, never creating it, and checks that it
  // is a block device (or, when `regular_files`, a regular file: the stand-in devices of
  // a test configuration). False, logged, otherwise.
  static bool open_device(Fixed_Block_File_Writer& writer, const std::string& path, size_t block_size,
                          bool regular_files);

protected:
  bool init_i() override;

  // ---- catalog and plan ----
  bool prepare();
  bool get_catalogs();
  bool prepare_vm(const json_spirit::Object* vm);
  bool prepare_disks(const json_spirit::Array* disk_attachments, const json_spirit::Array* disk_pieces);
  bool prepare_pool_info(const json_spirit::Array* storages, const std::string& uri);
  std::string get_pool_uuid(const json_spirit::Array& storages);
  bool get_pool(const std::string& pool_uuid, const std::string& uri);

  // The exit step: final progress state, then the reply object.
  void finish(bool succeeded, json_spirit::Value& result);

  // ---- engine objects ----
  bool create_disks();
  bool create_vm();
  bool create_nics();
  bool attach_target_vm_disks(const std::string& vm_id);
  bool start_vm();
  bool clean_resource();
  bool clean_disks();
  bool clean_vm();
  // The new disk made without an answer into `d.target_disk_id`, once the engine has made
  // it (see above); false when there is none that is surely this run's.
  bool find_unanswered_disk(RHV_Disk_Service& disks, Restore_Disk& d);
  // The VM made without an answer into restore_vm_.target_vm_id, once the engine has made
  // it: the one VM of the target name that was not there before the create. False when
  // there is none.
  bool find_unanswered_vm(RHV_VM_Service& vms);
  // Waits, within the clean-up budget, while the engine is still making the object `id` of
  // `service` (an `Entity` whose status reads `making` meanwhile): the engine refuses to
  // remove it until then.
  template <typename Entity, typename Service>
  void wait_made(Service& service, const std::string& id, const char* making);
  // Calls `done` with the pauses and count of the new-disk poll until it is true; false
  // when the poll runs out or `stop` ends a pause.
  bool poll(const std::function<bool()>& done, const std::function<bool()>& stop);
  // Removes an object of `service` with `remove`, trying again while the engine answers
  // that it is busy; an object the engine no longer knows counts as removed.
  bool remove_when_free(RHV_Service& service, const std::function<bool()>& remove);

  // ---- data ----
  bool restore_disks();
  bool restore_disk_i(const std::shared_ptr<Restore_Disk>& disk);
  bool attach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Restore_Disk>& disk, bool to_agent);
  // `unanswered` (optional) tells, after a failed attach to the agent VM, whether the
  // request went out without an answer coming back.
  bool attach_disk_i(RHV_Disk_Attachment_Service& service, const RHV_Disk_Attachment& in, RHV_Disk_Attachment& out,
                     bool to_agent, bool* unanswered = nullptr);
  bool detach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Restore_Disk>& disk);
  bool detach_disk_i(RHV_Disk_Attachment_Service& service, const std::string& attachment_id);
  bool get_disk_file(const std::shared_ptr<Restore_Disk>& disk);
  bool update_record(const std::string& disk_id);
  // Writes one run of the image at `offset` of the device, skipping chunks of zeros; false
  // when a write fails or the restore is to stop.
  bool write_run(Fixed_Block_File_Writer& writer, const std::string& path, const void* data, size_t size,
                 uint64_t offset);

  // ---- storage monitor ----
  // 0: every target domain keeps enough; -1: one does not; 1: one could not be read.
  int check_storages_quota();
  void monitor_storage_capacity();

  json_spirit::Array cats_;
  Restore_VM restore_vm_;
  std::vector<std::shared_ptr<Restore_Disk>> restore_disks_;
  Storage_Pool pool_;
  JSON_RESTful_Client upstream_;
  size_t pieces_count_ = 0;
  std::atomic<uint64_t> succeeded_pieces_{0};
  std::set<std::string> rhv_storages_;
  std::map<std::string, Record> record;
  ACE_Thread_Mutex mutex_;
  ACE_Thread_Mutex session_mutex_;
  RHV_Servant_Wake completed_;  // set when the data step ends; wakes the storage monitor
  bool vm_created_ = false;  // restore_vm_.target_vm_id names a VM this worker made
  bool vm_unanswered_ = false;  // the VM's creation went out, no answer came back
  std::set<std::string> vm_namesakes_;  // VMs of the target name before its creation
};

#endif  // BACKUP_RHV_SERVANT_RHV_AGENT_RESTORE_H
