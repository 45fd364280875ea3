#ifndef PLATFORM_STORAGE_JSON_FIELDS_H
#define PLATFORM_STORAGE_JSON_FIELDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// Strict readers of the optional members of a stored record (options, catalog sets).
// Each get() is true when the member is absent (out unchanged) or present with the
// expected type and range (out written); false otherwise, naming the member in *why.
// Unlike the tolerant object_get family, a number never narrows silently.
class Json_Fields {
public:
  Json_Fields(const json_spirit::Object& obj, std::string* why, std::string prefix = "")
    : obj_(obj), why_(why), prefix_(std::move(prefix))
  {
  }

  bool get(const char* key, int& out);
  bool get(const char* key, std::int64_t& out);
  bool get(const char* key, std::uint64_t& out);
  bool get(const char* key, bool& out);
  bool get(const char* key, std::string& out);
  bool get(const char* key, json_spirit::Object& out);
  bool get(const char* key, json_spirit::Array& out);
  bool get(const char* key, std::vector<std::string>& out);

  // The member, or null when absent.
  const json_spirit::Value* find(const char* key) const;

  // Records that `key` is not `what` and returns false.
  bool bad(const std::string& key, const char* what);

private:
  const json_spirit::Object& obj_;
  std::string* why_;
  std::string prefix_;
};

#pragma GCC visibility pop

#endif
