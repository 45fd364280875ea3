// The simulated engine's backup API: backups, checkpoints and image transfers.

#include "tests/support/engine_simulator_backup.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <utility>

#include "tests/support/engine_simulator_impl.h"

namespace test_support {

namespace engine_sim {

struct Backup_State {
  Backup_Timing timing;
  std::string daemon_url = "https://127.0.0.1:54322";
  std::string proxy_url = "https://127.0.0.1:54323";
  Engine_Backup_Control::Ticket_Handler handler;
  std::vector<Sim_Backup> backups;
  std::vector<Sim_Checkpoint> checkpoints;
  std::vector<Sim_Image_Transfer> transfers;
};

}  // namespace engine_sim

using namespace engine_sim;
using Impl = Engine_Simulator::Impl;

namespace {

bool finished_backup(const Sim_Backup& b)
{
  return b.phase == "succeeded" || b.phase == "failed";
}

bool finished_transfer(const Sim_Image_Transfer& t)
{
  return t.phase.compare(0, 9, "finished_") == 0;
}

Sim_Backup* find_backup(Impl& e, const std::string& vm_id, const std::string& id)
{
  for (Sim_Backup& b : e.backup->backups)
    if (b.id == id && (vm_id.empty() || b.vm_id == vm_id))
      return &b;
  return nullptr;
}

Sim_Checkpoint* find_checkpoint(Impl& e, const std::string& vm_id, const std::string& id)
{
  for (Sim_Checkpoint& c : e.backup->checkpoints)
    if (c.id == id && c.vm_id == vm_id)
      return &c;
  return nullptr;
}

Sim_Image_Transfer* find_transfer(Impl& e, const std::string& id)
{
  for (Sim_Image_Transfer& t : e.backup->transfers)
    if (t.id == id)
      return &t;
  return nullptr;
}

Object render_backup(Impl& e, const Sim_Backup& b, bool follow_disks)
{
  Object o;
  o["id"] = b.id;
  o["href"] = e.href("/vms/" + b.vm_id + "/backups/" + b.id);
  if (!b.description.empty())
    o["description"] = b.description;
  o["creation_date"] = static_cast<long>(b.creation_date);
  o["phase"] = b.phase;
  if (!b.from_checkpoint_id.empty())
    o["from_checkpoint_id"] = b.from_checkpoint_id;
  if (!b.to_checkpoint_id.empty())
    o["to_checkpoint_id"] = b.to_checkpoint_id;
  o["vm"] = e.link("/vms/" + b.vm_id, b.vm_id);
  if (follow_disks) {
    Array disks;
    for (const std::string& id : b.disk_ids) {
      const Sim_Disk* d = e.find_disk(id);
      if (d != nullptr)
        disks.push_back(e.render_disk(*d));
    }
    if (!disks.empty()) {
      Object wrapper;
      wrapper["disk"] = std::move(disks);
      o["disks"] = std::move(wrapper);
    }
  }
  return o;
}

Object render_checkpoint(Impl& e, const Sim_Checkpoint& c)
{
  Object o;
  o["id"] = c.id;
  o["href"] = e.href("/vms/" + c.vm_id + "/checkpoints/" + c.id);
  o["creation_date"] = static_cast<long>(c.creation_date);
  if (!c.parent_id.empty())
    o["parent_id"] = c.parent_id;
  o["state"] = c.state;
  o["vm"] = e.link("/vms/" + c.vm_id, c.vm_id);
  return o;
}

Object render_transfer(Impl& e, const Sim_Image_Transfer& t)
{
  Object o;
  o["id"] = t.id;
  o["href"] = e.href("/imagetransfers/" + t.id);
  o["phase"] = t.phase;
  o["direction"] = t.direction;
  o["format"] = t.format;
  o["timeout_policy"] = "legacy";
  o["inactivity_timeout"] = std::to_string(t.inactivity_timeout);
  o["transferred"] = std::to_string(t.transferred);
  if (t.shallow_set)
    o["shallow"] = t.shallow ? "true" : "false";
  if (!t.transfer_url.empty())
    o["transfer_url"] = t.transfer_url;
  if (!t.proxy_url.empty())
    o["proxy_url"] = t.proxy_url;
  o["disk"] = e.link("/disks/" + t.disk_id, t.disk_id);
  o["image"] = e.link("/disks/" + t.disk_id, t.disk_id);
  if (!t.backup_id.empty()) {
    const Sim_Backup* b = find_backup(e, "", t.backup_id);
    o["backup"] = e.link("/vms/" + (b != nullptr ? b->vm_id : std::string()) + "/backups/" + t.backup_id, t.backup_id);
  }
  if (!t.host_id.empty())
    o["host"] = e.link("/hosts/" + t.host_id, t.host_id);
  return o;
}

void tell_ticket(Impl& e, const Sim_Image_Transfer& t, bool added)
{
  if (!e.backup->handler)
    return;
  Sim_Transfer_Ticket ticket;
  ticket.ticket = t.ticket;
  ticket.transfer_id = t.id;
  ticket.disk_id = t.disk_id;
  const Sim_Disk* d = e.find_disk(t.disk_id);
  if (d != nullptr) {
    ticket.path = d->path;
    ticket.size = d->provisioned_size;
  }
  ticket.readable = t.direction == "download";
  ticket.writable = t.direction == "upload";
  e.backup->handler(ticket, added);
}

// ---- backups ----

Reply add_backup(Impl& e, const Call& c)
{
  Sim_VM* vm = e.find_vm(c.ids[0]);
  if (vm == nullptr)
    return not_found("VM", c.ids[0]);
  std::vector<Object> disks;
  std::string from;
  std::string description;
  if (!body_list(c.body, "disks", "disk", disks) || !body_text(c.body, "from_checkpoint_id", from) ||
      !body_text(c.body, "description", description))
    return bad_request("Invalid backup: malformed \"disks\", \"from_checkpoint_id\" or \"description\"");
  if (disks.empty())
    return bad_request("Invalid backup: no disks given");
  for (const Sim_Backup& b : e.backup->backups)
    if (b.vm_id == vm->id && !finished_backup(b))
      return conflict("Cannot backup VM. The VM is during a backup operation.");
  if (!from.empty() && find_checkpoint(e, vm->id, from) == nullptr)
    return bad_request("Checkpoint '" + from + "' of VM " + vm->name + " does not exist");
  Sim_Backup b;
  b.vm_id = vm->id;
  b.description = description;
  b.from_checkpoint_id = from;
  for (const Object& d : disks) {
    std::string id;
    if (!body_text(d, "id", id) || id.empty())
      return bad_request("Invalid backup: a disk without \"id\"");
    const Sim_Disk* disk = e.find_disk(id);
    if (disk == nullptr || e.find_attachment(vm->id, id) == nullptr)
      return conflict("Cannot backup VM. Disk " + id + " is not attached to VM " + vm->name + ".");
    if (!from.empty() && disk->backup != "incremental")
      return conflict("Cannot backup VM. Disk " + disk->name + " is not enabled for incremental backup.");
    b.disk_ids.push_back(id);
  }
  b.id = new_id();
  b.to_checkpoint_id = new_id();
  b.creation_date = now_ms();
  b.phase = "initializing";
  e.backup->backups.push_back(b);
  Reply reply = ok(render_backup(e, b, false), 201);
  const std::string id = b.id;
  e.schedule(e.backup->timing.backup_start, "backup:" + id, [&e, id] {
    Sim_Backup* found = find_backup(e, "", id);
    if (found != nullptr && found->phase == "initializing")
      found->phase = "ready";
  });
  return reply;
}

Reply finalize_backup(Impl& e, const Call& c)
{
  Sim_Backup* b = find_backup(e, c.ids[0], c.ids[1]);
  if (b == nullptr)
    return not_found("backup", c.ids[1]);
  if (b->phase != "ready")
    return conflict("Cannot stop VM backup. The backup is in phase " + b->phase + ".");
  b->phase = "finalizing";
  const std::string id = b->id;
  e.schedule(e.backup->timing.backup_finalize, "backup:" + id, [&e, id] {
    Sim_Backup* found = find_backup(e, "", id);
    if (found == nullptr || found->phase != "finalizing")
      return;
    found->phase = "succeeded";
    Sim_Checkpoint cp;
    cp.id = found->to_checkpoint_id;
    cp.vm_id = found->vm_id;
    cp.creation_date = now_ms();
    cp.disk_ids = found->disk_ids;
    for (const Sim_Checkpoint& other : e.backup->checkpoints)
      if (other.vm_id == found->vm_id)
        cp.parent_id = other.id;  // the newest one so far
    e.backup->checkpoints.push_back(cp);
  });
  return complete();
}

void install_backups(Impl& engine)
{
  engine.add_route("GET", "vms/*/backups", [](Impl& e, const Call& c) {
    if (e.find_vm(c.ids[0]) == nullptr)
      return not_found("VM", c.ids[0]);
    Reply error;
    std::set<std::string> follow;
    if (!follow_param(c, {"disks"}, follow, error))
      return error;
    Array items;
    for (const Sim_Backup& b : e.backup->backups)
      if (b.vm_id == c.ids[0])
        items.push_back(render_backup(e, b, follow.count("disks") != 0));
    return list_reply("backup", std::move(items));
  });
  engine.add_route("GET", "vms/*/backups/*", [](Impl& e, const Call& c) {
    Reply error;
    std::set<std::string> follow;
    if (!follow_param(c, {"disks"}, follow, error))
      return error;
    Sim_Backup* b = find_backup(e, c.ids[0], c.ids[1]);
    return b != nullptr ? ok(render_backup(e, *b, follow.count("disks") != 0)) : not_found("backup", c.ids[1]);
  });
  engine.add_route("POST", "vms/*/backups", add_backup);
  engine.add_route("POST", "vms/*/backups/*/finalize", finalize_backup);
  engine.add_route("GET", "vms/*/backups/*/disks", [](Impl& e, const Call& c) {
    Sim_Backup* b = find_backup(e, c.ids[0], c.ids[1]);
    if (b == nullptr)
      return not_found("backup", c.ids[1]);
    Array items;
    for (const std::string& id : b->disk_ids) {
      const Sim_Disk* d = e.find_disk(id);
      if (d != nullptr)
        items.push_back(e.render_disk(*d));
    }
    return list_reply("disk", std::move(items));
  });
  engine.add_route("GET", "vms/*/backups/*/disks/*", [](Impl& e, const Call& c) {
    Sim_Backup* b = find_backup(e, c.ids[0], c.ids[1]);
    if (b == nullptr)
      return not_found("backup", c.ids[1]);
    if (std::find(b->disk_ids.begin(), b->disk_ids.end(), c.ids[2]) == b->disk_ids.end())
      return not_found("disk", c.ids[2]);
    const Sim_Disk* d = e.find_disk(c.ids[2]);
    return d != nullptr ? ok(e.render_disk(*d)) : not_found("disk", c.ids[2]);
  });
}

// ---- checkpoints ----

void install_checkpoints(Impl& engine)
{
  engine.add_route("GET", "vms/*/checkpoints", [](Impl& e, const Call& c) {
    if (e.find_vm(c.ids[0]) == nullptr)
      return not_found("VM", c.ids[0]);
    Array items;
    for (const Sim_Checkpoint& cp : e.backup->checkpoints)
      if (cp.vm_id == c.ids[0])
        items.push_back(render_checkpoint(e, cp));
    return list_reply("checkpoint", std::move(items));
  });
  engine.add_route("GET", "vms/*/checkpoints/*", [](Impl& e, const Call& c) {
    Sim_Checkpoint* cp = find_checkpoint(e, c.ids[0], c.ids[1]);
    return cp != nullptr ? ok(render_checkpoint(e, *cp)) : not_found("checkpoint", c.ids[1]);
  });
  engine.add_route("DELETE", "vms/*/checkpoints/*", [](Impl& e, const Call& c) {
    Sim_Checkpoint* cp = find_checkpoint(e, c.ids[0], c.ids[1]);
    if (cp == nullptr)
      return not_found("checkpoint", c.ids[1]);
    for (const Sim_Checkpoint& other : e.backup->checkpoints)
      if (other.vm_id == cp->vm_id && other.parent_id == cp->id)
        return conflict("Cannot remove checkpoint " + cp->id + ": it is not the VM's first checkpoint.");
    const std::string id = cp->id;
    auto& list = e.backup->checkpoints;
    list.erase(std::remove_if(list.begin(), list.end(), [&id](const Sim_Checkpoint& x) { return x.id == id; }),
               list.end());
    return complete();
  });
}

// ---- image transfers ----

Reply add_transfer(Impl& e, const Call& c)
{
  std::string disk_id;
  std::string backup_id;
  std::string image_id;
  Sim_Image_Transfer t;
  int64_t timeout = t.inactivity_timeout;
  if (!body_link_id(c.body, "disk", disk_id) || !body_link_id(c.body, "backup", backup_id) ||
      !body_link_id(c.body, "image", image_id) || !body_text(c.body, "direction", t.direction) ||
      !body_text(c.body, "format", t.format) || !body_number(c.body, "inactivity_timeout", timeout) ||
      !body_flag(c.body, "shallow", t.shallow))
    return bad_request("Invalid image transfer: malformed member");
  if (disk_id.empty())
    disk_id = image_id;
  if (disk_id.empty())
    return bad_request("Invalid image transfer: no disk given");
  t.shallow_set = c.body.count("shallow") != 0;
  t.inactivity_timeout = static_cast<int>(timeout);
  if (t.direction.empty())
    t.direction = "download";
  if (t.direction != "download" && t.direction != "upload")
    return bad_request("Invalid image transfer direction '" + t.direction + "'");
  const Sim_Disk* disk = e.find_disk(disk_id);
  if (disk == nullptr)
    return unknown_in_body("disk", disk_id);
  if (!backup_id.empty()) {
    Sim_Backup* b = find_backup(e, "", backup_id);
    if (b == nullptr)
      return unknown_in_body("backup", backup_id);
    if (t.direction != "download")
      return conflict("Cannot transfer Virtual Disk. A backup can only be downloaded.");
    if (b->phase != "ready")
      return conflict("Cannot transfer Virtual Disk. The backup is in phase " + b->phase + ".");
    if (std::find(b->disk_ids.begin(), b->disk_ids.end(), disk_id) == b->disk_ids.end())
      return conflict("Cannot transfer Virtual Disk. Disk " + disk_id + " is not part of backup " + backup_id + ".");
  }
  for (const Sim_Image_Transfer& other : e.backup->transfers)
    if (other.disk_id == disk_id && !finished_transfer(other))
      return conflict("Cannot transfer Virtual Disk: Disk " + disk->name + " is locked by another transfer.");
  t.id = new_id();
  t.ticket = new_id();
  t.disk_id = disk_id;
  t.backup_id = backup_id;
  if (!e.hosts.empty())
    t.host_id = e.hosts.front().id;
  e.backup->transfers.push_back(t);
  Reply reply = ok(render_transfer(e, t), 201);
  const std::string id = t.id;
  e.schedule(e.backup->timing.transfer_start, "transfer:" + id, [&e, id] {
    Sim_Image_Transfer* found = find_transfer(e, id);
    if (found == nullptr || found->phase != "initializing")
      return;
    found->phase = "transferring";
    found->transfer_url = e.backup->daemon_url + "/images/" + found->ticket;
    found->proxy_url = e.backup->proxy_url + "/images/" + found->ticket;
    tell_ticket(e, *found, true);
  });
  return reply;
}

// Ends a transfer: `middle` now, `last` after the finalize delay; the ticket goes away.
Reply end_transfer(Impl& e, Sim_Image_Transfer& t, const std::string& middle, const std::string& last)
{
  bool had_ticket = t.phase == "transferring" || t.phase.compare(0, 7, "paused_") == 0;
  t.phase = middle;
  const std::string id = t.id;
  e.schedule(e.backup->timing.transfer_finalize, "transfer:" + id, [&e, id, middle, last, had_ticket] {
    Sim_Image_Transfer* found = find_transfer(e, id);
    if (found == nullptr || found->phase != middle)
      return;
    found->phase = last;
    if (had_ticket)
      tell_ticket(e, *found, false);
  });
  return complete();
}

void install_transfers(Impl& engine)
{
  engine.add_route("GET", "imagetransfers", [](Impl& e, const Call&) {
    Array items;
    for (const Sim_Image_Transfer& t : e.backup->transfers)
      items.push_back(render_transfer(e, t));
    return list_reply("image_transfer", std::move(items));
  });
  engine.add_route("GET", "imagetransfers/*", [](Impl& e, const Call& c) {
    Sim_Image_Transfer* t = find_transfer(e, c.ids[0]);
    return t != nullptr ? ok(render_transfer(e, *t)) : not_found("image transfer", c.ids[0]);
  });
  engine.add_route("POST", "imagetransfers", add_transfer);
  engine.add_route("POST", "imagetransfers/*/finalize", [](Impl& e, const Call& c) {
    Sim_Image_Transfer* t = find_transfer(e, c.ids[0]);
    if (t == nullptr)
      return not_found("image transfer", c.ids[0]);
    if (t->phase != "transferring")
      return conflict("Cannot finalize the image transfer. It is in phase " + t->phase + ".");
    return end_transfer(e, *t, "finalizing_success", "finished_success");
  });
  engine.add_route("POST", "imagetransfers/*/cancel", [](Impl& e, const Call& c) {
    Sim_Image_Transfer* t = find_transfer(e, c.ids[0]);
    if (t == nullptr)
      return not_found("image transfer", c.ids[0]);
    if (finished_transfer(*t))
      return conflict("Cannot cancel the image transfer. It is in phase " + t->phase + ".");
    return end_transfer(e, *t, "finalizing_cleanup", "finished_cleanup");
  });
}

}  // namespace

void Impl::install_backup_routes()
{
  backup = std::make_shared<Backup_State>();
  install_backups(*this);
  install_checkpoints(*this);
  install_transfers(*this);
}

// ---------------------------------------------------------------------------------------------
// Engine_Backup_Control

Engine_Backup_Control::Engine_Backup_Control(Engine_Simulator& engine) : impl_(*engine.impl_) {}

void Engine_Backup_Control::set_timing(const Backup_Timing& timing)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  impl_.backup->timing = timing;
}

void Engine_Backup_Control::set_daemon_url(const std::string& url)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  impl_.backup->daemon_url = url;
}

void Engine_Backup_Control::set_proxy_url(const std::string& url)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  impl_.backup->proxy_url = url;
}

void Engine_Backup_Control::set_ticket_handler(Ticket_Handler handler)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  impl_.backup->handler = std::move(handler);
}

std::string Engine_Backup_Control::add_checkpoint(const std::string& vm_id, const std::string& parent_id,
                                                  const std::vector<std::string>& disk_ids)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  Sim_Checkpoint cp;
  cp.id = new_id();
  cp.vm_id = vm_id;
  cp.parent_id = parent_id;
  cp.creation_date = now_ms();
  cp.disk_ids = disk_ids;
  impl_.backup->checkpoints.push_back(cp);
  return cp.id;
}

bool Engine_Backup_Control::set_backup_phase(const std::string& id, const std::string& phase)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  Sim_Backup* b = find_backup(impl_, "", id);
  if (b == nullptr)
    return false;
  b->phase = phase;
  return true;
}

bool Engine_Backup_Control::set_transfer_phase(const std::string& id, const std::string& phase)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  Sim_Image_Transfer* t = find_transfer(impl_, id);
  if (t == nullptr)
    return false;
  t->phase = phase;
  return true;
}

bool Engine_Backup_Control::set_transferred(const std::string& id, int64_t bytes)
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  Sim_Image_Transfer* t = find_transfer(impl_, id);
  if (t == nullptr)
    return false;
  t->transferred = bytes;
  return true;
}

std::vector<Sim_Backup> Engine_Backup_Control::backups(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  std::vector<Sim_Backup> out;
  for (const Sim_Backup& b : impl_.backup->backups)
    if (vm_id.empty() || b.vm_id == vm_id)
      out.push_back(b);
  return out;
}

std::vector<Sim_Checkpoint> Engine_Backup_Control::checkpoints(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  std::vector<Sim_Checkpoint> out;
  for (const Sim_Checkpoint& c : impl_.backup->checkpoints)
    if (vm_id.empty() || c.vm_id == vm_id)
      out.push_back(c);
  return out;
}

std::vector<Sim_Image_Transfer> Engine_Backup_Control::transfers() const
{
  std::lock_guard<std::mutex> lock(impl_.mutex);
  return impl_.backup->transfers;
}

}  // namespace test_support
