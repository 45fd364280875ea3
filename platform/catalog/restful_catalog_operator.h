#ifndef PLATFORM_CATALOG_RESTFUL_CATALOG_OPERATOR_H
#define PLATFORM_CATALOG_RESTFUL_CATALOG_OPERATOR_H

#include <cstdint>
#include <string>

#include "platform/catalog/backup_set.h"
#include "platform/json/value.h"

#pragma GCC visibility push(default)

// The client of the backup server's catalog. The catalog is the directory named by the
// platform configuration (catalog_dir): one file "<set uuid>.json" per committed set,
// holding the set's stored form. The directory may be shared by several processes:
// commits are atomic (a reader sees a set whole or not at all) and durable once commit
// returns true.
//
// The server address, access key, time-out and retry time describe the remote catalog
// of the host library; the local catalog keeps them but does not need them. Each call
// logs its own failure (LM_ERROR) and returns false. Safe for concurrent use.
class RESTful_Catalog_Operator {
public:
  RESTful_Catalog_Operator(const std::string& host, std::uint16_t port, bool ssl, const std::string& access_key,
                           int timeout_seconds = -1, int retry_seconds = -1);

  // Stores `set` under its set uuid. The set is written to a temporary file in the
  // catalog directory, flushed to disk and renamed into place, then the directory is
  // flushed. When `overwrite` is false an existing set with the same uuid is kept and
  // the commit fails (EEXIST). A set uuid that is empty or not a plain file name
  // ([A-Za-z0-9._-], not "." or "..") is refused.
  bool commit(const Backup_Set& set, bool overwrite);

  // Runs the catalog view `view` of application `app` and puts its reply, an array, in
  // `result`. Supported: "rhev"/"restore", one element per committed RHV set whose
  // stored members equal every member of `filter` (for example {"resource_uuid",
  // "vm_id", "set_uuid"}), newest first (by end time, then start time). Each element:
  //   "vm_profile" (object), "disks_profile" (array), "storages" (array), "uri" (string),
  //   "pieces" (array of {"object", "size", "path", "extended_attrs"}),
  //   "source_size" (uint), and for reference "set_uuid", "name", "vm_id", "vm_name",
  //   "resource_uuid", "host_uuid", "subtype", "start_time", "end_time", "set_size".
  // A catalog with no matching set gives an empty array and true. Files that cannot be
  // read as sets are skipped with a warning.
  bool get_view(const std::string& app, const std::string& view, const json_spirit::Object& filter,
                json_spirit::Value& result);

  const std::string& host() const { return host_; }
  std::uint16_t port() const { return port_; }
  bool ssl() const { return ssl_; }

private:
  std::string host_;
  std::uint16_t port_;
  bool ssl_;
  std::string access_key_;
  int timeout_seconds_;
  int retry_seconds_;
};

#pragma GCC visibility pop

#endif
