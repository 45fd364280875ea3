#include "platform/job/job_definition.h"

#include <limits>

#include "platform/job/job_records.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

Job_Source::~Job_Source() = default;
Job_Options::~Job_Options() = default;
Job_Record_Parser::~Job_Record_Parser() = default;

std::shared_ptr<Job_Source> Job_Record_Parser::job_source()
{
  return nullptr;
}

std::shared_ptr<Job_Options> Job_Record_Parser::job_options()
{
  return nullptr;
}

const char* job_def_subtype_to_string(int subtype, int /*flags*/)
{
  switch (subtype) {
  case JOB_DEFINITION_SUBTYPE_FULL:
    return "full";
  case JOB_DEFINITION_SUBTYPE_INCREMENTAL:
    return "incremental";
  case JOB_DEFINITION_SUBTYPE_DIFFERENTIAL:
    return "differential";
  default:
    return nullptr;
  }
}

Job_Definition_Subtype job_def_subtype_from_string(const std::string& text)
{
  for (int s = JOB_DEFINITION_SUBTYPE_FULL; s <= JOB_DEFINITION_SUBTYPE_DIFFERENTIAL; ++s) {
    if (text == job_def_subtype_to_string(s, 0))
      return static_cast<Job_Definition_Subtype>(s);
  }
  return JOB_DEFINITION_SUBTYPE_NONE;
}

namespace {

// Strict optional reads: an absent key keeps `out`; a key of another type is an error.
class Reader {
public:
  Reader(const Object& obj, const std::string& where) : obj_(obj), where_(where) {}

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  void str(const char* key, std::string& out)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return;
    if (v->type() != json_spirit::str_type && v->type() != json_spirit::secure_str_type)
      return mistyped(key, "string");
    out = v->get_str();
  }

  void secure(const char* key, secure_string& out)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return;
    if (v->type() != json_spirit::str_type && v->type() != json_spirit::secure_str_type)
      return mistyped(key, "string");
    out = v->get_secure_str();
  }

  void boolean(const char* key, bool& out)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return;
    if (v->type() != json_spirit::bool_type)
      return mistyped(key, "boolean");
    out = v->get_bool();
  }

  void integer(const char* key, int64_t& out, int64_t min, int64_t max)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return;
    if (v->type() != json_spirit::int_type || v->is_uint64() || v->get_int64() < min ||
        v->get_int64() > max)
      return mistyped(key, "integer in range");
    out = v->get_int64();
  }

  void int32(const char* key, int& out)
  {
    int64_t v = out;
    integer(key, v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    out = static_cast<int>(v);
  }

  void uint64(const char* key, uint64_t& out)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return;
    if (v->type() != json_spirit::int_type || (!v->is_uint64() && v->get_int64() < 0))
      return mistyped(key, "unsigned integer");
    out = v->get_uint64();
  }

  const Object* object(const char* key)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return nullptr;
    if (v->type() != json_spirit::obj_type) {
      mistyped(key, "object");
      return nullptr;
    }
    return &v->get_obj();
  }

  const Array* array(const char* key)
  {
    const Value* v = find(key);
    if (v == nullptr)
      return nullptr;
    if (v->type() != json_spirit::array_type) {
      mistyped(key, "array");
      return nullptr;
    }
    return &v->get_array();
  }

  void fail(const std::string& why)
  {
    if (error_.empty())
      error_ = why;
  }

private:
  const Value* find(const char* key) const
  {
    auto it = obj_.find(key);
    return it == obj_.end() ? nullptr : &it->second;
  }

  void mistyped(const char* key, const char* what)
  {
    fail("job definition key '" + where_ + key + "' must be a " + what);
  }

  const Object& obj_;
  std::string where_;
  std::string error_;
};

}  // namespace

bool Job_Definition::load(const Value& doc, std::string* error)
{
  if (doc.type() != json_spirit::obj_type) {
    if (error != nullptr)
      *error = "a job definition must be a JSON object";
    return false;
  }
  Job_Definition d(*this);
  Reader r(doc.get_obj(), "");

  int64_t type = d.type_;
  r.integer("type", type, JOB_DEFINITION_NONE, JOB_DEFINITION_STORAGE);
  d.type_ = static_cast<Job_Definition_Type>(type);
  r.str("uid", d.uid_);
  r.str("id", d.id_);
  r.str("host_id", d.host_id_);
  r.str("name", d.name_);
  r.str("agent", d.agent_);
  int64_t subtype = d.subtype_;
  r.integer("subtype", subtype, 0, std::numeric_limits<int>::max());
  d.subtype_ = static_cast<Job_Definition_Subtype>(subtype);
  r.integer("job_revision", d.job_revision_, std::numeric_limits<int64_t>::min(),
            std::numeric_limits<int64_t>::max());
  if (const Object* t = r.object("target")) {
    Reader tr(*t, "target/");
    std::string id = d.target_.id(), device = d.target_.device_id(), name = d.target_.name();
    tr.str("id", id);
    tr.str("device_id", device);
    tr.str("name", name);
    if (!tr.ok())
      r.fail(tr.error());
    d.target_.id(id);
    d.target_.device_id(device);
    d.target_.name(name);
  }
  r.str("precondition", d.precondition_);
  r.str("pre_action", d.pre_action_);
  r.str("post_action", d.post_action_);
  r.boolean("ignore_pre_action_failure", d.ignore_pre_action_failure_);
  r.boolean("ignore_post_action_failure", d.ignore_post_action_failure_);
  r.boolean("run_post_action_always", d.run_post_action_always_);
  r.secure("backup_protection_password", d.backup_protection_password_);
  r.int32("retry_count", d.retry_count_);
  r.int32("retry_interval", d.retry_interval_);
  r.int32("max_seconds_retry", d.max_seconds_retry_);
  if (const Object* rl = r.object("rate_limits")) {
    Reader lr(*rl, "rate_limits/");
    uint64_t dest = d.rate_limits_.dest_rate_limits, src = d.rate_limits_.src_rate_limits;
    lr.uint64("dest_rate_limits", dest);
    lr.uint64("src_rate_limits", src);
    if (!lr.ok())
      r.fail(lr.error());
    d.rate_limits_.dest_rate_limits = dest;
    d.rate_limits_.src_rate_limits = src;
  }
  r.boolean("server_side_dedup", d.server_side_dedup_);
  r.uint64("resumption_buffer_size", d.resumption_buffer_size_);
  if (const Array* schedules = r.array("schedules")) {
    std::vector<Job_Schedule> list;
    for (const Value& s : *schedules) {
      if (s.type() != json_spirit::obj_type) {
        r.fail("job definition key 'schedules' must hold objects");
        break;
      }
      Reader sr(s.get_obj(), "schedules/");
      int type = Job_Schedule::TYPE_NONE;
      sr.int32("type", type);
      if (!sr.ok()) {
        r.fail(sr.error());
        break;
      }
      list.push_back(Job_Schedule(type));
    }
    d.schedules_ = std::move(list);
  }

  if (!r.ok()) {
    if (error != nullptr)
      *error = r.error();
    return false;
  }
  *this = std::move(d);
  return true;
}
