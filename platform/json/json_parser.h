#ifndef PLATFORM_JSON_JSON_PARSER_H
#define PLATFORM_JSON_JSON_PARSER_H

#include <cstddef>
#include <string>
#include <vector>

#include "platform/json/value.h"
#include "platform/json/yajl_handler.h"

#pragma GCC visibility push(default)

// Builds a document from reader events into a target Value, or into nothing
// (then it only follows the nesting). Numbers are taken from the raw-text
// event: an integer that fits a signed 64-bit number is stored as one, a
// larger one that fits an unsigned 64-bit number as unsigned, anything else
// as a real. A key given twice in one object keeps the later value.
//
// Nesting deeper than max_depth() aborts the reading, as does a number that
// does not fit a real; error() then says why. The target is written as the
// events arrive, so after a failure it holds a partial document.
//
// One parser reads one document. Not safe for concurrent use.
class JSON_Parser : public YAJL_Handler {
 public:
  // The deepest nesting a generator can write back.
  static constexpr std::size_t MAX_DEPTH = 127;

  explicit JSON_Parser(json_spirit::Value* target = nullptr);
  ~JSON_Parser() override;

  // Where the next document goes; null builds nothing. Resets the state.
  void target(json_spirit::Value* target);

  // Number of containers open: 1 while the members of the top-level object
  // (or the elements of a top-level array) are delivered, 0 outside.
  std::size_t levels() const noexcept { return frames_.size(); }
  // The key of the member whose value is being delivered; empty inside an
  // array and at the top level.
  const std::string& key() const noexcept { return key_; }
  std::size_t max_depth() const noexcept { return MAX_DEPTH; }
  // Why the parser aborted; empty when it did not.
  const std::string& error() const noexcept { return error_; }

  int handle_null_i() override;
  int handle_boolean_i(bool value) override;
  int handle_integer_i(long long value) override;
  int handle_double_i(double value) override;
  int handle_number_i(const char* text, std::size_t length) override;
  int handle_string_i(const char* text, std::size_t length) override;
  int handle_start_map_i() override;
  int handle_map_key_i(const char* key, std::size_t length) override;
  int handle_end_map_i() override;
  int handle_start_array_i() override;
  int handle_end_array_i() override;

 private:
  // An open container; both pointers are null when building nothing.
  struct Frame {
    json_spirit::Object* obj;
    json_spirit::Array* arr;
    bool is_map;
  };

  bool building() const noexcept;
  int add(json_spirit::Value&& v);
  int open(bool is_map);
  int close();

  json_spirit::Value* target_;
  std::vector<Frame> frames_;
  std::string key_;
  std::string error_;
};

namespace json_spirit {

// Parses one JSON document into `out`. On failure returns false, leaves `out`
// unchanged and, when `error` is given, puts a one-line reason there (for
// example an empty or truncated text, invalid UTF-8, nesting deeper than
// JSON_Parser::MAX_DEPTH). Never throws except std::bad_alloc.
bool parse(const char* text, std::size_t length, Value& out, std::string* error = nullptr);
bool parse(const std::string& text, Value& out, std::string* error = nullptr);

}  // namespace json_spirit

#pragma GCC visibility pop

#endif
