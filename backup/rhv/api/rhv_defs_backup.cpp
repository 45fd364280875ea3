#include "backup/rhv/api/rhv_defs_backup.h"

#include <cstring>

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

// --- phases ----------------------------------------------------------------------------

Key2_Value_T<RHV_Backup_Phase> const backup_phase_table[] = {
  SCRT_KEY2_VALUE("failed", RHV_Backup_Phase::FAILED),
  SCRT_KEY2_VALUE("finalizing", RHV_Backup_Phase::FINALIZING),
  SCRT_KEY2_VALUE("initializing", RHV_Backup_Phase::INITIALIZING),
  SCRT_KEY2_VALUE("ready", RHV_Backup_Phase::READY),
  SCRT_KEY2_VALUE("starting", RHV_Backup_Phase::STARTING),
  SCRT_KEY2_VALUE("succeeded", RHV_Backup_Phase::SUCCEEDED),
  {nullptr, 0, RHV_Backup_Phase::NONE},
};

Key2_Value_T<RHV_Image_Transfer_Phase> const transfer_phase_table[] = {
  SCRT_KEY2_VALUE("finalizing_cleanup", RHV_Image_Transfer_Phase::FINALIZING_CLEANUP),
  SCRT_KEY2_VALUE("finalizing_failure", RHV_Image_Transfer_Phase::FINALIZING_FAILURE),
  SCRT_KEY2_VALUE("finalizing_success", RHV_Image_Transfer_Phase::FINALIZING_SUCCESS),
  SCRT_KEY2_VALUE("finished_cleanup", RHV_Image_Transfer_Phase::FINISHED_CLEANUP),
  SCRT_KEY2_VALUE("finished_failure", RHV_Image_Transfer_Phase::FINISHED_FAILURE),
  SCRT_KEY2_VALUE("finished_success", RHV_Image_Transfer_Phase::FINISHED_SUCCESS),
  SCRT_KEY2_VALUE("initializing", RHV_Image_Transfer_Phase::INITIALIZING),
  SCRT_KEY2_VALUE("paused_system", RHV_Image_Transfer_Phase::PAUSED_SYSTEM),
  SCRT_KEY2_VALUE("paused_user", RHV_Image_Transfer_Phase::PAUSED_USER),
  SCRT_KEY2_VALUE("resuming", RHV_Image_Transfer_Phase::RESUMING),
  SCRT_KEY2_VALUE("transferring", RHV_Image_Transfer_Phase::TRANSFERRING),
  SCRT_KEY2_VALUE("unknown", RHV_Image_Transfer_Phase::UNKNOWN),
  {nullptr, 0, RHV_Image_Transfer_Phase::NONE},
};

namespace {

template <typename E>
E name_to_phase(Key2_Value_T<E> const* table, char const* name, int length)
{
  if (name == nullptr)
    return get_key_value_entry(table, name, 0).value;
  std::size_t len = length == 0 ? std::strlen(name) : static_cast<std::size_t>(length);
  return get_key_value_entry(table, name, len).value;
}

// The phase of a loaded record: by the whole text when present and not empty.
template <typename E>
void load_phase(Key2_Value_T<E> const* table, std::string const* text, E& out)
{
  if (text != nullptr && !text->empty())
    out = name_to_phase(table, text->c_str(), static_cast<int>(text->size()));
}

// A number of the image transfer: decimal digits with an optional sign and nothing else
// ("12x" is refused), within T's range. Logs `format` with the text on failure.
template <class T>
bool convert_decimal(std::string const* text, T& out, char const* format)
{
  if (text == nullptr)
    return true;
  std::size_t first = (!text->empty() && ((*text)[0] == '-' || (*text)[0] == '+')) ? 1 : 0;
  bool digits = text->size() > first;
  for (std::size_t i = first; digits && i < text->size(); ++i)
    digits = (*text)[i] >= '0' && (*text)[i] <= '9';
  T value = out;
  if (digits && string_to_number(*text, value)) {
    out = value;
    return true;
  }
  log_invalid_text(format, *text);
  return false;
}

}  // namespace

RHV_Backup_Phase name_to_backup_phase(char const* name, int length)
{
  return name_to_phase(backup_phase_table, name, length);
}

RHV_Image_Transfer_Phase name_to_transfer_phase(char const* name, int length)
{
  return name_to_phase(transfer_phase_table, name, length);
}

char const* backup_phase_to_name(RHV_Backup_Phase phase)
{
  return get_key_value_entry(backup_phase_table, phase).key;
}

char const* transfer_phase_to_name(RHV_Image_Transfer_Phase phase)
{
  return get_key_value_entry(transfer_phase_table, phase).key;
}

// --- RHV_Backup ------------------------------------------------------------------------

bool RHV_Backup::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Backup& tmp) {
    std::string const* phase = nullptr;
    Object const* vm = nullptr;
    Object const* snapshot = nullptr;
    Object const* disks = nullptr;
    extract(object)("creation_date", tmp.creation_date)("from_checkpoint_id", tmp.from_checkpoint_id)(
        "to_checkpoint_id", tmp.to_checkpoint_id)("phase", phase)("vm", vm)("snapshot", snapshot)("disks", disks);
    load_phase(backup_phase_table, phase, tmp.phase);
    if (!load_nested(vm, tmp.vm, "Invalid vm format: '%s'.\n") ||
        !load_nested(snapshot, tmp.snapshot, "Invalid snapshot format: '%s'.\n"))
      return false;
    if (disks != nullptr && !load_rhv_disks(*disks, tmp.disks)) {
      log_invalid_json("Invalid disks format: '%s'.\n", *disks);
      return false;
    }
    return true;
  });
}

Object RHV_Backup::dump() const
{
  Object obj = RHV_Object::dump();
  char const* phase_name = backup_phase_to_name(phase);
  insert(obj)("creation_date", skip_if(creation_date, creation_date == 0))(
      "from_checkpoint_id", skip_empty(from_checkpoint_id))("to_checkpoint_id", skip_empty(to_checkpoint_id))(
      "phase", skip_if(phase_name != nullptr ? phase_name : "", phase_name == nullptr))(
      "vm", skip_empty(vm.dump()))("snapshot", skip_empty(snapshot.dump()))(
      "disks", skip_empty(dump_rhv_disks(disks)));
  return obj;
}

// --- RHV_Image_Transfer ----------------------------------------------------------------

bool RHV_Image_Transfer::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Image_Transfer& tmp) {
    std::string const* phase = nullptr;
    std::string const* inactivity_timeout = nullptr;
    std::string const* transferred = nullptr;
    std::string const* shallow = nullptr;
    Object const* backup = nullptr;
    Object const* disk = nullptr;
    Object const* host = nullptr;
    Object const* image = nullptr;
    extract(object)("phase", phase)("proxy_url", tmp.proxy_url)("transfer_url", tmp.transfer_url)(
        "direction", tmp.direction)("format", tmp.format)("timeout_policy", tmp.timeout_policy)(
        "inactivity_timeout", inactivity_timeout)("transferred", transferred)("shallow", shallow)(
        "backup", backup)("disk", disk)("host", host)("image", image);
    load_phase(transfer_phase_table, phase, tmp.phase);
    if (!convert_decimal(inactivity_timeout, tmp.inactivity_timeout, "Invalid inactivity_timeout format: '%s'.\n") ||
        !convert_decimal(transferred, tmp.transferred, "Invalid transferred format: '%s'.\n"))
      return false;
    convert_flag(shallow, tmp.shallow);
    return load_nested(backup, tmp.backup, "Invalid backup format: '%s'.\n") &&
           load_nested(disk, tmp.disk, "Invalid disk format: '%s'.\n") &&
           load_nested(host, tmp.host, "Invalid host format: '%s'.\n") &&
           load_nested(image, tmp.image, "Invalid image format: '%s'.\n");
  });
}

Object RHV_Image_Transfer::dump() const
{
  Object obj = RHV_Object::dump();
  char const* phase_name = transfer_phase_to_name(phase);
  insert(obj)("phase", skip_if(phase_name != nullptr ? phase_name : "", phase_name == nullptr))(
      "proxy_url", skip_empty(proxy_url))("transfer_url", skip_empty(transfer_url))(
      "direction", skip_empty(direction))("format", skip_empty(format))(
      "timeout_policy", skip_empty(timeout_policy))(
      "inactivity_timeout", skip_if(scrt::to_string(inactivity_timeout), inactivity_timeout < 0))(
      "transferred", skip_if(scrt::to_string(transferred), transferred < 0))(
      "shallow", skip_if(flag_text(shallow), !shallow))("backup", skip_empty(backup.dump()))(
      "disk", skip_empty(disk.dump()))("host", skip_empty(host.dump()))("image", skip_empty(image.dump()));
  return obj;
}

// --- RHV_Checkpoint --------------------------------------------------------------------

bool RHV_Checkpoint::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Checkpoint& tmp) {
    extract(object)("creation_date", tmp.creation_date)("parent_id", tmp.parent_id)("state", tmp.state);
    return true;
  });
}

Object RHV_Checkpoint::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("creation_date", skip_if(creation_date, creation_date == 0))("parent_id", skip_empty(parent_id))(
      "state", skip_empty(state));
  return obj;
}

// --- lists -----------------------------------------------------------------------------

bool load_rhv_backups(Object const& wrapper, RHV_Backups& items)
{
  return load_rhv_objects(wrapper, "backup", items);
}

Object dump_rhv_backups(RHV_Backups const& items)
{
  return dump_rhv_objects("backup", items);
}

bool load_rhv_image_transfers(Object const& wrapper, RHV_Image_Transfers& items)
{
  return load_rhv_objects(wrapper, "image_transfer", items);
}

Object dump_rhv_image_transfers(RHV_Image_Transfers const& items)
{
  return dump_rhv_objects("image_transfer", items);
}

bool load_rhv_checkpoints(Object const& wrapper, RHV_Checkpoints& items)
{
  return load_rhv_objects(wrapper, "checkpoint", items);
}

Object dump_rhv_checkpoints(RHV_Checkpoints const& items)
{
  return dump_rhv_objects("checkpoint", items);
}
