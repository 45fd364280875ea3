#include "backup/rhv/job/rhv_progress_reporter.h"

#include <utility>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"

void RHV_VM_Progress_Info::reset()
{
  state.store(STATE_PENDING, std::memory_order_relaxed);
  virtual_disk_count.store(0, std::memory_order_relaxed);
  processed_virtual_disk_count.store(0, std::memory_order_relaxed);
  padding = 0;
  start_time.store(0, std::memory_order_relaxed);
  end_time.store(0, std::memory_order_relaxed);
  total_bytes.store(0, std::memory_order_relaxed);
  processed_bytes.store(0, std::memory_order_relaxed);
}

RHV_Progress_Reporter::RHV_Progress_Reporter(Job_Event_Handler& event_handler, const Job_Activity& job_act)
  : job_act_(job_act), event_handler_(event_handler)
{
}

bool RHV_Progress_Reporter::add(std::string vm_id, std::string vm_name)
{
  const std::string& inst_id = vm_id;
  const std::string& inst_name = vm_name;
  RHV_CHECK_NOT_EMPTY(inst_id, false);
  RHV_CHECK_NOT_EMPTY(inst_name, false);

  VM_Job_Progress progress;
  progress.uuid = std::move(vm_id);
  progress.name = std::move(vm_name);
  job_progresses_.push_back(std::move(progress));
  return true;
}

bool RHV_Progress_Reporter::activate(const std::string& def_id)
{
  if (job_progresses_.empty())
    return true;

  // The wrappers point into job_progresses_, which no longer grows from here on.
  shared_vm_progress_.reserve(job_progresses_.size());
  for (VM_Job_Progress& progress : job_progresses_) {
    std::unique_ptr<RHV_VM_Progress_Handle> handle(new RHV_VM_Progress_Handle());
    if (handle->open(def_id.c_str(), progress.uuid.c_str(), true, true, 0750) != 0)
      return false;
    RHV_VM_Progress_Info* info = handle->get();
    info->reset();
    info->virtual_disk_count.store(progress.virtual_disk_count, std::memory_order_relaxed);
    shared_vm_progress_.emplace_back(&progress, std::move(handle));
  }
  return true;
}

bool RHV_Progress_Reporter::report(bool finished)
{
  for (VM_Mem_Map_Progress_Wrapper& i : shared_vm_progress_) {
    RHV_CHECK_NOT_NULL(i.job_progress, false);
    RHV_CHECK_NOT_NULL(i.handle, false);
    const RHV_VM_Progress_Info* progress_ptr = i.handle->get();
    RHV_CHECK_NOT_NULL(progress_ptr, false);

    // Each field is read on its own: a servant may update the record meanwhile, so one
    // report may mix values from before and after an update.
    int32_t state = progress_ptr->state.load(std::memory_order_relaxed);
    VM_Job_Progress& line = *i.job_progress;
    if (state != STATE_PENDING || !finished) {
      line.state = static_cast<VM_State>(state);
      line.total_bytes = progress_ptr->total_bytes.load(std::memory_order_relaxed);
      line.virtual_disk_count = progress_ptr->virtual_disk_count.load(std::memory_order_relaxed);
      line.processed_bytes = progress_ptr->processed_bytes.load(std::memory_order_relaxed);
      line.processed_virtual_disk_count =
          progress_ptr->processed_virtual_disk_count.load(std::memory_order_relaxed);
      line.start_time = static_cast<time_t>(progress_ptr->start_time.load(std::memory_order_relaxed));
      line.end_time = static_cast<time_t>(progress_ptr->end_time.load(std::memory_order_relaxed));
    } else {
      // The servant of this VM never started.
      line.state = STATE_FAILED;
    }
  }

  if (finished) {
    for (VM_Job_Progress& line : job_progresses_)
      if (line.state != STATE_COMPLETED)
        line.state = STATE_FAILED;
  }

  event_handler_.handle_vm_progress(job_progresses_, job_act_.state.load(), finished);
  return true;
}
