#include "backup/rhv/job/rhv_restore_executor.h"

#include <algorithm>
#include <ctime>
#include <exception>

#include "backup/client_io/client_io_options.h"
#include "backup/client_io/option_threshold.h"
#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/json_pointer.h"
#include "backup/rhv/common/rhv_utils.h"
#include "backup/scrt/log.h"
#include "platform/host/host_manager.h"
#include "platform/json/json_dump.h"
#include "platform/storage/compression.h"

namespace {

// Raised (as a warning) when the job has no VM to restore.
const int AGENT_RHEV_CODE_NO_BACKUP_TARGET = 3;

// At most this many VMs, and VMs times disks per VM, are processed at once.
const uint32_t MAX_PARALLEL_TRANSFERS = 10;

const char* yes_no(bool value)
{
  return value ? "Yes" : "No";
}

// "<name>_<now in UTC as %Y%m%d%H%M%S>": the name of a restored VM.
std::string restored_vm_name(const std::string& source_name)
{
  std::time_t now = std::time(nullptr);
  std::tm utc;
  char stamp[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr)
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &utc);
  return source_name + "_" + stamp;
}

}  // namespace

RHV_Restore_Executor::RHV_Restore_Executor(Job& job) : RHV_Executor(job) {}

RHV_Restore_Executor::~RHV_Restore_Executor() {}

const json_spirit::Value& RHV_Restore_Executor::source_value() const
{
  static const json_spirit::Value no_source;
  return src_ != nullptr ? src_->value() : no_source;
}

bool RHV_Restore_Executor::execute_i(const json_spirit::Object*)
{
  Job_Guard guard = make_job_guard(def_.host_id());
  if (!guard)
    return false;
  if (!init())
    return false;
  if (!resolve_options())
    return false;
  if (!resolve_entries())
    return false;

  if (entries_.empty()) {
    write_job_alert(job_, 5, AGENT_RHEV_CODE_NO_BACKUP_TARGET, 0, nullptr, 1);
    RHV_LOG_ERROR("No VM to restore RHV.\n");
    return true;
  }

  Servant_Task_Scheduler scheduler("rhev.restore", entries_.size());
  if (!scheduler.register_stop_callback([this]() { return is_canceled(); }) || !scheduler.enable_global_mutex() ||
      !scheduler.enable_retry(def_.retry_count(), def_.retry_interval())) {
    RHV_LOG_ERROR("Failed to init servant task scheduler of RHV.\n");
    return false;
  }

  for (RHV_Restore_Params& entry : entries_) {
    progress_reporter_.add(entry.vm_id, entry.vm_name);
    if (!construct_params(entry) ||
        !scheduler.enqueue_task(entry.dump(), nullptr, 0, entry.vm_name, entry.vm_id)) {
      RHV_LOG_ERROR("Failed to enqueue servant task scheduler.\n");
      return false;
    }
  }

  RHV_LOG_DEBUG("Assign %u threads to restore RHV.\n", parallel_vms_);
  if (!progress_reporter_.activate(def_.id()) ||
      !activate_scheduler(scheduler, parallel_vms_)) {
    RHV_LOG_ERROR("Failed to activate servant task scheduler.\n");
    return false;
  }

  report_progress(scheduler);
  if (!scheduler.wait()) {
    RHV_LOG_ERROR("Failed to restore RHV.\n");
    return false;
  }
  progress_reporter_.report(true);

  // Every result callback has returned: histories_ is ours alone from here on.
  publish_results();

  size_t succeeded = succeeded_vms_.load();
  if (rc_ && succeeded == entries_.size()) {
    RHV_LOG_INFO("Successfully restore RHV.\n");
  } else {
    RHV_LOG_INFO("Total VM count %B, succeeded VM count %B\n", entries_.size(), succeeded);
    rc_ = false;
  }
  return rc_;
}

bool RHV_Restore_Executor::init_i()
{
  return true;
}

bool RHV_Restore_Executor::resolve_options()
{
  try {
    static const json_spirit::Value no_options;
    const json_spirit::Object& options = (opts_ != nullptr ? opts_->value() : no_options).get_obj();
    json_spirit::extract_or_throw(options)("original_restore", original_restore_)(
        "start_vm", start_vm_, json_spirit::FG_NOTHROW)("parallel_vms", parallel_vms_, json_spirit::FG_NOTHROW)(
        "parallel_disks_per_vm", parallel_disks_per_vm_, json_spirit::FG_NOTHROW)(
        "block_size", block_size_, json_spirit::FG_NOTHROW);
    json_spirit::pextract(source_value())("/pool_uuid", pool_uuid_);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to resolve RHV job options: '%s'.\n", e.what());
    return false;
  }

  RHV_LOG_INFO("Job Options:\n\toriginal_restore=%s\n\tstart_vm=%s\n\tparallel_vms=%u\n\tparallel_disks_per_vm=%u\n"
               "\tblock_size=%u\n",
               yes_no(original_restore_), yes_no(start_vm_), parallel_vms_, parallel_disks_per_vm_, block_size_);

  // The checks take the values as the limits' type: a value above INT_MAX is out of them.
  return rhv::options::block_size.check(static_cast<int>(block_size_)) &&
         rhv::options::parallel_vms.check(static_cast<int>(parallel_vms_)) &&
         rhv::options::parallel_disks_per_vm.check(static_cast<int>(parallel_disks_per_vm_));
}

bool RHV_Restore_Executor::resolve_entries()
{
  RHV_LOG_DEBUG("Resolving RHV restore entries.\n");
  try {
    const json_spirit::Array* entries = nullptr;
    json_spirit::pextract_or_throw(source_value())("/entries", entries);
    entries_.reserve(entries->size());
    for (const json_spirit::Value& entry : *entries)
      if (entry.type() == json_spirit::obj_type && !add_vm_entry(entry.get_obj()))
        return false;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Invalid entries in restore sources: %s\n", e.what());
    return false;
  }

  if (!entries_.empty()) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(entries_.size(), MAX_PARALLEL_TRANSFERS));
    parallel_vms_ = std::min(parallel_vms_, n);
    parallel_disks_per_vm_ =
        parallel_vms_ != 0 ? std::min(parallel_disks_per_vm_, MAX_PARALLEL_TRANSFERS / parallel_vms_) : 0;
  }

  // Restores always let the storage client choose how the pieces are compressed.
  client_io_opts_.compression_method = COMPR_AUTO;
  set_options_by_job_def(client_io_opts_, def_, parallel_vms_);
  set_options_by_host(client_io_opts_);
  set_d2t_access_mode(client_io_opts_);
  return true;
}

bool RHV_Restore_Executor::add_vm_entry(const json_spirit::Object& entry)
{
  RHV_Restore_Params params;
  try {
    const json_spirit::Array* disks = nullptr;
    json_spirit::extract_or_throw(entry)("source_cluster_id", params.cluster_id)(
        "source_cluster_name", params.cluster_name)("source_vm_id", params.vm_id)("source_vm_name", params.vm_name)(
        "catalog_uuid", params.catalog_uuid)("disks", disks);
    if (!params.load_disks(*disks)) {
      RHV_LOG_ERROR("Failed to load disks info.\n");
      return false;
    }
    params.target_vm_name = restored_vm_name(params.vm_name);

    if (!original_restore_) {
      const json_spirit::Array* nics = nullptr;
      json_spirit::extract_or_throw(entry)("target_cluster_id", params.target_cluster_id)(
          "target_cluster_name", params.target_cluster_name, json_spirit::FG_NOTHROW)(
          "nics", nics, json_spirit::FG_NOTHROW);
      if (nics != nullptr && !params.load_nics(*nics)) {
        RHV_LOG_ERROR("Failed to load nics info.\n");
        return false;
      }
      for (const RHV_Restore_Disk& disk : params.disks) {
        if (disk.target_datastore_id.empty()) {
          RHV_LOG_ERROR("Failed to load disk info, storage domain not specified.\n");
          return false;
        }
      }
    } else {
      // In place: the source cluster and storage domains; an in-place task has no NICs.
      params.target_cluster_id = params.cluster_id;
      for (RHV_Restore_Disk& disk : params.disks)
        disk.target_datastore_id = disk.source_datastore_id;
    }

    entries_.push_back(std::move(params));
    return true;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Failed to add RHV restore entry: %s\n", e.what());
    return false;
  }
}

bool RHV_Restore_Executor::construct_params(RHV_Restore_Params& params)
{
  params.parallel_disks_per_vm = parallel_disks_per_vm_;
  params.block_size = block_size_;
  params.start_vm = start_vm_;
  params.original_restore = original_restore_;
  params.def_id = def_.id();
  params.host_uuid = def_.host_id();
  params.job_revision = def_.job_revision();
  params.resource_uuid = src_ != nullptr ? src_->id() : std::string();
  params.access_key = Host_Manager::instance()->access_key();
  WebSocket_Options* backupd = WebSocket_Options::instance();
  params.backupd_host = backupd->host();
  params.backupd_port = backupd->port();
  params.backupd_ssl = backupd->ssl();
  params.client_io_opts = client_io_opts_;
  params.host_info = host_info_;
  params.retry_seconds = static_cast<int>(def_.max_seconds_retry());
  return true;
}

Task_Base::Error RHV_Restore_Executor::handle_result_i(const json_spirit::Object& result)
{
  uint64_t storage_size = 0, source_size = 0, set_size = 0;
  std::string vm_id, vm_name;
  int64_t start_time = 0, end_time = 0;
  int code = Task_Base::CODE_FAILED;
  try {
    json_spirit::extract_or_throw(result)("vm_id", vm_id)("vm_name", vm_name)("storage_size", storage_size)(
        "source_size", source_size)("set_size", set_size)("start_time", start_time)("end_time", end_time)(
        "code", code);
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Unrecognized RHV VM backup response: %s.\n", e.what());
    return Task_Base::CODE_FAILED;
  }

  const bool succeed = code == Task_Base::CODE_SUCCESS;
  if (!succeed)
    storage_size = source_size = set_size = 0;

  json_spirit::Object history;
  json_spirit::insert(history)("set_size", static_cast<unsigned long>(set_size))(
      "storaged_size", static_cast<unsigned long>(storage_size))("size", static_cast<unsigned long>(source_size))(
      "vm_id", vm_id)("name", vm_name)("start_time", static_cast<long>(start_time))(
      "end_time", static_cast<long>(end_time))("succeed", succeed);
  {
    // Result callbacks may run at once on several scheduler threads; a later attempt of
    // the same VM replaces the earlier one.
    ACE_Guard<ACE_Thread_Mutex> lock(histories_mutex_);
    histories_[vm_id] = json_spirit::Value(std::move(history));
  }

  if (!succeed) {
    RHV_LOG_ERROR("Failed to restore RHV VM: the result is %s, try again.\n", JSON_Dump(result).c_str());
    return Task_Base::CODE_FAILED_RETRY;
  }

  storage_size_ += storage_size;
  source_size_ += source_size;
  set_size_ += set_size;
  return Task_Base::CODE_SUCCESS;
}
