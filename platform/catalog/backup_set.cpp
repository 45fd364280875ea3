#include "platform/catalog/backup_set.h"

#include <utility>

#include "platform/storage/json_fields.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

json_spirit::Object Backup_Piece::dump() const
{
  Object o;
  o["object"] = object_;
  o["size"] = size_;
  o["path"] = path_;
  o["extended_attrs"] = attrs_;
  return o;
}

bool Backup_Piece::load(const json_spirit::Value& v)
{
  if (v.type() != json_spirit::obj_type) return false;
  const Object& o = v.get_obj();
  for (const char* key : {"object", "size", "path", "extended_attrs"})
    if (o.find(key) == o.end()) return false;
  Backup_Piece p;
  Json_Fields f(o, nullptr);
  if (!f.get("object", p.object_) || !f.get("size", p.size_) || !f.get("path", p.path_) ||
      !f.get("extended_attrs", p.attrs_))
    return false;
  *this = std::move(p);
  return true;
}

void Backup_Set::add_storage(const std::string& pool_uuid, std::uint64_t size, const json_spirit::Object& attrs)
{
  Object s;
  s["pool_uuid"] = pool_uuid;
  s["size"] = size;
  s["attrs"] = attrs;
  storages_.push_back(std::move(s));
}

json_spirit::Object Backup_Set::dump() const
{
  Object o;
  o["app"] = app_;
  o["name"] = name_;
  o["agent"] = agent_;
  o["format_version"] = format_version_;
  o["backup_method"] = backup_method_;
  o["host_uuid"] = host_uuid_;
  o["uri"] = uri_;
  o["set_uuid"] = set_uuid_;
  o["full_set_uuid"] = full_set_uuid_;
  Array uuids(set_uuids_.begin(), set_uuids_.end());
  o["set_uuids"] = std::move(uuids);
  o["activity_uid"] = activity_uid_;
  o["activity_id"] = activity_id_;
  o["def_id"] = def_id_;
  o["resource_uuid"] = resource_uuid_;
  o["vm_name"] = vm_name_;
  o["vm_id"] = vm_id_;
  o["subtype"] = subtype_;
  o["start_time"] = start_time_;
  o["end_time"] = end_time_;
  o["set_size"] = set_size_;
  o["source_size"] = source_size_;
  o["storages"] = storages_;
  Array pieces;
  pieces.reserve(pieces_.size());
  for (const Backup_Piece& p : pieces_) pieces.push_back(p.dump());
  o["pieces"] = std::move(pieces);
  return o;
}

bool Backup_Set::load(const json_spirit::Value& v)
{
  if (v.type() != json_spirit::obj_type) return false;
  const Object& o = v.get_obj();
  Backup_Set s(*this);
  Json_Fields f(o, nullptr);
  Array pieces;
  if (!f.get("app", s.app_) || !f.get("name", s.name_) || !f.get("agent", s.agent_) ||
      !f.get("format_version", s.format_version_) || !f.get("backup_method", s.backup_method_) ||
      !f.get("host_uuid", s.host_uuid_) || !f.get("uri", s.uri_) || !f.get("set_uuid", s.set_uuid_) ||
      !f.get("full_set_uuid", s.full_set_uuid_) || !f.get("set_uuids", s.set_uuids_) ||
      !f.get("activity_uid", s.activity_uid_) || !f.get("activity_id", s.activity_id_) ||
      !f.get("def_id", s.def_id_) || !f.get("resource_uuid", s.resource_uuid_) || !f.get("vm_name", s.vm_name_) ||
      !f.get("vm_id", s.vm_id_) || !f.get("subtype", s.subtype_) || !f.get("start_time", s.start_time_) ||
      !f.get("end_time", s.end_time_) || !f.get("set_size", s.set_size_) || !f.get("source_size", s.source_size_) ||
      !f.get("storages", s.storages_) || !f.get("pieces", pieces))
    return false;
  s.pieces_.clear();
  s.pieces_.reserve(pieces.size());
  for (const Value& pv : pieces) {
    Backup_Piece p;
    if (!p.load(pv)) return false;
    s.pieces_.push_back(std::move(p));
  }
  *this = std::move(s);
  return true;
}

json_spirit::Object RHV_Backup_Set::dump() const
{
  Object o = Backup_Set::dump();
  Object r;
  r["data_center_id"] = data_center_id_;
  r["data_center_name"] = data_center_name_;
  r["cluster_id"] = cluster_id_;
  r["cluster_name"] = cluster_name_;
  r["host_id"] = rhv_host_id_;
  r["host_name"] = rhv_host_name_;
  r["vm_id"] = rhv_vm_id_;
  r["vm_name"] = rhv_vm_name_;
  r["vm"] = vm_;
  r["version"] = version_;
  r["disk_attachments"] = disk_attachments_;
  r["nics"] = nics_;
  o[APP] = std::move(r);
  return o;
}

bool RHV_Backup_Set::load(const json_spirit::Value& v)
{
  RHV_Backup_Set s(*this);
  if (!s.Backup_Set::load(v) || s.app() != APP) return false;
  auto it = v.get_obj().find(APP);
  if (it != v.get_obj().end()) {
    if (it->second.type() != json_spirit::obj_type) return false;
    Json_Fields f(it->second.get_obj(), nullptr);
    if (!f.get("data_center_id", s.data_center_id_) || !f.get("data_center_name", s.data_center_name_) ||
        !f.get("cluster_id", s.cluster_id_) || !f.get("cluster_name", s.cluster_name_) ||
        !f.get("host_id", s.rhv_host_id_) || !f.get("host_name", s.rhv_host_name_) ||
        !f.get("vm_id", s.rhv_vm_id_) || !f.get("vm_name", s.rhv_vm_name_) || !f.get("vm", s.vm_) ||
        !f.get("version", s.version_) || !f.get("disk_attachments", s.disk_attachments_) ||
        !f.get("nics", s.nics_))
      return false;
  }
  *this = std::move(s);
  return true;
}
