#ifndef PLATFORM_JSON_JSON_DUMP_H
#define PLATFORM_JSON_JSON_DUMP_H

#include <cstddef>
#include <string>

#include <yajl/yajl_gen.h>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// The JSON text of a value, for messages and for the wire.
//
// Compact unless `pretty`; object keys in ascending byte order; "/" is not
// escaped, control characters are written as \u00XX; secure strings are
// written as plain strings; integers exactly (unsigned above INT64_MAX);
// reals with 17 significant digits and always with a "." or an exponent so
// that they read back as reals. A non-finite real, which JSON cannot express,
// and a container nested deeper than the generator allows (127 levels, the
// parser's limit too) are written as null.
class JSON_Dump {
 public:
  explicit JSON_Dump(const json_spirit::Value& v, bool pretty = false);
  explicit JSON_Dump(const json_spirit::Object& o, bool pretty = false);

  const char* c_str() const noexcept { return text_.c_str(); }
  std::size_t length() const noexcept { return text_.size(); }
  const std::string& str() const noexcept { return text_; }
  // Moves the text out; the dump is empty afterwards.
  std::string release() noexcept { return std::move(text_); }

 private:
  std::string text_;
};

// Writes `v` to the generator as one JSON value (keys in ascending byte order,
// secure strings as plain strings). Returns yajl_gen_status_ok, or the first
// failing status of the generator (yajl_gen_invalid_number for a non-finite
// real, yajl_gen_keys_must_be_strings when a map key is expected, ...).
int yajl_gen_value(yajl_gen_t* gen, const json_spirit::Value& v);

#pragma GCC visibility pop

#endif
