// The restore worker's engine objects and data: new disks, the VM and its NICs; each new
// disk hot-plugged into the agent VM, filled from the pool on a thread task scheduler and
// unplugged again; the storage monitor; and the removal of what a failed restore made.

#include "backup/rhv/servant/rhv_agent_restore.h"

#include <ace/Guard_T.h>
#include <ace/Log_Msg.h>
#include <ace/OS_NS_time.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "backup/client_io/backoff_range.h"
#include "backup/models/task/thread_task_scheduler.h"
#include "backup/rhv/api/rhv_infra_services.h"
#include "backup/rhv/servant/rhv_servant_pause.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "backup/scrt/prettify_size.h"
#include "backup/scrt/scoped_deleter.h"
#include "backup/scrt/string_format.h"
#include "backup/scrt/thread_helper.h"
#include "backup/scrt/time_format.h"
#include "platform/config/standin_conf.h"
#include "platform/storage/block_file.h"
#include "platform/storage/client_io_ex.h"
#include "platform/storage/image_block.h"
#include "platform/storage/rate_limits.h"

namespace {

// The storage monitor's thread: its lines go where the lines of the thread that made it go.
class Monitor_Thread : public Thread_Helper {
public:
  Monitor_Thread() : log_callback_(ACE_Log_Msg::instance()->msg_callback()) {}
  ~Monitor_Thread() override { join(); }

protected:
  void handle_starting() override { ACE_Log_Msg::instance()->msg_callback(log_callback_); }

private:
  ACE_Log_Msg_Callback* log_callback_;
};

bool all_zero(const unsigned char* data, size_t n)
{
  return n == 0 || (data[0] == 0 && std::memcmp(data, data + 1, n - 1) == 0);
}

}  // namespace

// ---- engine objects ----

bool RHV_Agent_Restore::create_disks()
{
  RHV_Disk_Service disks = client_.disk_service();
  RHV_Storage_Domain_Service domains = client_.storage_domain_service();
  for (const std::shared_ptr<Restore_Disk>& d : restore_disks_) {
    const RHV_Disk& source = d->attachment.disk;
    RHV_Disk disk;
    disk.name = string_sprintf("%s_%s", source.name.c_str(),
                               POSIX_Time_Format<32, false>(ACE_OS::time(), "%Y%m%d%H%M%S").c_str());
    disk.provisioned_size = source.provisioned_size;
    disk.sparse = source.sparse;
    disk.shareable = source.shareable;
    disk.storage_type = source.storage_type;
    disk.content_type = source.content_type;
    disk.format = source.format;
    RHV_Object domain_link;
    domain_link.id = d->target_datastore_id;
    disk.storage_domains.push_back(std::move(domain_link));

    RHV_Storage_Domain domain;
    if (!domains.get(d->target_datastore_id, domain)) {
      RHV_LOG_ERROR("Failed to get storage domains of %s.\n", d->target_datastore_id.c_str());
      return false;
    }
    // Block storage holds thin disks as qcow2 only.
    if (domain.storage.type == "fcp" || domain.storage.type == "iscsi") {
      disk.format = "cow";
      disk.sparse = true;
    }
    disk.backup = ((!disk.sparse || !*disk.sparse) && disk.format == "cow") ? std::string("incremental") : source.backup;

    const std::string name = disk.name;
    d->target_disk_name = name;
    // The disks of this name that exist already are not this run's, whatever becomes of
    // the create.
    RHV_Disks namesakes;
    const bool noted = disks.list(name, namesakes);
    for (const RHV_Disk& other : namesakes)
      d->namesakes.insert(other.id);
    if (!noted || !disks.add(disk)) {
      d->create_unanswered = noted && disks.unanswered();
      alerter_.failed_to_create_disk(name);
      RHV_LOG_ERROR("Failed to add disk for VM %s:%s.\n", restore_vm_.source_vm_name.c_str(),
                    restore_vm_.source_vm_id.c_str());
      return false;
    }
    d->target_disk_id = disk.id;

    // The new disk is usable once "ok"; what a failed read leaves in the record is
    // compared as well.
    auto made = [&](const std::function<bool()>& stop) {
      return poll(
          [&] {
            disks.get(d->target_disk_id, disk);
            return disk.status == "ok";
          },
          stop);
    };
    if (!made([this] { return is_canceled(); })) {
      alerter_.failed_to_create_disk(name);
      RHV_LOG_ERROR("Failed to add disk %s for VM %s:%s.\n", d->target_disk_id.c_str(),
                    restore_vm_.source_vm_name.c_str(), restore_vm_.source_vm_id.c_str());
      // The engine refuses to remove a disk while it is being made: after a cancel the
      // clean-up gives it its time to be made.
      if (is_canceled())
        made([this] { return cleanup_overdue(); });
      return false;
    }
    Record& r = record[d->target_disk_id];
    r.total_piece = static_cast<int>(d->pieces.size());
    r.completed_piece = 0;
    alerter_.succeed_to_create_disk(name);
  }
  return true;
}

bool RHV_Agent_Restore::create_vm()
{
  RHV_VM vm(restore_vm_.vm);
  vm.id.clear();
  vm.name = restore_vm_.target_vm_name;
  // In place, the VM goes back to the profile's own cluster.
  if (!params_.original_restore)
    vm.cluster.id = restore_vm_.target_cluster_id;

  RHV_VM_Service vms = client_.vm_service();
  // A VM of this name that exists already is not this run's, whatever becomes of the create.
  RHV_VMs namesakes;
  const bool noted = vms.list(vm.name, namesakes, RHV_NO_FOLLOW, true);
  for (const RHV_VM& other : namesakes)
    vm_namesakes_.insert(other.id);
  if (!noted || !vms.add(vm)) {
    vm_unanswered_ = noted && vms.unanswered();
    alerter_.failed_to_create_vm(restore_vm_.target_vm_name);
    RHV_LOG_ERROR("Failed to create VM %s:%s.\n", restore_vm_.source_vm_name.c_str(),
                  restore_vm_.source_vm_id.c_str());
    return false;
  }
  restore_vm_.target_vm_id = vm.id;
  vm_created_ = true;
  alerter_.succeed_to_create_vm(restore_vm_.target_vm_name);
  return true;
}

bool RHV_Agent_Restore::create_nics()
{
  if (params_.nics.empty())
    return true;
  RHV_NIC_Service service = client_.vm_service().nic_service(restore_vm_.target_vm_id);
  for (const RHV_Restore_NIC& wanted : params_.nics) {
    RHV_NIC nic;
    nic.name = wanted.name;
    nic.interface = wanted.interface;
    nic.linked = wanted.linked;
    nic.plugged = wanted.plugged;
    nic.vnic_profile.id = wanted.vnic_profile_id;
    if (!wanted.auto_gen_mac)
      nic.mac.address = wanted.mac_address;
    // A NIC that cannot be added does not fail the restore.
    if (!service.add(nic))
      RHV_LOG_ERROR("Failed to add NIC for VM %s:%s.\n", restore_vm_.source_vm_name.c_str(),
                    restore_vm_.source_vm_id.c_str());
  }
  return true;
}

bool RHV_Agent_Restore::attach_target_vm_disks(const std::string& vm_id)
{
  RHV_Disk_Attachment_Service service = client_.vm_service().disk_attachment_service(vm_id);
  for (const std::shared_ptr<Restore_Disk>& d : restore_disks_) {
    if (!attach_disk(service, d, false)) {
      RHV_LOG_ERROR("Failed to attach disk %s to VM %s.\n", d->target_disk_id.c_str(), vm_id.c_str());
      return false;
    }
  }
  return true;
}

bool RHV_Agent_Restore::start_vm()
{
  if (!client_.vm_service().start(restore_vm_.target_vm_id)) {
    alerter_.failed_to_poweron_vm(restore_vm_.target_vm_name);
    RHV_LOG_ERROR("Failed to start VM, ID: %s, name: %s.\n", restore_vm_.target_vm_id.c_str(),
                  restore_vm_.target_vm_name.c_str());
    return false;
  }
  return true;
}

bool RHV_Agent_Restore::clean_resource()
{
  clean_disks();
  clean_vm();
  return true;
}

bool RHV_Agent_Restore::clean_disks()
{
  RHV_Disk_Service disks = client_.disk_service();
  for (const std::shared_ptr<Restore_Disk>& d : restore_disks_) {
    if (d->target_disk_id.empty() && !(d->create_unanswered && find_unanswered_disk(disks, *d)))
      continue;
    const std::string& id = d->target_disk_id;
    if (!remove_when_free(disks, [&disks, &id] { return disks.remove(id); }))
      RHV_LOG_INFO("Failed to remove disk %s.\n", id.c_str());
  }
  return true;
}

template <typename Entity, typename Service>
void RHV_Agent_Restore::wait_made(Service& service, const std::string& id, const char* making)
{
  poll(
      [&] {
        Entity made;
        return service.get(id, made) ? made.status != making : !service.unanswered();
      },
      [this] { return cleanup_overdue(); });
}

bool RHV_Agent_Restore::find_unanswered_disk(RHV_Disk_Service& disks, Restore_Disk& d)
{
  RHV_Disks found;
  if (!disks.list(d.target_disk_name, found))
    return false;
  std::vector<std::string> ids;
  for (const RHV_Disk& disk : found) {
    const bool on_target = disk.storage_domains.size() == 1 && disk.storage_domains[0].id == d.target_datastore_id;
    if (disk.name == d.target_disk_name && on_target &&
        disk.provisioned_size == d.attachment.disk.provisioned_size && d.namesakes.count(disk.id) == 0)
      ids.push_back(disk.id);
  }
  if (!only_one_found("disks", "named '" + d.target_disk_name + "'", ids))
    return false;
  RHV_LOG_INFO("Found disk %s '%s' made without an answer.\n", ids[0].c_str(), d.target_disk_name.c_str());
  d.target_disk_id = ids[0];
  wait_made<RHV_Disk>(disks, d.target_disk_id, "locked");
  return true;
}

bool RHV_Agent_Restore::clean_vm()
{
  RHV_VM_Service vms = client_.vm_service();
  if (!vm_created_ && vm_unanswered_)
    find_unanswered_vm(vms);
  // Only a VM this worker made: the task's own target VM id names none of its making.
  const std::string& id = restore_vm_.target_vm_id;
  if (vm_created_ && !id.empty() && !remove_when_free(vms, [&vms, &id] { return vms.remove(id, true, false); }))
    RHV_LOG_INFO("Failed to remove VM %s.\n", id.c_str());
  return true;
}

bool RHV_Agent_Restore::find_unanswered_vm(RHV_VM_Service& vms)
{
  const std::string& name = restore_vm_.target_vm_name;
  RHV_VMs found;
  if (!vms.list(name, found, RHV_NO_FOLLOW, true))
    return false;
  std::vector<std::string> ids;
  for (const RHV_VM& vm : found) {
    if (vm.name != name)
      continue;
    if (vm_namesakes_.count(vm.id) == 0)
      ids.push_back(vm.id);
    else
      RHV_LOG_WARNING("VM %s '%s' was there before the create: it is not this run's and is left alone.\n",
                      vm.id.c_str(), name.c_str());
  }
  if (!only_one_found("VMs", "named '" + name + "'", ids))
    return false;
  RHV_LOG_INFO("Found VM %s '%s' made without an answer.\n", ids[0].c_str(), name.c_str());
  restore_vm_.target_vm_id = ids[0];
  vm_created_ = true;
  wait_made<RHV_VM>(vms, ids[0], "image_locked");
  return true;
}

bool RHV_Agent_Restore::poll(const std::function<bool()>& done, const std::function<bool()>& stop)
{
  for (unsigned int delay : exponential_backoff(INITIAL_INTERVAL, MAX_RETRY_TIMES, MAX_INTERVAL, true)) {
    if (done())
      return true;
    if (!rhv_servant_pause(delay, stop))
      return false;
  }
  return false;
}

bool RHV_Agent_Restore::remove_when_free(RHV_Service& service, const std::function<bool()>& remove)
{
  bool removed = false;
  poll(
      [&] {
        removed = remove() || service.gone();
        return removed || !service.busy();
      },
      [this] { return cleanup_overdue(); });
  return removed;
}

// ---- data ----

bool RHV_Agent_Restore::restore_disks()
{
  Monitor_Thread monitor;
  if (monitor.spawn(&RHV_Agent_Restore::monitor_storage_capacity, this) == -1)
    RHV_LOG_WARNING("Failed to start storage monitor.\n");
  // On every way out the monitor ends, and is joined, before this returns.
  auto monitor_guard = make_deleter([this, &monitor] {
    completed_.set();
    monitor.join();
  });

  Thread_Task_Scheduler<Restore_Disk> scheduler(TASK_QUEUE_CAPACITY);
  if (!scheduler.register_stop_callback([this] { return is_canceled(); })) {
    RHV_LOG_ERROR("Failed to init thread task scheduler.\n");
    return false;
  }

  for (const std::shared_ptr<Restore_Disk>& d : restore_disks_) {
    RHV_CHECK_EQ(d->pieces.size(), 1, false);
    if (!scheduler.enqueue_task(d, d->local_path.c_str(), 0, d->local_path.c_str(), nullptr)) {
      RHV_LOG_ERROR("Failed to insert task in RHV scheduler.\n");
      return false;
    }
    pieces_count_ += d->pieces.size();
  }

  const uint32_t workers = static_cast<uint32_t>(std::min<uint64_t>(pieces_count_, params_.parallel_disks_per_vm));
  params_.parallel_disks_per_vm = workers;
  RHV_LOG_INFO("Activating %u thread to restore the VM, disk count = %B, piece count = %B.\n", workers,
               restore_disks_.size(), pieces_count_);
  Rate_Limits::set_rate_limits_by_channels(pool_.io_opts.rate_limits, workers);

  if (!scheduler.activate(static_cast<int>(workers), [this](const std::shared_ptr<Restore_Disk>& d) {
        return restore_disk_i(d) ? Task_Base::CODE_SUCCESS : Task_Base::CODE_FAILED;
      })) {
    RHV_LOG_ERROR("Failed to activate thread task scheduler.\n");
    return false;
  }
  scheduler.wait();
  return succeeded_pieces_.load() == pieces_count_;
}

bool RHV_Agent_Restore::open_device(Fixed_Block_File_Writer& writer, const std::string& path, size_t block_size,
                                    bool regular_files)
{
  // Never created: a device that vanished must not become a new regular file.
  if (!writer.open(path, O_CLOEXEC, false, 0640, File_Options(block_size))) {
    errno = writer.last_error();
    RHV_LOG_ERROR("Failed to open device '%s' for writing, errno=%d, %m.\n", path.c_str(), errno);
    return false;
  }
  struct stat st;
  int err = 0;
  if (!writer.file_status(st))
    err = errno;
  else if (!S_ISBLK(st.st_mode) && !(regular_files && S_ISREG(st.st_mode)))
    err = ENOTBLK;
  if (err != 0) {
    writer.close();
    errno = err;
    RHV_LOG_ERROR("Failed to open device '%s' for writing, errno=%d, %m.\n", path.c_str(), err);
    return false;
  }
  return true;
}

bool RHV_Agent_Restore::write_run(Fixed_Block_File_Writer& writer, const std::string& path, const void* data,
                                  size_t size, uint64_t offset)
{
  if (RHV_VM_Progress_Info* info = progress())
    info->processed_bytes.fetch_add(size);

  // Chunks of zeros are skipped: the new disk reads as zeros there already.
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  uint64_t position = offset;
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(WRITE_CHUNK, size - done);
    if (!all_zero(bytes + done, n)) {
      if (writer.seek(static_cast<off_t>(position), SEEK_SET) != static_cast<off_t>(position) ||
          writer.write(bytes + done, n, 0) != static_cast<ssize_t>(n)) {
        RHV_LOG_ERROR("Failed to write data to disk %s at %Q\n", path.c_str(), static_cast<uint64_t>(position));
        return false;
      }
    }
    done += n;
    position += n;
  }
  return !is_canceled();
}

bool RHV_Agent_Restore::restore_disk_i(const std::shared_ptr<Restore_Disk>& disk)
{
  RHV_Disk_Attachment_Service service = client_.vm_service().disk_attachment_service(params_.host_info.agent_vm_id);
  if (!attach_disk(service, disk, true))
    return false;
  auto detach_guard = make_deleter([this, &service, &disk] { detach_disk(service, disk); });

  RHV_CHECK_EQ(disk->pieces.size(), 1, false);
  const Disk_Piece& piece = disk->pieces.front();
  const uint64_t block_size = std::max<uint64_t>(params_.block_size, piece.block_size);
  RHV_LOG_INFO("backup block_size: %Q, current block_size: %Q.\n", static_cast<uint64_t>(piece.block_size),
               static_cast<uint64_t>(params_.block_size));

  const bool regular_files = Standin_Conf::instance()->devices_are_files();
  Fixed_Block_File_Writer writer;
  if (!open_device(writer, disk->local_path, static_cast<size_t>(block_size), regular_files))
    return false;

  Client_IO_Ex client;
  if (!client.connect(pool_.url, pool_.io_opts)) {
    RHV_LOG_ERROR("Failed to connect to storage pool: %s\n", client.error());
    return false;
  }
  if (!client.open(piece.remote_path, IO_Base::MODE_READ, 0, 0)) {
    RHV_LOG_ERROR("Failed to open file '%s' for reading: %s\n", piece.remote_path.c_str(), client.error());
    return false;
  }
  set_size_ += piece.size;
  storage_size_ += client.storage_size();

  const std::string& path = disk->local_path;
  const bool read = Image_Block_Reader::read_blocks_align(
      client,
      [this, &writer, &path](const void* data, size_t size, uint64_t offset) {
        return write_run(writer, path, data, size, offset);
      },
      static_cast<size_t>(block_size));
  if (!read) {
    RHV_LOG_ERROR("Failed to read data from pool %s to %s\n", piece.remote_path.c_str(), path.c_str());
    return false;
  }
  // The data counts only once the device has it: write-back errors show here.
  if (!writer.flush() || !writer.close()) {
    const int err = writer.last_error();
    errno = err;
    RHV_LOG_ERROR("Failed to flush data to disk %s, errno=%d, %m.\n", path.c_str(), err);
    return false;
  }

  update_record(disk->target_disk_id);
  succeeded_pieces_ += 1;
  RHV_LOG_INFO("Successfully recovered data from '%s' to '%s'.\n", piece.remote_path.c_str(), path.c_str());
  return true;
}

bool RHV_Agent_Restore::attach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Restore_Disk>& disk,
                                    bool to_agent)
{
  RHV_Disk_Attachment request;
  if (to_agent) {
    request.active = true;
    request.bootable = false;
    request.interface = "virtio";
  } else {
    request.active = disk->attachment.active;
    request.bootable = disk->attachment.bootable;
    request.interface = disk->attachment.interface;
  }
  request.disk.id = disk->target_disk_id;

  for (int counter = MAX_ATTACH_RETRY;; --counter) {
    RHV_Disk_Attachment reply;
    bool unanswered = false;
    if (!attach_disk_i(service, request, reply, to_agent, &unanswered)) {
      // The engine may have plugged the disk in all the same.
      if (unanswered && to_agent) {
        ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
        if (lock.locked())
          service.detach_disk(disk->target_disk_id);
      }
      return false;
    }
    disk->new_attachment_id = reply.id;
    if (!to_agent || get_disk_file(disk))
      return true;
    if (!detach_disk_i(service, disk->new_attachment_id) || counter == 0 || is_canceled())
      return false;
  }
}

bool RHV_Agent_Restore::attach_disk_i(RHV_Disk_Attachment_Service& service, const RHV_Disk_Attachment& in,
                                      RHV_Disk_Attachment& out, bool to_agent, bool* unanswered)
{
  if (!to_agent)
    return service.add(in, out);
  ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
  if (!lock.locked())
    return false;
  if (service.add(in, out))
    return true;
  if (unanswered != nullptr)
    *unanswered = service.unanswered();
  return false;
}

bool RHV_Agent_Restore::get_disk_file(const std::shared_ptr<Restore_Disk>& disk)
{
  disk->local_path = Standin_Conf::instance()->device_dir() + "/virtio-" + disk->target_disk_id.substr(0, 20);
  for (int miss = 0; miss < MAX_DEVICE_CHECKS; ++miss) {
    if (::access(disk->local_path.c_str(), F_OK) == 0)
      return true;
    if (!rhv_servant_pause(DEVICE_CHECK_INTERVAL, [this] { return is_canceled(); }))
      return false;
  }
  return false;
}

bool RHV_Agent_Restore::detach_disk(RHV_Disk_Attachment_Service& service, const std::shared_ptr<Restore_Disk>& disk)
{
  for (unsigned int delay : exponential_backoff(INITIAL_INTERVAL, MAX_RETRY_TIMES, MAX_INTERVAL, true)) {
    if (detach_disk_i(service, disk->new_attachment_id))
      return true;
    if (!rhv_servant_pause(delay, [this] { return cleanup_overdue(); }))
      break;
  }
  RHV_LOG_WARNING("Failed to detach disk %s from agent VM %s.\n", disk->target_disk_id.c_str(),
                  params_.host_info.agent_vm_id.c_str());
  return false;
}

bool RHV_Agent_Restore::detach_disk_i(RHV_Disk_Attachment_Service& service, const std::string& attachment_id)
{
  ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
  if (!lock.locked())
    return false;
  return service.remove(attachment_id, true) || service.gone();
}

bool RHV_Agent_Restore::update_record(const std::string& disk_id)
{
  ACE_Guard<ACE_Thread_Mutex> lock(mutex_);
  if (!lock.locked())
    return false;
  auto it = record.find(disk_id);
  if (it != record.end() && ++it->second.completed_piece == it->second.total_piece)
    if (RHV_VM_Progress_Info* info = progress())
      info->processed_virtual_disk_count.fetch_add(1);
  return true;
}

// ---- storage monitor ----

int RHV_Agent_Restore::check_storages_quota()
{
  RHV_Storage_Domain_Service domains = client_.storage_domain_service();
  for (const std::string& id : rhv_storages_) {
    RHV_Storage_Domain domain;
    {
      ACE_Guard<ACE_Thread_Mutex> lock(session_mutex_);
      if (!lock.locked())
        return 0;
      if (!domains.get(id, domain)) {
        RHV_LOG_ERROR("Failed to get storage domain of %s.\n", id.c_str());
        return 1;
      }
    }
    // A domain that reports no size (-1) reads as a huge one.
    if (static_cast<uint64_t>(domain.available) > MIN_STORAGE_AVAILABLE)
      continue;
    alerter_.datastore_space_not_enough();
    RHV_LOG_ERROR("rhv storage pool '%s:%s' available space(total=%s,free=%s) is not enough for backing up VM '%s'.\n",
                  domain.name.c_str(), id.c_str(),
                  prettify_size(static_cast<unsigned long>(domain.available + domain.used), 1).c_str(),
                  prettify_size(static_cast<unsigned long>(domain.available), 1).c_str(),
                  restore_vm_.source_vm_name.c_str());
    return -1;
  }
  return 0;
}

void RHV_Agent_Restore::monitor_storage_capacity()
{
  while (!completed_.is_set()) {
    if (check_storages_quota() < 0) {
      stop_ = true;
      return;
    }
    // The end of the data step ends the period at once.
    rhv_servant_pause(MONITOR_INTERVAL, nullptr, &completed_);
  }
}
