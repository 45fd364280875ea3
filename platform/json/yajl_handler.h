#ifndef PLATFORM_JSON_YAJL_HANDLER_H
#define PLATFORM_JSON_YAJL_HANDLER_H

#include <cstddef>
#include <string>

#pragma GCC visibility push(default)

// Receiver of the events of a streaming JSON reader. Every handler returns
// CONTINUE to go on or ABORT to stop the reading. The default handlers ignore
// their event and return CONTINUE.
//
// The host's reader delivers every number as its raw text through
// handle_number_i; handle_integer_i and handle_double_i are never called by it.
// Strings and keys are given by pointer and length (not NUL-terminated, valid
// only during the call).
class YAJL_Handler {
 public:
  static constexpr int ABORT = 0;
  static constexpr int CONTINUE = 1;

  virtual ~YAJL_Handler();

  virtual int handle_null_i();
  virtual int handle_boolean_i(bool value);
  virtual int handle_integer_i(long long value);
  virtual int handle_double_i(double value);
  virtual int handle_number_i(const char* text, std::size_t length);
  virtual int handle_string_i(const char* text, std::size_t length);
  virtual int handle_start_map_i();
  virtual int handle_map_key_i(const char* key, std::size_t length);
  virtual int handle_end_map_i();
  virtual int handle_start_array_i();
  virtual int handle_end_array_i();
};

// The host's reader: parses one JSON document (YAJL: strict JSON, strings
// checked for valid UTF-8, no comments, no trailing data) and feeds its events
// to `handler`, numbers as raw text. Returns true when the document was
// complete and valid and no handler aborted. Otherwise returns false and, when
// `error` is given, puts a one-line reason there ("parse aborted by handler"
// when a handler returned ABORT). An exception thrown by a handler stops the
// reading and is rethrown once the reader is released.
bool parse_with_handler(const char* text, std::size_t length, YAJL_Handler& handler,
                        std::string* error = nullptr);
bool parse_with_handler(const std::string& text, YAJL_Handler& handler,
                        std::string* error = nullptr);

#pragma GCC visibility pop

#endif
