#include "backup/rhv/job/rhv_backup_executor.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "backup/client_io/client_io_options.h"
#include "backup/client_io/option_threshold.h"
#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/scrt/log.h"
#include "platform/host/host_manager.h"
#include "platform/json/json_dump.h"
#include "platform/storage/compression.h"

namespace {

// Alert codes raised by the backup job: level 5 (warning) and level 3 (information).
const int AGENT_RHEV_CODE_NO_BACKUP_TARGET = 3;
const int AGENT_RHEV_CODE_SUCCEED_TO_BACKUP_VM = 31;

// At most this many VMs, and VMs times disks per VM, are processed at once.
const uint32_t MAX_PARALLEL_TRANSFERS = 10;

const json_spirit::Object& empty_object()
{
  static const json_spirit::Object empty;
  return empty;
}

}  // namespace

RHV_Backup_Executor::RHV_Backup_Executor(Job& job) : RHV_Executor(job) {}

RHV_Backup_Executor::~RHV_Backup_Executor() {}

const json_spirit::Object& RHV_Backup_Executor::options_object() const
{
  if (opts_ == nullptr || opts_->value().type() != json_spirit::obj_type)
    return empty_object();
  return opts_->value().get_obj();
}

bool RHV_Backup_Executor::execute_i(const json_spirit::Object*)
{
  Job_Guard guard = make_job_guard(def_.host_id());
  if (!guard)
    return false;
  if (!init())
    return false;
  if (!resolve_entries())
    return false;
  if (!entries_.empty() && !resolve_options())
    return false;
  filter_entries();

  if (entries_.empty()) {
    write_job_alert(job_, 5, AGENT_RHEV_CODE_NO_BACKUP_TARGET, 0, nullptr, 1);
    RHV_LOG_WARNING("No RHV VMs to backup.\n");
    return true;
  }

  if (!init_client_io_opts())
    return false;

  Servant_Task_Scheduler scheduler("rhev.backup", entries_.size());
  if (!scheduler.register_stop_callback([this]() { return is_canceled(); }) || !scheduler.enable_global_mutex() ||
      !scheduler.enable_retry(def_.retry_count(), def_.retry_interval())) {
    RHV_LOG_ERROR("Failed to init RHV servant task scheduler.\n");
    return false;
  }

  for (RHV_Backup_Params& entry : entries_) {
    progress_reporter_.add(entry.vm_id, entry.vm_name);
    if (!construct_params(entry) ||
        !scheduler.enqueue_task(entry.dump(), nullptr, 0, entry.vm_name, entry.vm_id)) {
      RHV_LOG_ERROR("Failed to enqueue RHV servant task scheduler.\n");
      return false;
    }
  }

  RHV_LOG_DEBUG("Assign %u threads to backup RHV VMs.\n", parallel_vms_);
  if (!progress_reporter_.activate(def_.id())) {
    RHV_LOG_ERROR("Failed to activate RHV servant task scheduler.\n");
    return false;
  }
  if (!activate_scheduler(scheduler, parallel_vms_)) {
    RHV_LOG_ERROR("Failed to activate RHV servant task scheduler.\n");
    return false;
  }

  report_progress(scheduler);
  if (!scheduler.wait()) {
    RHV_LOG_ERROR("Failed to backup RHV.\n");
    return false;
  }
  progress_reporter_.report(true);

  // Every result callback has returned: histories_ is ours alone from here on.
  publish_results();

  size_t succeeded = succeeded_vms_.load();
  if (rc_ && succeeded == entries_.size()) {
    RHV_LOG_INFO("Successfully backup RHV.\n");
  } else {
    RHV_LOG_INFO("Total RHV VM count %B, succeeded VM count %B\n", entries_.size(), succeeded);
    rc_ = false;
  }
  return rc_;
}

bool RHV_Backup_Executor::init_i()
{
  const json_spirit::Object& options = options_object();
  std::string method_text;
  if (json_spirit::object_get(options, "backup_method", method_text) && !method_text.empty())
    backup_method_ = name_to_method(method_text.c_str(), 0);

  const RHV_Version& version = client_.version();
  switch (backup_method_) {
  case SAN:
    if (version.major < 4 || (version.major == 4 && version.minor < 4))
      RHV_LOG_ERROR("Unsupported backup method 'san' when RHV version less than 4.4.\n");
    else
      RHV_LOG_ERROR("Unsupported backup method '%s'.\n", method_text.c_str());
    return false;
  case NFC:
  default:
    backup_method_ = NFC;
    if (host_info_.agent_vm_id.empty()) {
      RHV_LOG_ERROR("Unsupported backup method 'nfc' when agent_vm_id is empty.\n");
      return false;
    }
    return true;
  }
}

bool RHV_Backup_Executor::resolve_options()
{
  RHV_LOG_DEBUG("Resolving RHV options.\n");
  const json_spirit::Object& options = options_object();

  std::string compression;
  bool has_compression = json_spirit::object_get(options, "compression", compression);
  json_spirit::object_get(options, "compression_level", client_io_opts_.compression_level);
  json_spirit::object_get(options, "block_size", block_size_);
  json_spirit::object_get(options, "parallel_vms", parallel_vms_);
  json_spirit::object_get(options, "parallel_disks_per_vm", parallel_disks_per_vm_);
  json_spirit::object_get(options, "storage_reserved_bytes", storage_reserved_bytes_);
  json_spirit::object_get(options, "storage_reserved_percent", storage_reserved_percent_);
  if (has_compression)
    client_io_opts_.compression_method = compression_name_to_value(compression.c_str(), -1);

  // The checks take the values as the limits' type: a value above INT_MAX is out of them.
  return rhv::options::block_size.check(static_cast<int>(block_size_)) &&
         rhv::options::parallel_vms.check(static_cast<int>(parallel_vms_)) &&
         rhv::options::parallel_disks_per_vm.check(static_cast<int>(parallel_disks_per_vm_));
}

bool RHV_Backup_Executor::init_client_io_opts()
{
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(entries_.size(), MAX_PARALLEL_TRANSFERS));
  parallel_vms_ = std::min(parallel_vms_, n);
  parallel_disks_per_vm_ =
      parallel_vms_ != 0 ? std::min(parallel_disks_per_vm_, MAX_PARALLEL_TRANSFERS / parallel_vms_) : 0;

  if (client_io_opts_.compression_method == COMPR_NONE)
    client_io_opts_.compression_method = COMPR_AUTO;
  client_io_opts_.extra_options.clear();

  if (!get_pool_info(tgt_.id(), tgt_.device_id(), pool_info_, false, 0, nullptr, true, nullptr, nullptr, false)) {
    RHV_LOG_ERROR("Failed to get information of storage pool ID=%s, NAME=%s.\n", tgt_.id().c_str(),
                  tgt_.name().c_str());
    return false;
  }
  if (!set_options_by_pool(client_io_opts_, pool_info_)) {
    RHV_LOG_ERROR("Failed to set Client IO options by pool.\n");
    return false;
  }
  set_options_by_job_def(client_io_opts_, def_, parallel_vms_);
  set_options_by_host(client_io_opts_);
  set_d2t_access_mode(client_io_opts_);

  const char* compression_name = compression_value_to_name(client_io_opts_.compression_method);
  RHV_LOG_DEBUG("Job Options:\n\tcompression=%s\n\tcompression_level=%d\n\tblock_size=%u\n\tparallel_vms=%u\n"
                "\tparallel_disks_per_vm=%u\n",
                compression_name != nullptr ? compression_name : "", client_io_opts_.compression_level, block_size_,
                parallel_vms_, parallel_disks_per_vm_);
  return true;
}

bool RHV_Backup_Executor::construct_params(RHV_Backup_Params& params)
{
  WebSocket_Options* backupd = WebSocket_Options::instance();
  params.backupd_ssl = backupd->ssl();
  params.backupd_port = backupd->port();
  params.backupd_host = backupd->host();
  params.job_revision = def_.job_revision();
  params.def_id = def_.id();
  params.host_uuid = def_.host_id();
  params.resource_uuid = src_->id();
  params.access_key = Host_Manager::instance()->access_key();
  params.client_io_opts = client_io_opts_;
  params.parallel_disks_per_vm = parallel_disks_per_vm_;
  params.block_size = block_size_;
  params.host_info = host_info_;

  params.backup_type = def_.subtype();
  params.pool_url = pool_info_.url + "/" + def_.host_id();
  params.catalog.clear();
  json_spirit::insert(params.catalog)("name", def_.name())("agent", def_.agent())("pool_uuid", tgt_.id());
  params.backup_method = backup_method_;
  return true;
}

Task_Base::Error RHV_Backup_Executor::handle_result_i(const json_spirit::Object& result)
{
  uint64_t storage_size = 0, source_size = 0, set_size = 0;
  std::string data_center_id, data_center_name, cluster_id, cluster_name, host_id, host_name, vm_id, vm_name;
  int64_t start_time = 0, end_time = 0;
  Task_Base::Error code = Task_Base::CODE_FAILED;
  try {
    json_spirit::extract_or_throw(result)("storage_size", storage_size)("source_size", source_size)(
        "set_size", set_size)("data_center_id", data_center_id)("data_center_name", data_center_name)(
        "cluster_id", cluster_id)("cluster_name", cluster_name)("host_id", host_id)("host_name", host_name)(
        "vm_id", vm_id)("vm_name", vm_name)("start_time", start_time)("end_time", end_time)("code", code);
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
      "data_center_id", data_center_id)("data_center_name", data_center_name)("cluster_id", cluster_id)(
      "cluster_name", cluster_name)("host_id", host_id)("host_name", host_name)("vm_id", vm_id)("name", vm_name)(
      "start_time", static_cast<long>(start_time))("end_time", static_cast<long>(end_time))("succeed", succeed);
  {
    ACE_Guard<ACE_Thread_Mutex> lock(histories_mutex_);
    // A later attempt of the same VM replaces the earlier one.
    histories_[vm_id] = json_spirit::Value(std::move(history));
  }

  if (!succeed) {
    RHV_LOG(Task_Base::CODE_FAILED_RETRY, LM_ERROR, "Failed to backup RHV VM: the result is %s, try again.\n",
            JSON_Dump(result).c_str());
    return Task_Base::CODE_FAILED_RETRY;
  }

  storage_size_ += storage_size;
  source_size_ += source_size;
  set_size_ += set_size;
  json_spirit::Array params;
  params.push_back(json_spirit::Value(vm_name));
  write_job_alert(job_, 3, AGENT_RHEV_CODE_SUCCEED_TO_BACKUP_VM, 0, &params, 1);
  return code;
}
