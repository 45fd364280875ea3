#ifndef PLATFORM_JSON_JSON_POINTER_H
#define PLATFORM_JSON_JSON_POINTER_H

#include <cstddef>
#include <memory>
#include <string>

#include <boost/optional.hpp>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// A JSON Pointer (RFC 6901): "" is the whole document, "/a/b" the member "b"
// of the member "a", "/list/0" the first element of "list"; "~1" stands for
// "/" and "~0" for "~" inside a reference token. Array indexes are decimal
// without leading zeros; "-" (past the end) never resolves.
//
// A pointer is set once with path() and can then be resolved against any
// number of documents. Not safe for concurrent use while path() runs.
class JSON_Pointer {
 public:
  // No path: every get() fails.
  JSON_Pointer();
  explicit JSON_Pointer(const std::string& text, bool log = false);
  JSON_Pointer(const JSON_Pointer& other);
  JSON_Pointer& operator=(const JSON_Pointer& other);
  JSON_Pointer(JSON_Pointer&&) noexcept;
  JSON_Pointer& operator=(JSON_Pointer&&) noexcept;
  ~JSON_Pointer();

  // Sets the path. False when `text` is not a valid pointer (neither empty nor
  // starting with "/", or a "~" not followed by "0" or "1"); every get() then
  // fails. With `log`, failed resolutions are logged at debug level.
  bool path(const std::string& text, bool log);
  const std::string& path() const { return path_; }

  // True when the path resolves to a value of out's type, which is then
  // written. On failure a pointer output is set to null and any other output
  // is left unchanged. A string output reads both string kinds; `unsigned
  // long` reads a non-negative integer.
  bool get(const json_spirit::Value& doc, const json_spirit::Value*& out) const;
  bool get(const json_spirit::Value& doc, const json_spirit::Object*& out) const;
  bool get(const json_spirit::Value& doc, const json_spirit::Array*& out) const;
  bool get(const json_spirit::Value& doc, const std::string*& out) const;
  bool get(const json_spirit::Value& doc, std::string& out) const;
  bool get(const json_spirit::Value& doc, unsigned long& out) const;
  bool get(const json_spirit::Object& doc, const json_spirit::Value*& out) const;
  bool get(const json_spirit::Object& doc, const json_spirit::Object*& out) const;
  bool get(const json_spirit::Object& doc, const json_spirit::Array*& out) const;
  bool get(const json_spirit::Object& doc, const std::string*& out) const;
  bool get(const json_spirit::Object& doc, std::string& out) const;
  bool get(const json_spirit::Object& doc, unsigned long& out) const;

  // The value at the path, or empty: get<std::string>(doc), get<unsigned long>(doc).
  template <typename T, typename Doc>
  boost::optional<T> get(const Doc& doc) const
  {
    T out{};
    if (get(doc, out)) return boost::optional<T>(std::move(out));
    // An empty optional of a scalar copies its unset storage; GCC may warn
    // about that once it is inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
    return boost::none;
#pragma GCC diagnostic pop
  }

 private:
  // The value the path names when `doc` is a Value; `root_obj` is set instead
  // when the path is empty and the document is an Object.
  const json_spirit::Value* resolve(const json_spirit::Value* doc_value,
                                    const json_spirit::Object* doc_obj,
                                    const json_spirit::Object** root_obj) const;
  void log_miss() const;

  std::string path_;                    // the path as given
  bool log_;                            // log failed resolutions
  std::string path_buf_;                // the decoded reference tokens, concatenated
  std::unique_ptr<std::size_t[]> buf_;  // [0] token count, [1..n] token end offsets in path_buf_; null: no valid path
};

#pragma GCC visibility pop

#endif
