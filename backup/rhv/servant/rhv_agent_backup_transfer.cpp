// The backup worker's data transfer: each piece's snapshot disk is hot-plugged into the
// agent VM, its device read block by block and written as an image into the storage
// pool, and the disk unplugged again; the pieces run on a thread task scheduler.

#include "backup/rhv/servant/rhv_agent_backup.h"

#include <ace/Guard_T.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "backup/client_io/backoff_range.h"
#include "backup/models/task/thread_task_scheduler.h"
#include "backup/rhv/servant/rhv_servant_pause.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/scoped_deleter.h"
#include "platform/config/standin_conf.h"

bool RHV_Agent_Backup::backup_disks()
{
  RHV_LOG_DEBUG("Backuping disks.\n");
  Thread_Task_Scheduler<Piece> scheduler(1024);
  if (!scheduler.register_stop_callback([this] { return is_canceled() || fail_.load(); })) {
    RHV_LOG_ERROR("Failed to init thread task scheduler.\n");
    return false;
  }

  for (const std::shared_ptr<Task>& task : ordered_tasks()) {
    if (task->pieces_count == 0) {
      if (RHV_VM_Progress_Info* info = progress())
        info->processed_virtual_disk_count.fetch_add(1);
      continue;
    }
    RHV_CHECK_EQ(task->pieces_count, 1, false);
    for (const std::shared_ptr<Piece>& piece : task->pieces) {
      if (!scheduler.enqueue_task(piece, task->path.c_str(), 0, task->disk.id.c_str(), nullptr)) {
        RHV_LOG_ERROR("Failed to enqueue thread task scheduler.\n");
        return false;
      }
    }
  }

  const uint32_t workers = std::min(static_cast<uint32_t>(pieces_count_), params_.parallel_disks_per_vm);
  params_.parallel_disks_per_vm = workers;
  RHV_LOG_INFO("Activating %u thread to backup the VM, disk count = %B, piece count = %B.\n", workers,
               tasks_.size(), pieces_count_);
  params_.client_io_opts.rate_limits.set_rate_limits_by_channels(workers);

  if (!scheduler.activate(static_cast<int>(workers),
                          [this](const std::shared_ptr<Piece>& piece) { return backup_piece(piece); })) {
    RHV_LOG_ERROR("Failed to activate thread task scheduler.\n");
    return false;
  }
  scheduler.wait();
  return succeeded_pieces_.load() == pieces_count_;
}

Task_Base::Error RHV_Agent_Backup::backup_piece(const std::shared_ptr<Piece>& piece)
{
  RHV_LOG_DEBUG("Backuping piece.\n");
  if (fail_.load())
    return Task_Base::CODE_FAILED;

  Task_Base::Error error = Task_Base::CODE_FAILED;
  auto piece_guard = make_deleter([this, &piece, &error] {
    if (error != Task_Base::CODE_SUCCESS) {
      fail_ = true;
      return;
    }
    if (piece->task->pieces_count.fetch_sub(1) == 1) {
      if (RHV_VM_Progress_Info* info = progress())
        info->processed_virtual_disk_count.fetch_add(1);
    }
  });
  RHV_CHECK_NOT_NULL(piece, error);

  Client_IO_Ex client;
  if (!open_client_io(piece->remote_path, client))
    return error;
  Image_Block_Writer writer(client);
  if (!init_image_writer(piece, client, writer) || !download_piece(piece, client, writer))
    return error;
  error = Task_Base::CODE_SUCCESS;
  return error;
}

bool RHV_Agent_Backup::open_client_io(const std::string& remote_path, Client_IO_Ex& client)
{
  if (!client.connect(params_.pool_url, params_.client_io_opts)) {
    RHV_LOG_ERROR("Failed to connect to storage pool '%s': %s\n", params_.pool_url.c_str(), client.error());
    return false;
  }
  if (!client.open(remote_path, IO_Base::MODE_WRITE, 0, 0)) {
    RHV_LOG_ERROR("Failed to open '%s' from storage pool: %s\n", remote_path.c_str(), client.error());
    return false;
  }
  return true;
}

bool RHV_Agent_Backup::init_image_writer(const std::shared_ptr<Piece>& piece, const Client_IO_Ex& client,
                                         Image_Block_Writer& writer)
{
  if (!writer.init(512, static_cast<unsigned int>(params_.block_size), 1, 0)) {
    RHV_LOG_ERROR("Failed to init image writer for disk '%s'.\n", piece->task->disk.name.c_str());
    return false;
  }
  if (!writer.write_superblock(bset_uuid_, bset_uuid_, 0, COMPR_NONE, 0)) {
    RHV_LOG_ERROR("Failed to write image super block for disk '%s': %s.\n", piece->task->disk.name.c_str(),
                  client.error());
    return false;
  }
  return true;
}

bool RHV_Agent_Backup::download_piece(const std::shared_ptr<Piece>& piece, Client_IO_Ex& client,
                                      Image_Block_Writer& writer)
{
  Task& task = *piece->task;
  RHV_Disk_Attachment_Service service = client_.vm_service().disk_attachment_service(params_.host_info.agent_vm_id);
  if (!attach_disk(service, piece))
    return false;
  auto detach_guard = make_deleter([this, &service, &piece] { detach_disk(service, piece); });

  Fixed_Block_File_Reader reader;
  if (!reader.open(task.path.c_str(), O_RDONLY | O_CLOEXEC, File_Options(params_.block_size), 0640)) {
    RHV_LOG_ERROR("Failed to open disk file '%s', errno=%d, %m.\n", task.path.c_str(), reader.last_error());
    return false;
  }

  writer.add_block(piece->offset, piece->source_size);
  const bool written = writer.write_blocks(
      [this](long bytes) { return !fail_.load() && progress_handler(bytes); },
      [this, &reader, &piece](const void*& data, long maxlen, long offset) {
        return reader_handler(reader, *piece, data, maxlen, offset);
      });
  // The piece counts only once the pool has stored it whole.
  if (!written || !writer.close()) {
    RHV_LOG_ERROR("Failed to read data from '%s' and write to '%s', error: %d, msg: %m.\n", task.path.c_str(),
                  piece->remote_path.c_str(), errno);
    return false;
  }
  total_storage_size_ += client.storage_size();
  succeeded_pieces_ += 1;
  return true;
}

bool RHV_Agent_Backup::progress_handler(long bytes)
{
  if (RHV_VM_Progress_Info* info = progress())
    info->processed_bytes.fetch_add(static_cast<uint64_t>(bytes));
  if (is_canceled()) {
    RHV_LOG_ERROR("Job canceled while backing.\n");
    return false;
  }
  return true;
}

long RHV_Agent_Backup::reader_handler(Fixed_Block_File_Reader& reader, const Piece& piece, const void*& data,
                                      long maxlen, long offset)
{
  RHV_CHECK_GE(maxlen, static_cast<ssize_t>(params_.block_size), -1);
  if (reader.seek(offset, SEEK_SET) != offset) {
    RHV_LOG_ERROR("Failed to seek '%q', errno=%d, %m.\n", static_cast<int64_t>(offset), errno);
    return -1;
  }
  const ssize_t n = reader.read(data);
  // A device that ends before the piece does (shorter than the disk, or gone) fails the
  // piece: its missing bytes must not be stored as if read.
  const uint64_t piece_end = piece.offset + piece.source_size;
  const uint64_t want = std::min<uint64_t>(params_.block_size, piece_end - static_cast<uint64_t>(offset));
  if (n <= 0 || static_cast<uint64_t>(n) < want) {
    const int err = n < 0 ? reader.last_error() : EIO;
    errno = err;
    RHV_LOG_ERROR("Failed to read data, offset: %q, len: '%b', errno=%d.\n", static_cast<int64_t>(offset),
                  static_cast<ssize_t>(n < 0 ? maxlen : n), err);
    return -1;
  }
  return static_cast<long>(n);
}

bool RHV_Agent_Backup::attach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Piece>& piece)
{
  Task& task = *piece->task;
  const std::string& agent_vm_name = params_.host_info.agent_vm_name;
  RHV_LOG_DEBUG("Attaching disk '%s' of snapshot '%s' to agent VM '%s'.\n", task.disk.name.c_str(),
                snapshot_.description.c_str(), agent_vm_name.c_str());
  RHV_Disk_Attachment request;
  request.active = true;
  request.bootable = false;
  request.interface = "virtio";
  request.disk.id = task.disk.id;
  request.disk.snapshot.id = snapshot_.id;

  for (int attempt = 0; attempt < MAX_RETRY_TIMES; ++attempt) {
    RHV_Disk_Attachment reply;
    bool unanswered = false;
    if (!attach_disk_i(service, request, reply, &unanswered)) {
      // The engine may have plugged the disk in all the same.
      if (unanswered) {
        ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
        if (lock.locked())
          service.detach_disk(task.disk.id);
      }
      break;
    }
    task.attachment_id = reply.id;
    task.path = reply.logical_name;
    if (wait_attach_disk(piece)) {
      alerter_.succeed_to_attach_disk(agent_vm_name, task.disk.name);
      return true;
    }
    if (!detach_disk_i(service, task.attachment_id) || !rhv_servant_pause(1, [this] { return is_canceled(); }))
      break;
  }
  alerter_.failed_to_attach_disk(agent_vm_name, task.disk.name);
  RHV_LOG_ERROR("Failed to attach disk '%s' of snapshot '%s' to agent VM '%s'.\n", task.disk.name.c_str(),
                snapshot_.description.c_str(), agent_vm_name.c_str());
  return false;
}

bool RHV_Agent_Backup::attach_disk_i(RHV_Disk_Attachment_Service& service, const RHV_Disk_Attachment& request,
                                     RHV_Disk_Attachment& reply, bool* unanswered)
{
  ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
  if (!lock.locked())
    return false;
  if (service.add(request, reply))
    return true;
  if (unanswered != nullptr)
    *unanswered = service.unanswered();
  return false;
}


bool RHV_Agent_Backup::wait_attach_disk(const std::shared_ptr<Piece>& piece)
{
  Task& task = *piece->task;
  if (task.path.empty())
    task.path = Standin_Conf::instance()->device_dir() + "/virtio-" + task.disk.id.substr(0, 20);
  for (unsigned int delay : exponential_backoff(INITIAL_INTERVAL, MAX_RETRY_TIMES, MAX_INTERVAL, false)) {
    if (::access(task.path.c_str(), F_OK) == 0)
      return true;
    if (!rhv_servant_pause(delay, [this] { return is_canceled(); }))
      return false;
  }
  return false;
}

bool RHV_Agent_Backup::detach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Piece>& piece)
{
  Task& task = *piece->task;
  const std::string& agent_vm_name = params_.host_info.agent_vm_name;
  if (!detach_disk_i(service, task.attachment_id)) {
    alerter_.failed_to_detach_disk(agent_vm_name, task.disk.name);
    RHV_LOG_WARNING("Failed to detach disk '%s' from agent VM '%s'.\n", task.disk.name.c_str(),
                    agent_vm_name.c_str());
    return false;
  }
  alerter_.succeed_to_detach_disk(agent_vm_name, task.disk.name);
  RHV_LOG_INFO("Detach disk '%s' from agent VM '%s'.\n", task.disk.name.c_str(), agent_vm_name.c_str());
  return true;
}

bool RHV_Agent_Backup::detach_disk_i(RHV_Disk_Attachment_Service& service, const std::string& attachment_id)
{
  ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
  if (!lock.locked())
    return false;
  return service.remove(attachment_id, true) || service.gone();
}
