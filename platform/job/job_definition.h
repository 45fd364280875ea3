#ifndef PLATFORM_JOB_JOB_DEFINITION_H
#define PLATFORM_JOB_JOB_DEFINITION_H

// A job definition: what a job is (type, ids, target, scripts, retry and transfer
// settings, schedules) and its parsed source and options records.
//
// Hosts build definitions from a JSON document (load); see load() for its keys. A
// definition is shared read-only by the job and its runs once it is handed to a job.

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backup/scrt/secure_string.h"
#include "platform/job/job_records.h"
#include "platform/job/job_types.h"
#include "platform/json/value.h"
#include "platform/storage/rate_limits.h"

#pragma GCC visibility push(default)

// Where a job's data goes: the storage pool (its id is the pool uuid) and device.
class Job_Target {
public:
  const std::string& id() const { return id_; }
  const std::string& device_id() const { return device_id_; }
  const std::string& name() const { return name_; }

  void id(const std::string& v) { id_ = v; }
  void device_id(const std::string& v) { device_id_ = v; }
  void name(const std::string& v) { name_ = v; }

private:
  std::string id_;
  std::string device_id_;
  std::string name_;
};

class Job_Schedule {
public:
  enum { TYPE_NONE = 0, TYPE_ONDEMAND = 7 };

  explicit Job_Schedule(int type = TYPE_NONE) : type_(type) {}
  int type() const { return type_; }

private:
  int type_;
};

class Job_Definition {
public:
  Job_Definition() = default;

  // Reads the definition from a JSON object. Keys (all optional; absent keys keep the
  // defaults shown):
  //   "type" int 0, "uid" string, "id" string, "host_id" string, "name" string,
  //   "agent" string, "subtype" int 0, "job_revision" int 0,
  //   "target" {"id", "device_id", "name"}, "precondition", "pre_action",
  //   "post_action" strings, "ignore_pre_action_failure",
  //   "ignore_post_action_failure", "run_post_action_always" bools false,
  //   "backup_protection_password" string, "retry_count" int 0,
  //   "retry_interval" int 0 (seconds), "max_seconds_retry" int 0,
  //   "rate_limits" {"dest_rate_limits", "src_rate_limits"} unsigned 0,
  //   "server_side_dedup" bool false, "resumption_buffer_size" unsigned 0,
  //   "schedules" [{"type": int}].
  // A present key of another type, or a document that is not an object, makes the load
  // fail: false, `error` says which key, and *this is unchanged.
  bool load(const json_spirit::Value& doc, std::string* error = nullptr);

  Job_Definition_Type type() const { return type_; }
  const std::string& uid() const { return uid_; }
  const std::string& id() const { return id_; }
  const std::string& host_id() const { return host_id_; }
  const std::string& name() const { return name_; }
  const std::string& agent() const { return agent_; }
  Job_Definition_Subtype subtype() const { return subtype_; }
  int64_t job_revision() const { return job_revision_; }
  const Job_Target& target() const { return target_; }
  Job_Target& target() { return target_; }
  const std::string& precondition() const { return precondition_; }
  const std::string& pre_action() const { return pre_action_; }
  const std::string& post_action() const { return post_action_; }
  bool ignore_pre_action_failure() const { return ignore_pre_action_failure_; }
  bool ignore_post_action_failure() const { return ignore_post_action_failure_; }
  bool run_post_action_always() const { return run_post_action_always_; }
  const secure_string& backup_protection_password() const { return backup_protection_password_; }
  int retry_count() const { return retry_count_; }
  int retry_interval() const { return retry_interval_; }
  int max_seconds_retry() const { return max_seconds_retry_; }
  const Rate_Limits& rate_limits() const { return rate_limits_; }
  bool server_side_dedup() const { return server_side_dedup_; }
  uint64_t resumption_buffer_size() const { return resumption_buffer_size_; }
  const std::vector<Job_Schedule>& schedules() const { return schedules_; }

  // The parsed source and options records; null when the definition has none.
  Job_Source* source() const { return source_.get(); }
  Job_Options* options() const { return options_.get(); }
  void source(std::shared_ptr<Job_Source> s) { source_ = std::move(s); }
  void options(std::shared_ptr<Job_Options> o) { options_ = std::move(o); }

  // Setters for hosts that build a definition piece by piece.
  void type(Job_Definition_Type v) { type_ = v; }
  void uid(const std::string& v) { uid_ = v; }
  void id(const std::string& v) { id_ = v; }
  void host_id(const std::string& v) { host_id_ = v; }
  void pre_action(const std::string& v) { pre_action_ = v; }
  void post_action(const std::string& v) { post_action_ = v; }
  void precondition(const std::string& v) { precondition_ = v; }

private:
  Job_Definition_Type type_ = JOB_DEFINITION_NONE;
  std::string uid_;
  std::string id_;
  std::string host_id_;
  std::string name_;
  std::string agent_;
  Job_Definition_Subtype subtype_ = JOB_DEFINITION_SUBTYPE_NONE;
  int64_t job_revision_ = 0;
  Job_Target target_;
  std::string precondition_;
  std::string pre_action_;
  std::string post_action_;
  bool ignore_pre_action_failure_ = false;
  bool ignore_post_action_failure_ = false;
  bool run_post_action_always_ = false;
  secure_string backup_protection_password_;
  int retry_count_ = 0;
  int retry_interval_ = 0;
  int max_seconds_retry_ = 0;
  Rate_Limits rate_limits_;
  bool server_side_dedup_ = false;
  uint64_t resumption_buffer_size_ = 0;
  std::vector<Job_Schedule> schedules_;
  std::shared_ptr<Job_Source> source_;
  std::shared_ptr<Job_Options> options_;
};

typedef ACE_Refcounted_Auto_Ptr<Job_Definition, ACE_Thread_Mutex> Job_Definition_var;

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_DEFINITION_H
