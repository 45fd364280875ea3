#ifndef PLATFORM_CATALOG_BACKUP_SET_H
#define PLATFORM_CATALOG_BACKUP_SET_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// One stored piece of a backup set: `size` bytes of the source object `object` (a disk
// id), kept at `path` inside the set's place in the pool, with free attributes
// ("extended_attrs": index, offset, source size, block size, ...).
class Backup_Piece {
public:
  void set_size(std::uint64_t size) { size_ = size; }
  void set_object(const std::string& object) { object_ = object; }
  void set_path(const std::string& path) { path_ = path; }
  void set_attributes(const json_spirit::Object& attrs) { attrs_ = attrs; }
  void set_attributes(json_spirit::Object&& attrs) { attrs_ = std::move(attrs); }

  std::uint64_t size() const { return size_; }
  const std::string& object() const { return object_; }
  const std::string& path() const { return path_; }
  const json_spirit::Object& attributes() const { return attrs_; }

  // {"object": str, "size": uint, "path": str, "extended_attrs": object}
  json_spirit::Object dump() const;
  // Reads the form above; all four members required. false leaves *this unchanged.
  bool load(const json_spirit::Value& v);

private:
  std::uint64_t size_ = 0;
  std::string object_;
  std::string path_;
  json_spirit::Object attrs_;
};

// The catalog record of one backup of one VM: identity, times, sizes, the storages that
// hold it and its pieces. Filled with the setters, then committed through
// RESTful_Catalog_Operator. Copyable; not safe for concurrent modification.
class Backup_Set {
public:
  Backup_Set() = default;
  virtual ~Backup_Set() = default;
  Backup_Set(const Backup_Set&) = default;
  Backup_Set& operator=(const Backup_Set&) = default;

  // The application the set belongs to; catalog views select sets by it.
  const std::string& app() const { return app_; }

  void set_name(const std::string& v) { name_ = v; }
  void set_agent(const std::string& v) { agent_ = v; }
  void set_format_version(const std::string& v) { format_version_ = v; }
  void set_backup_method(const std::string& v) { backup_method_ = v; }
  // The host (client) the set was taken for.
  void set_host_uuid(const std::string& v) { host_uuid_ = v; }
  // Where the set's objects live inside the pool, relative to the pool's url.
  void set_uri(const std::string& v) { uri_ = v; }
  // The set's own uuid, and the uuid of the full backup it belongs to (its own for a
  // full backup).
  void set_set_uuid(const std::string& v) { set_uuid_ = v; }
  void set_full_set_uuid(const std::string& v) { full_set_uuid_ = v; }
  // Appends a uuid to the chain of sets a restore of this set needs.
  void add_set_uuid(const std::string& v) { set_uuids_.push_back(v); }
  // The job activity that produced the set (its uid and id as text).
  void set_activity_uid(const std::string& v) { activity_uid_ = v; }
  void set_activity_id(const std::string& v) { activity_id_ = v; }
  void set_def_id(const std::string& v) { def_id_ = v; }
  void set_resource_uuid(const std::string& v) { resource_uuid_ = v; }
  void set_vm_name(const std::string& v) { vm_name_ = v; }
  void set_vm_id(const std::string& v) { vm_id_ = v; }
  // The job subtype's name ("full", "incremental", ...).
  void set_subtype(const std::string& v) { subtype_ = v; }
  // Times in seconds since the epoch.
  void set_start_time(std::int64_t v) { start_time_ = v; }
  void set_end_time(std::int64_t v) { end_time_ = v; }
  void set_set_size(std::uint64_t v) { set_size_ = v; }
  void set_source_size(std::uint64_t v) { source_size_ = v; }

  // Records that the pool `pool_uuid` holds `size` bytes of the set; `attrs` are free.
  void add_storage(const std::string& pool_uuid, std::uint64_t size, const json_spirit::Object& attrs);
  void reserve_pieces(std::size_t n) { pieces_.reserve(n); }
  void add_piece(const Backup_Piece& piece) { pieces_.push_back(piece); }
  void add_piece(Backup_Piece&& piece) { pieces_.push_back(std::move(piece)); }

  const std::string& name() const { return name_; }
  const std::string& agent() const { return agent_; }
  const std::string& format_version() const { return format_version_; }
  const std::string& backup_method() const { return backup_method_; }
  const std::string& host_uuid() const { return host_uuid_; }
  const std::string& uri() const { return uri_; }
  const std::string& set_uuid() const { return set_uuid_; }
  const std::string& full_set_uuid() const { return full_set_uuid_; }
  const std::vector<std::string>& set_uuids() const { return set_uuids_; }
  const std::string& activity_uid() const { return activity_uid_; }
  const std::string& activity_id() const { return activity_id_; }
  const std::string& def_id() const { return def_id_; }
  const std::string& resource_uuid() const { return resource_uuid_; }
  const std::string& vm_name() const { return vm_name_; }
  const std::string& vm_id() const { return vm_id_; }
  const std::string& subtype() const { return subtype_; }
  std::int64_t start_time() const { return start_time_; }
  std::int64_t end_time() const { return end_time_; }
  std::uint64_t set_size() const { return set_size_; }
  std::uint64_t source_size() const { return source_size_; }
  const json_spirit::Array& storages() const { return storages_; }
  const std::vector<Backup_Piece>& pieces() const { return pieces_; }

  // The stored form: one object with a member per field ("app", "name", "agent",
  // "format_version", "backup_method", "host_uuid", "uri", "set_uuid", "full_set_uuid",
  // "set_uuids", "activity_uid", "activity_id", "def_id", "resource_uuid", "vm_name",
  // "vm_id", "subtype", "start_time", "end_time", "set_size", "source_size", "storages"
  // ([{"pool_uuid", "size", "attrs"}]), "pieces"), plus what a subclass adds.
  virtual json_spirit::Object dump() const;
  // Reads the stored form. false (with *this unchanged) when `v` is not an object or a
  // member has the wrong type; absent members keep their defaults.
  virtual bool load(const json_spirit::Value& v);

protected:
  explicit Backup_Set(const std::string& app) : app_(app) {}

private:
  std::string app_;
  std::string name_;
  std::string agent_;
  std::string format_version_;
  std::string backup_method_;
  std::string host_uuid_;
  std::string uri_;
  std::string set_uuid_;
  std::string full_set_uuid_;
  std::vector<std::string> set_uuids_;
  std::string activity_uid_;
  std::string activity_id_;
  std::string def_id_;
  std::string resource_uuid_;
  std::string vm_name_;
  std::string vm_id_;
  std::string subtype_;
  std::int64_t start_time_ = 0;
  std::int64_t end_time_ = 0;
  std::uint64_t set_size_ = 0;
  std::uint64_t source_size_ = 0;
  json_spirit::Array storages_;
  std::vector<Backup_Piece> pieces_;
};

// A backup set of an RHV VM (application "rhev"): the common fields plus where the VM
// lived and its full metadata as the engine describes it.
class RHV_Backup_Set : public Backup_Set {
public:
  static constexpr const char* APP = "rhev";

  RHV_Backup_Set() : Backup_Set(APP) {}

  void set_data_center_id(const std::string& v) { data_center_id_ = v; }
  void set_data_center_name(const std::string& v) { data_center_name_ = v; }
  void set_cluster_id(const std::string& v) { cluster_id_ = v; }
  void set_cluster_name(const std::string& v) { cluster_name_ = v; }
  void set_rhv_host_id(const std::string& v) { rhv_host_id_ = v; }
  void set_rhv_host_name(const std::string& v) { rhv_host_name_ = v; }
  void set_rhv_vm_id(const std::string& v) { rhv_vm_id_ = v; }
  void set_rhv_vm_name(const std::string& v) { rhv_vm_name_ = v; }
  // The VM and the engine version, as the engine's JSON.
  void set_vm(const json_spirit::Object& v) { vm_ = v; }
  void set_version(const json_spirit::Object& v) { version_ = v; }
  // The VM's disk attachments (each with its disk) and NICs, as the engine's JSON.
  void add_disk_attachment(const json_spirit::Object& v) { disk_attachments_.push_back(v); }
  void add_nic(const json_spirit::Object& v) { nics_.push_back(v); }

  const std::string& data_center_id() const { return data_center_id_; }
  const std::string& data_center_name() const { return data_center_name_; }
  const std::string& cluster_id() const { return cluster_id_; }
  const std::string& cluster_name() const { return cluster_name_; }
  const std::string& rhv_host_id() const { return rhv_host_id_; }
  const std::string& rhv_host_name() const { return rhv_host_name_; }
  const std::string& rhv_vm_id() const { return rhv_vm_id_; }
  const std::string& rhv_vm_name() const { return rhv_vm_name_; }
  const json_spirit::Object& vm() const { return vm_; }
  const json_spirit::Object& version() const { return version_; }
  const json_spirit::Array& disk_attachments() const { return disk_attachments_; }
  const json_spirit::Array& nics() const { return nics_; }

  // The common form plus a member "rhev": {"data_center_id", "data_center_name",
  // "cluster_id", "cluster_name", "host_id", "host_name", "vm_id", "vm_name", "vm",
  // "version", "disk_attachments", "nics"}.
  json_spirit::Object dump() const override;
  bool load(const json_spirit::Value& v) override;

private:
  std::string data_center_id_;
  std::string data_center_name_;
  std::string cluster_id_;
  std::string cluster_name_;
  std::string rhv_host_id_;
  std::string rhv_host_name_;
  std::string rhv_vm_id_;
  std::string rhv_vm_name_;
  json_spirit::Object vm_;
  json_spirit::Object version_;
  json_spirit::Array disk_attachments_;
  json_spirit::Array nics_;
};

#pragma GCC visibility pop

#endif
