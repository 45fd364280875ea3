#ifndef BACKUP_RHV_API_RHV_DEFS_LOAD_H
#define BACKUP_RHV_API_RHV_DEFS_LOAD_H

// The steps that every record load and dump is made of. Internal to the record files
// (rhv_defs*.cpp and the list templates): callers use the records' load and dump.

#include <exception>
#include <string>
#include <utility>

#include <boost/optional.hpp>

#include "backup/rhv/api/rhv_defs.h"
#include "platform/json/value.h"

namespace rhv_defs_detail {

// Logs `format` at LM_ERROR with one %s filled by `value` rendered as compact JSON text.
void log_invalid_json(char const* format, json_spirit::Value const& value);
void log_invalid_json(char const* format, json_spirit::Object const& object);

// Logs `format` at LM_ERROR with one %s filled by `text`.
void log_invalid_text(char const* format, std::string const& text);

// Logs "Invalid %s format: '%s'.\n" with a list's element key and the failed element.
void log_invalid_element(std::string const& key, json_spirit::Value const& element);

// Logs "Invalid object format, exception: %s.\n" with the exception's text.
void log_object_exception(std::exception const& e);

// A number member: when its key was present, converts the text; on failure logs `format`
// with the text and returns false. An absent key (null) leaves the default.
template <class T>
inline bool convert_number(std::string const* text, T& out, char const* format)
{
  if (text == nullptr)
    return true;
  if (string_to_number(*text, out))
    return true;
  log_invalid_text(format, *text);
  return false;
}

// A flag member: true exactly for the text "true", false for any other text; an absent
// key leaves the flag unset.
inline void convert_flag(std::string const* text, boost::optional<bool>& out)
{
  if (text != nullptr)
    out = (*text == "true");
}

// A nested record or link: when its key was present, loads it with the record's own load
// (which logs its own line first); on failure logs `format` with the nested object.
template <class R>
inline bool load_nested(json_spirit::Object const* object, R& out, char const* format)
{
  if (object == nullptr)
    return true;
  if (out.load(*object))
    return true;
  log_invalid_json(format, *object);
  return false;
}

// The frame of an entity load: a temporary with the defaults, the base record first
// ("Invalid object format: '%s'.\n" with the whole object on failure), then `fill` with
// the record's own steps, then the temporary replaces the target. Nothing escapes: an
// unexpected exception (memory exhaustion) fails the load like a missing "id".
template <class R, class F>
inline bool load_entity(R& target, json_spirit::Object const& object, F&& fill)
{
  try {
    R tmp;
    if (!tmp.RHV_Object::load(object)) {
      log_invalid_json("Invalid object format: '%s'.\n", object);
      return false;
    }
    if (!fill(tmp))
      return false;
    target = std::move(tmp);
    return true;
  } catch (std::exception const& e) {
    log_object_exception(e);
    return false;
  }
}

// The frame of a value-part load: as load_entity without the base record step.
template <class R, class F>
inline bool load_value(R& target, json_spirit::Object const& object, F&& fill)
{
  try {
    R tmp;
    if (!fill(tmp, object))
      return false;
    target = std::move(tmp);
    return true;
  } catch (std::exception const& e) {
    log_object_exception(e);
    return false;
  }
}

// The dump text of a flag: "true" or "false"; an unset flag gives "" and its caller
// leaves the key out.
inline char const* flag_text(boost::optional<bool> const& flag)
{
  return !flag ? "" : (*flag ? "true" : "false");
}

}  // namespace rhv_defs_detail

#endif
