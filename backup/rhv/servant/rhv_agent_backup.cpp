// The backup worker's flow: snapshot, pieces, clean-up and the reply. The data transfer is
// in rhv_agent_backup_transfer.cpp, the catalog record in rhv_agent_backup_catalog.cpp.

#include "backup/rhv/servant/rhv_agent_backup.h"

#include <ace/OS_NS_time.h>

#include <algorithm>

#include "backup/client_io/backoff_range.h"
#include "backup/json_spirit/assign.h"
#include "backup/rhv/servant/rhv_servant_pause.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/make_nothrow.h"
#include "backup/scrt/scoped_deleter.h"
#include "backup/scrt/string_format.h"
#include "backup/scrt/time_format.h"
#include "platform/job/job_types.h"
#include "platform/storage/compression.h"

namespace {

// A size the engine reports; its "no value" (-1) counts as nothing.
uint64_t bytes_of(long size)
{
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

}  // namespace

RHV_Agent_Backup::RHV_Agent_Backup() : snapshot_service_(RHV_Session_var(), std::string())
{
}

RHV_Agent_Backup::~RHV_Agent_Backup()
{
}

bool RHV_Agent_Backup::execute(json_spirit::Value& result)
{
  bool succeeded = false;
  auto exit_guard = make_deleter([this, &succeeded, &result] { finish(succeeded, result); });

  if (!init())
    return false;

  uint64_t total = 0;
  for (const RHV_Disk_Attachment& attachment : params_.attachments)
    total += bytes_of(attachment.disk.provisioned_size);
  if (RHV_VM_Progress_Info* info = progress())
    info->total_bytes = total;
  timestamp_ = POSIX_Time_Format<32, false>(start_time_, "%Y%m%d%H%M%S").c_str();
  snapshot_service_ = client_.vm_service().snapshot_service(vm_.id);

  remove_prev_snapshots();

  auto cleanup_guard = make_deleter([this, &succeeded] { clear_resource(succeeded); });

  if (!prepare_snapshot() || !prepare_disks())
    return false;

  if (pieces_count_ == 0) {
    RHV_LOG_WARNING("No piece found needed for backup.\n");
    succeeded = post_backup();
  } else if (!backup_disks()) {
    RHV_LOG_ERROR("Failed to backup RHV VM '%s'.\n", vm_.name.c_str());
    return false;
  } else {
    succeeded = post_backup();
  }
  return succeeded;
}

void RHV_Agent_Backup::finish(bool succeeded, json_spirit::Value& result)
{
  int64_t start_time = 0, end_time = 0;
  finish_progress(succeeded, start_time, end_time);
  // A VM that could not be fetched is named as the task names it.
  const bool fetched = !vm_.id.empty();
  json_spirit::insert(json_spirit::to_object(result))(
      "storage_size", static_cast<unsigned long>(total_storage_size_.load()))(
      "set_size", static_cast<unsigned long>(total_set_size_.load()))(
      "source_size", static_cast<unsigned long>(source_size_))("data_center_name", params_.data_center_name)(
      "data_center_id", params_.data_center_id)("cluster_name", params_.cluster_name)(
      "cluster_id", params_.cluster_id)("host_name", params_.host_name)("host_id", params_.host_id)(
      "vm_name", fetched ? vm_.name : params_.vm_name)("vm_id", fetched ? vm_.id : params_.vm_id)(
      "start_time", static_cast<long>(start_time))("end_time", static_cast<long>(end_time))(
      "code", succeeded ? 0 : 1);
}

bool RHV_Agent_Backup::remove_prev_snapshots()
{
  RHV_LOG_DEBUG("Removing previous snapshots of VM '%s'.\n", vm_.name.c_str());
  RHV_Snapshots snapshots;
  if (!snapshot_service_.list(snapshots)) {
    RHV_LOG_ERROR("Failed to list snapshots of VM '%s'.\n", vm_.name.c_str());
    return false;
  }
  const std::string prefix = string_sprintf("tessera3-agent-%s-", params_.host_uuid.c_str());
  for (RHV_Snapshot& snapshot : snapshots)
    if (snapshot.description.compare(0, prefix.size(), prefix) == 0)
      remove_snapshot(snapshot);
  return true;
}

bool RHV_Agent_Backup::prepare_snapshot()
{
  RHV_LOG_DEBUG("preparing snapshot of VM '%s'.\n", vm_.name.c_str());
  if (!create_snapshot()) {
    alerter_.failed_to_create_snapshot(vm_.name, snapshot_.description);
    RHV_LOG_ERROR("Failed to create snapshot '%s' to VM '%s'.\n", snapshot_.description.c_str(), vm_.name.c_str());
    return false;
  }
  alerter_.succeed_to_create_snapshot(vm_.name, snapshot_.description);
  if (!wait_snapshot([this] { return is_canceled(); })) {
    RHV_LOG_ERROR("Failed to wait snapshot '%s' of VM '%s' until ok.\n", snapshot_.description.c_str(),
                  vm_.name.c_str());
    // The engine refuses to remove a snapshot while it is being made: after a cancel the
    // clean-up gives it its time to be made.
    if (is_canceled())
      wait_snapshot([this] { return cleanup_overdue(); });
    return false;
  }
  return true;
}

bool RHV_Agent_Backup::create_snapshot()
{
  RHV_LOG_DEBUG("Creating snapshot of VM '%s'.\n", vm_.name.c_str());
  snapshot_.disk_attachments.clear();
  snapshot_.disk_attachments.reserve(params_.attachments.size());
  for (const RHV_Disk_Attachment& attachment : params_.attachments) {
    RHV_Disk_Attachment chosen;
    chosen.disk.id = attachment.disk.id;
    snapshot_.disk_attachments.push_back(std::move(chosen));
  }
  snapshot_.description =
      string_sprintf("tessera3-agent-%s-%lu", params_.host_uuid.c_str(), static_cast<unsigned long>(start_time_));
  snapshot_.persist_memorystate = false;
  if (snapshot_service_.add(snapshot_))
    return true;
  snapshot_unanswered_ = snapshot_service_.unanswered();
  return false;
}

bool RHV_Agent_Backup::wait_snapshot(const std::function<bool()>& stop)
{
  RHV_LOG_DEBUG("Wait snapshot '%s' of VM '%s' until ok.\n", snapshot_.description.c_str(), vm_.name.c_str());
  const std::string id = snapshot_.id;  // the record is reloaded in place
  for (unsigned int delay :
       exponential_backoff(INITIAL_INTERVAL, MAX_WAIT_SNAPSHOT_RETRY_TIMES, MAX_WAIT_SNAPSHOT_INTERVAL, false)) {
    if (!snapshot_service_.get(id, snapshot_)) {
      RHV_LOG_ERROR("Failed to get snapshot '%s' info.\n", id.c_str());
      return false;
    }
    if (snapshot_.snapshot_status == "ok")
      return true;
    if (!rhv_servant_pause(delay, stop))
      return false;
  }
  return false;
}

bool RHV_Agent_Backup::prepare_disks()
{
  RHV_LOG_DEBUG("Preparing disks of snapshot '%s'.\n", snapshot_.description.c_str());
  RHV_Disks disks;
  if (!snapshot_service_.disk_service(snapshot_.id).list(disks)) {
    RHV_LOG_ERROR("Failed to list disks of snapshot '%s'.\n", snapshot_.description.c_str());
    return false;
  }
  RHV_VM_Progress_Info* info = progress();
  if (disks.empty()) {
    alerter_.no_backup_disks(vm_.name);
    if (info != nullptr)
      info->total_bytes = 0;
    RHV_LOG_ERROR("No disks found for snapshot '%s':all disks of VM '%s' are disk snapshots.\n",
                  snapshot_.description.c_str(), vm_.name.c_str());
    return false;
  }

  source_size_ = 0;
  for (const RHV_Disk& disk : disks)
    source_size_ += bytes_of(disk.provisioned_size);
  total_set_size_ = source_size_;
  if (info != nullptr) {
    info->total_bytes = source_size_;
    info->virtual_disk_count = static_cast<int32_t>(disks.size());
  }
  if (!prepare_pieces(disks)) {
    RHV_LOG_ERROR("Failed to prepare pieces.\n");
    return false;
  }
  return true;
}

bool RHV_Agent_Backup::prepare_pieces(std::vector<RHV_Disk>& disks)
{
  RHV_LOG_DEBUG("Preparing backup pieces.\n");
  for (RHV_Disk& disk : disks) {
    if (disk.provisioned_size == 0)
      continue;
    std::shared_ptr<Task> task = make_shared_nothrow<Task>();
    RHV_CHECK_NOT_NULL(task, false);
    task->disk = std::move(disk);
    tasks_[task->disk.id] = task;
    if (!split_disk(task)) {
      RHV_LOG_ERROR("Failed to split disk '%s' to pieces.\n", task->disk.name.c_str());
      return false;
    }
  }
  return true;
}

bool RHV_Agent_Backup::split_disk(std::shared_ptr<Task>& task)
{
  RHV_CHECK_GT(task->disk.provisioned_size, 0, false);
  RHV_LOG_DEBUG("Spliting disk '%s' of snapshot '%s'.\n", task->disk.name.c_str(), snapshot_.description.c_str());

  std::shared_ptr<Piece> piece = make_shared_nothrow<Piece>();
  RHV_CHECK_NOT_NULL(piece, false);
  piece->index = 1;
  piece->offset = 0;
  piece->source_size = static_cast<uint64_t>(task->disk.provisioned_size);
  // A subtype without a name is taken as a full backup, as the task parameters write it.
  const char* subtype = job_def_subtype_to_string(params_.backup_type, 0);
  if (subtype == nullptr)
    subtype = job_def_subtype_to_string(JOB_DEFINITION_SUBTYPE_FULL, 0);
  piece->name = string_sprintf("%s_%s_%s_%s_%d-piece%s", "nfc", task->disk.id.c_str(), timestamp_.c_str(), subtype,
                               static_cast<int>(piece->index),
                               compression_value_to_suffix(params_.client_io_opts.compression_method));
  piece->remote_path = string_sprintf("%s/%s/%s", "RHV", vm_.id.c_str(), piece->name.c_str());
  piece->task = task.get();

  task->pieces.push_back(piece);
  task->pieces_count = task->pieces.size();
  pieces_count_ += 1;
  return true;
}

bool RHV_Agent_Backup::clear_resource(bool succeeded)
{
  RHV_LOG_DEBUG("Clearing resources.\n");
  if (!remove_pieces(succeeded))
    RHV_LOG_WARNING("Failed to remove backup pieces.\n");
  if (snapshot_.id.empty() && snapshot_unanswered_)
    find_unanswered_snapshot();
  if (!remove_snapshot(snapshot_))
    RHV_LOG_WARNING("Failed to remove snapshot '%s' of VM '%s'.\n", snapshot_.description.c_str(), vm_.name.c_str());
  return true;
}

bool RHV_Agent_Backup::remove_pieces(bool succeeded)
{
  if (succeeded)
    return true;
  RHV_LOG_DEBUG("Removing failed pieces.\n");
  Client_IO_Ex client;
  if (!client.connect(params_.pool_url, params_.client_io_opts)) {
    RHV_LOG_ERROR("Failed to connect to storage pool '%s': %s\n", params_.pool_url.c_str(), client.error());
    return false;
  }
  for (const auto& entry : tasks_)
    for (const std::shared_ptr<Piece>& piece : entry.second->pieces)
      if (!client.remove(piece->remote_path))
        RHV_LOG_ERROR("Failed to remove '%s': %s.\n", piece->remote_path.c_str(), client.error());
  return true;
}

bool RHV_Agent_Backup::remove_snapshot(RHV_Snapshot& snap)
{
  if (snap.id.empty())
    return true;
  RHV_LOG_DEBUG("Removing snapshot '%s' of VM '%s'.\n", snap.description.c_str(), vm_.name.c_str());
  const bool accepted = snapshot_service_.remove(snap.id) || snapshot_service_.gone();
  // Refused as busy: when this is a second sending of a removal whose answer was lost, the
  // engine is still carrying out the first one, and the snapshot goes all the same.
  const bool busy = !accepted && snapshot_service_.busy();
  if (!accepted && !busy) {
    alerter_.failed_to_remove_snapshot(vm_.name, snap.description);
    RHV_LOG_WARNING("Failed to remove snapshot '%s' of VM '%s'.\n", snap.description.c_str(), vm_.name.c_str());
    return false;
  }
  // The snapshot is gone once it can no longer be read. It stays locked while a removal
  // runs: one refused as busy that finds it otherwise has no removal at work.
  RHV_Snapshot probe;
  for (unsigned int delay :
       exponential_backoff(INITIAL_INTERVAL, MAX_WAIT_SNAPSHOT_RETRY_TIMES, MAX_WAIT_SNAPSHOT_INTERVAL, false)) {
    if (!snapshot_service_.get(snap.id, probe)) {
      alerter_.succeed_to_remove_snapshot(vm_.name, snap.description);
      RHV_LOG_INFO("Remove snapshot '%s' of VM '%s'.\n", snap.description.c_str(), vm_.name.c_str());
      return true;
    }
    if ((busy && probe.snapshot_status != "locked") || !rhv_servant_pause(delay, [this] { return cleanup_overdue(); }))
      break;
  }
  // The engine accepted the removal and is still at it (the snapshot stays locked until
  // it is gone): it ends without this worker.
  if (accepted && probe.snapshot_status == "locked") {
    RHV_LOG_INFO("Removal of snapshot '%s' of VM '%s' is under way.\n", snap.description.c_str(), vm_.name.c_str());
    return true;
  }
  alerter_.failed_to_remove_snapshot(vm_.name, snap.description);
  return false;
}

bool RHV_Agent_Backup::find_unanswered_snapshot()
{
  RHV_Snapshots snapshots;
  if (!snapshot_service_.list(snapshots)) {
    RHV_LOG_ERROR("Failed to list snapshots of VM '%s'.\n", vm_.name.c_str());
    return false;
  }
  std::vector<std::string> ids;
  RHV_Snapshot* found = nullptr;
  for (RHV_Snapshot& snapshot : snapshots) {
    if (snapshot.description == snapshot_.description) {
      ids.push_back(snapshot.id);
      found = &snapshot;
    }
  }
  if (!only_one_found("snapshots", "of VM '" + vm_.name + "' described '" + snapshot_.description + "'", ids))
    return false;
  RHV_LOG_INFO("Found snapshot '%s' of VM '%s' made without an answer.\n", found->description.c_str(),
               vm_.name.c_str());
  snapshot_ = std::move(*found);
  // A snapshot still being made cannot be removed yet.
  if (snapshot_.snapshot_status != "ok")
    wait_snapshot([this] { return cleanup_overdue(); });
  return true;
}

std::vector<std::shared_ptr<RHV_Agent_Backup::Task>> RHV_Agent_Backup::ordered_tasks() const
{
  std::vector<std::shared_ptr<Task>> out;
  out.reserve(tasks_.size());
  for (const RHV_Disk_Attachment& attachment : params_.attachments) {
    auto it = tasks_.find(attachment.disk.id);
    if (it != tasks_.end() && std::find(out.begin(), out.end(), it->second) == out.end())
      out.push_back(it->second);
  }
  std::vector<std::shared_ptr<Task>> others;
  for (const auto& entry : tasks_)
    if (std::find(out.begin(), out.end(), entry.second) == out.end())
      others.push_back(entry.second);
  std::sort(others.begin(), others.end(),
            [](const std::shared_ptr<Task>& a, const std::shared_ptr<Task>& b) { return a->disk.id < b->disk.id; });
  out.insert(out.end(), others.begin(), others.end());
  return out;
}
