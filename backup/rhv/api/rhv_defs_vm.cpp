#include "backup/rhv/api/rhv_defs_vm.h"

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/rhv/api/rhv_defs_list.h"
#include "backup/rhv/api/rhv_defs_load.h"
#include "backup/scrt/to_string.h"

using json_spirit::Object;
using json_spirit::extract;
using json_spirit::insert;
using json_spirit::skip_empty;
using json_spirit::skip_if;
using namespace rhv_defs_detail;

// --- RHV_Disk --------------------------------------------------------------------------

bool RHV_Disk::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Disk& tmp) {
    std::string const* provisioned_size = nullptr;
    std::string const* actual_size = nullptr;
    std::string const* sparse = nullptr;
    std::string const* shareable = nullptr;
    Object const* snapshot = nullptr;
    Object const* storage_domains = nullptr;
    extract(object)("provisioned_size", provisioned_size)("actual_size", actual_size)("sparse", sparse)(
        "shareable", shareable)("storage_type", tmp.storage_type)("content_type", tmp.content_type)(
        "format", tmp.format)("status", tmp.status)("backup", tmp.backup)("backup_mode", tmp.backup_mode)(
        "snapshot", snapshot)("storage_domains", storage_domains);
    if (!convert_number(provisioned_size, tmp.provisioned_size, "Invalid provisioned size format: '%s'.\n") ||
        !convert_number(actual_size, tmp.actual_size, "Invalid actual size format: '%s'.\n"))
      return false;
    convert_flag(sparse, tmp.sparse);
    convert_flag(shareable, tmp.shareable);
    if (!load_nested(snapshot, tmp.snapshot, "Invalid snapshot format: '%s'.\n"))
      return false;
    if (storage_domains != nullptr && !load_rhv_objects(*storage_domains, "storage_domain", tmp.storage_domains)) {
      log_invalid_json("Invalid storage domains format: '%s'.\n", *storage_domains);
      return false;
    }
    return true;
  });
}

Object RHV_Disk::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("provisioned_size", skip_if(scrt::to_string(provisioned_size), provisioned_size < 0))(
      "actual_size", skip_if(scrt::to_string(actual_size), actual_size < 0))(
      "sparse", skip_if(flag_text(sparse), !sparse))("shareable", skip_if(flag_text(shareable), !shareable))(
      "storage_type", skip_empty(storage_type))("content_type", skip_empty(content_type))(
      "format", skip_empty(format))("status", skip_empty(status))("backup", skip_empty(backup))(
      "backup_mode", skip_empty(backup_mode))("snapshot", skip_empty(snapshot.dump()))(
      "storage_domains", skip_empty(dump_rhv_objects("storage_domain", storage_domains)));
  return obj;
}

// --- RHV_Disk_Attachment ---------------------------------------------------------------

bool RHV_Disk_Attachment::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Disk_Attachment& tmp) {
    std::string const* active = nullptr;
    std::string const* bootable = nullptr;
    std::string const* pass_discard = nullptr;
    std::string const* read_only = nullptr;
    Object const* disk = nullptr;
    Object const* vm = nullptr;
    extract(object)("active", active)("bootable", bootable)("pass_discard", pass_discard)("read_only", read_only)(
        "interface", tmp.interface)("logical_name", tmp.logical_name)("disk", disk)("vm", vm);
    convert_flag(active, tmp.active);
    convert_flag(bootable, tmp.bootable);
    convert_flag(pass_discard, tmp.pass_discard);
    convert_flag(read_only, tmp.read_only);
    return load_nested(disk, tmp.disk, "Invalid disk format: '%s'.\n") &&
           load_nested(vm, tmp.vm, "Invalid vm format: '%s'.\n");
  });
}

Object RHV_Disk_Attachment::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("active", skip_if(flag_text(active), !active))("bootable", skip_if(flag_text(bootable), !bootable))(
      "pass_discard", skip_if(flag_text(pass_discard), !pass_discard))(
      "read_only", skip_if(flag_text(read_only), !read_only))("interface", skip_empty(interface))(
      "logical_name", skip_empty(logical_name))("disk", skip_empty(disk.dump()))("vm", skip_empty(vm.dump()));
  return obj;
}

// --- RHV_VM ----------------------------------------------------------------------------

bool RHV_VM::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_VM& tmp) {
    Object const* bios = nullptr;
    Object const* cpu = nullptr;
    Object const* os = nullptr;
    std::string const* memory = nullptr;
    Object const* memory_policy = nullptr;
    Object const* template_ = nullptr;
    Object const* host = nullptr;
    Object const* cluster = nullptr;
    Object const* storage_domains = nullptr;
    Object const* disk_attachments = nullptr;
    Object const* nics = nullptr;
    extract(object)("bios", bios)("cpu", cpu)("os", os)("memory", memory)("status", tmp.status)(
        "custom_emulated_machine", tmp.custom_emulated_machine)("memory_policy", memory_policy)(
        "template", template_)("host", host)("cluster", cluster)("storage_domains", storage_domains)(
        "disk_attachments", disk_attachments)("nics", nics);
    if (bios != nullptr)
      tmp.bios.load(*bios);
    if (!load_nested(cpu, tmp.cpu, "Invalid cpu format: '%s'.\n"))
      return false;
    if (os != nullptr)
      tmp.os.load(*os);
    if (!load_nested(memory_policy, tmp.memory_policy, "Invalid memory_policy format: '%s'.\n") ||
        !convert_number(memory, tmp.memory, "Invalid memory format: '%s'.\n"))
      return false;
    if (disk_attachments != nullptr && !load_rhv_disk_attachments(*disk_attachments, tmp.disk_attachments)) {
      log_invalid_json("Invalid disk attachments format: '%s'.\n", *disk_attachments);
      return false;
    }
    if (nics != nullptr && !load_rhv_nics(*nics, tmp.nics)) {
      log_invalid_json("Invalid nics format: '%s'.\n", *nics);
      return false;
    }
    if (!load_nested(template_, tmp.template_, "Invalid template format: '%s'.\n") ||
        !load_nested(host, tmp.host, "Invalid host format: '%s'.\n") ||
        !load_nested(cluster, tmp.cluster, "Invalid cluster format: '%s'.\n"))
      return false;
    if (storage_domains != nullptr && !load_rhv_objects(*storage_domains, "storage_domain", tmp.storage_domains)) {
      log_invalid_json("Invalid storage domains format: '%s'.\n", *storage_domains);
      return false;
    }
    return true;
  });
}

Object RHV_VM::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("bios", skip_empty(bios.dump()))("cpu", skip_empty(cpu.dump()))("os", skip_empty(os.dump()))(
      "memory", skip_if(scrt::to_string(memory), memory < 0))("status", skip_empty(status))(
      "custom_emulated_machine", skip_empty(custom_emulated_machine))(
      "memory_policy", skip_empty(memory_policy.dump()))("template", skip_empty(template_.dump()))(
      "host", skip_empty(host.dump()))("cluster", skip_empty(cluster.dump()))(
      "storage_domains", skip_empty(dump_rhv_objects("storage_domain", storage_domains)))(
      "disk_attachments", skip_empty(dump_rhv_disk_attachments(disk_attachments)))(
      "nics", skip_empty(dump_rhv_nics(nics)));
  return obj;
}

// --- RHV_Snapshot ----------------------------------------------------------------------

bool RHV_Snapshot::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Snapshot& tmp) {
    std::string const* persist_memorystate = nullptr;
    Object const* vm = nullptr;
    Object const* disk_attachments = nullptr;
    extract(object)("persist_memorystate", persist_memorystate)("date", tmp.date)(
        "snapshot_status", tmp.snapshot_status)("snapshot_type", tmp.snapshot_type)("vm", vm)(
        "disk_attachment", disk_attachments);
    convert_flag(persist_memorystate, tmp.persist_memorystate);
    if (!load_nested(vm, tmp.vm, "Invalid vm format: '%s'.\n"))
      return false;
    if (disk_attachments != nullptr && !load_rhv_disk_attachments(*disk_attachments, tmp.disk_attachments)) {
      log_invalid_json("Invalid disk attachment format: '%s'.\n", *disk_attachments);
      return false;
    }
    return true;
  });
}

Object RHV_Snapshot::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("persist_memorystate", skip_if(flag_text(persist_memorystate), !persist_memorystate))(
      "date", skip_if(date, date == 0))("snapshot_status", skip_empty(snapshot_status))(
      "snapshot_type", skip_empty(snapshot_type))("vm", skip_empty(vm.dump()))(
      "disk_attachments", skip_empty(dump_rhv_disk_attachments(disk_attachments)));
  return obj;
}

// --- lists -----------------------------------------------------------------------------

bool load_rhv_vms(Object const& wrapper, RHV_VMs& items)
{
  return load_rhv_objects(wrapper, "vm", items);
}

Object dump_rhv_vms(RHV_VMs const& items)
{
  return dump_rhv_objects("vm", items);
}

bool load_rhv_disks(Object const& wrapper, RHV_Disks& items)
{
  return load_rhv_objects(wrapper, "disk", items);
}

Object dump_rhv_disks(RHV_Disks const& items)
{
  return dump_rhv_objects("disk", items);
}

bool load_rhv_disk_attachments(Object const& wrapper, RHV_Disk_Attachments& items)
{
  return load_rhv_objects(wrapper, "disk_attachment", items);
}

Object dump_rhv_disk_attachments(RHV_Disk_Attachments const& items)
{
  return dump_rhv_objects("disk_attachment", items);
}

bool load_rhv_snapshots(Object const& wrapper, RHV_Snapshots& items)
{
  return load_rhv_objects(wrapper, "snapshot", items);
}

Object dump_rhv_snapshots(RHV_Snapshots const& items)
{
  return dump_rhv_objects("snapshot", items);
}
