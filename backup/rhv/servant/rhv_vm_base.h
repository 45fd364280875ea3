#ifndef BACKUP_RHV_SERVANT_RHV_VM_BASE_H
#define BACKUP_RHV_SERVANT_RHV_VM_BASE_H

// The common part of the per-VM servant workers (backup and restore): one worker serves
// one "rhev.backup" or "rhev.restore" request, on the thread that delivered it.
//
// The handler creates the worker, load()s the task parameters into it and calls
// execute(), which starts with init(): the worker opens the job's activity record (the
// job's only way to cancel its servants), binds its alerter, logs in to the engine with a
// client of its own, opens the VM's progress file made by the job side, marks the VM as
// running there and runs the worker's own init_i().
//
// `P` is RHV_Backup_Params or RHV_Restore_Params.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/job/rhv_alerter.h"
#include "backup/rhv/job/rhv_progress_reporter.h"
#include "platform/job/job_activity.h"
#include "platform/json/value.h"

template <typename P>
class RHV_VM_Base {
public:
  RHV_VM_Base() = default;
  virtual ~RHV_VM_Base();
  RHV_VM_Base(const RHV_VM_Base&) = delete;
  RHV_VM_Base& operator=(const RHV_VM_Base&) = delete;

  // Runs the whole request and fills `result` with the reply object (it always does, also
  // on failure, with "code" 1). True when the VM was processed.
  virtual bool execute(json_spirit::Value& result) = 0;

  // Reads the task parameters; false (logged) when they do not load.
  bool load(const json_spirit::Object& params) { return params_.load(params); }

  // The steps common to both workers (see above); false, logged, at the first that fails.
  bool init();

  // True once the job asks its servants to stop: its activity is canceling, canceled or
  // aborting. False while the activity is not open.
  bool is_canceled() const;

  // The time the clean-up that follows a cancel may still spend waiting on the engine (a
  // snapshot or disk still being made before it can be removed, a removal polled until
  // done, a detach retried), so that the reply goes out well inside the platform's stop
  // grace.
  static constexpr int CANCEL_CLEANUP_SECONDS = 30;

  // True once the job is cancelled and that time has passed since the first call that
  // found it so: the stop test of the clean-up's pauses. False while the job runs.
  bool cleanup_overdue() const;

  const P& params() const { return params_; }

protected:
  // The worker's own part of init(), run last.
  virtual bool init_i() = 0;

  // The mapped progress record of the VM, or null while it is not open.
  RHV_VM_Progress_Info* progress() const { return progress_ && *progress_ ? progress_->get() : nullptr; }

  // Marks the VM completed or failed in its progress record and gives the start and end
  // times the reply carries. The record is touched only while it is mapped (init may have
  // failed before opening it); without it the times are the worker's start and now.
  void finish_progress(bool succeeded, int64_t& start_time, int64_t& end_time);

  // A create whose answer was lost is looked up by what this run gave the object: true
  // when exactly one object matches (`ids`). When several do, any of them may be another
  // client's, so none may be removed: logs a warning naming them (`kind` in the plural,
  // "disks"; `what` says how they match).
  static bool only_one_found(const char* kind, const std::string& what, const std::vector<std::string>& ids);

  time_t start_time_ = 0;  // the worker's start, as written into the progress record
  P params_;
  RHV_Client client_;
  RHV_Servant_Alerter alerter_;
  Job_Activity_Handle job_act_;
  std::unique_ptr<RHV_VM_Progress_Handle> progress_;

private:
  // When cleanup_overdue() first found the job cancelled (steady clock, ns; 0: not yet).
  mutable std::atomic<int64_t> cleanup_start_{0};
};

#endif  // BACKUP_RHV_SERVANT_RHV_VM_BASE_H
