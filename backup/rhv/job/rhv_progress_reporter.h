#ifndef BACKUP_RHV_JOB_RHV_PROGRESS_REPORTER_H
#define BACKUP_RHV_JOB_RHV_PROGRESS_REPORTER_H

// Per-VM progress shared between the job process and the servant processes.
//
// Each VM of a run has one small file, <prefix>/<definition id>/<vm id>, mapped shared by
// both sides. The job side (RHV_Progress_Reporter) creates the files before any task
// starts; the servant of a VM opens its existing file, resets it and keeps it up to date;
// the job side reads every file periodically and once at the end and hands the figures to
// the job's event handler. Neither side locks the file.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backup/scrt/mem_map_handle.h"
#include "platform/job/job_activity.h"
#include "platform/job/job_services.h"
#include "platform/job/job_types.h"

// The record at offset 0 of a VM's progress file, in host byte order; the rest of the
// 4096-byte file is unused.
//
//   0  state (VM_State)            4  virtual_disk_count      8  processed_virtual_disk_count
//   12 padding                     16 start_time (s)          24 end_time (s)
//   32 total_bytes                 40 processed_bytes
//
// The fields are atomics of the plain integer width, so that the servant's workers may
// add to the counters concurrently (fetch_add) while the job side reads them.
struct RHV_VM_Progress_Info {
  std::atomic<int32_t> state;                         // a VM_State
  std::atomic<int32_t> virtual_disk_count;            // disks of the VM to process
  std::atomic<int32_t> processed_virtual_disk_count;  // disks done
  int32_t padding;
  std::atomic<int64_t> start_time;                    // seconds since the epoch; 0: not started
  std::atomic<int64_t> end_time;                      // seconds since the epoch; 0: not ended
  std::atomic<uint64_t> total_bytes;                  // bytes to transfer
  std::atomic<uint64_t> processed_bytes;              // bytes transferred

  // Every field 0: the state is pending.
  void reset();
};

static_assert(std::atomic<int32_t>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free,
              "the progress record needs address-free atomics");
static_assert(offsetof(RHV_VM_Progress_Info, virtual_disk_count) == 4 &&
                  offsetof(RHV_VM_Progress_Info, processed_virtual_disk_count) == 8 &&
                  offsetof(RHV_VM_Progress_Info, start_time) == 16 &&
                  offsetof(RHV_VM_Progress_Info, end_time) == 24 &&
                  offsetof(RHV_VM_Progress_Info, total_bytes) == 32 &&
                  offsetof(RHV_VM_Progress_Info, processed_bytes) == 40 && sizeof(RHV_VM_Progress_Info) == 48,
              "the progress layout is shared with other processes");

// The directory of the progress files.
struct RHV_VM_Progress_Info_Conf {
  static const char* prefix() { return "/var/opt/quillon/tessera3/$COMPONENT/act/rhv"; }
};

typedef Mem_Map_Handle<RHV_VM_Progress_Info, RHV_VM_Progress_Info_Conf, 4096> RHV_VM_Progress_Handle;

// One mapped progress file and the report line it feeds. The pointer points into the
// reporter's list of report lines.
struct VM_Mem_Map_Progress_Wrapper {
  VM_Job_Progress* job_progress = nullptr;
  std::unique_ptr<RHV_VM_Progress_Handle> handle;

  VM_Mem_Map_Progress_Wrapper() = default;
  VM_Mem_Map_Progress_Wrapper(VM_Job_Progress* progress, std::unique_ptr<RHV_VM_Progress_Handle> h)
    : job_progress(progress), handle(std::move(h))
  {
  }
  VM_Mem_Map_Progress_Wrapper(VM_Mem_Map_Progress_Wrapper&&) = default;
  VM_Mem_Map_Progress_Wrapper& operator=(VM_Mem_Map_Progress_Wrapper&&) = default;
  VM_Mem_Map_Progress_Wrapper(const VM_Mem_Map_Progress_Wrapper&) = delete;
  VM_Mem_Map_Progress_Wrapper& operator=(const VM_Mem_Map_Progress_Wrapper&) = delete;
};

// The job side of the progress files. Used on the job thread only.
//
// Calling order: every add() before activate(), which creates the files and must run
// before any servant starts (servants open the files without creating them); then
// report(false) any number of times and report(true) once at the end. The files stay
// mapped until the reporter is destroyed and are never removed; a file left by an earlier
// run of the same definition is reset by activate().
class RHV_Progress_Reporter {
public:
  RHV_Progress_Reporter(Job_Event_Handler& event_handler, const Job_Activity& job_act);

  // Adds a report line for the VM. An empty id or name is refused (check message).
  bool add(std::string vm_id, std::string vm_name);

  // Creates and maps one file per added VM under the definition id `def_id`, each written
  // as pending. Stops at the first file that cannot be made: the files made so far stay
  // mapped and the VMs without a file stay pending.
  bool activate(const std::string& def_id);

  // Reads every file into the report lines and hands them to the event handler. With
  // `finished`, every VM that has not completed is reported as failed.
  bool report(bool finished);

  const std::vector<VM_Job_Progress>& job_progresses() const { return job_progresses_; }

private:
  const Job_Activity& job_act_;
  Job_Event_Handler& event_handler_;
  std::vector<VM_Job_Progress> job_progresses_;
  std::vector<VM_Mem_Map_Progress_Wrapper> shared_vm_progress_;
};

#endif  // BACKUP_RHV_JOB_RHV_PROGRESS_REPORTER_H
