#include "platform/json/yajl_handler.h"

#include <yajl/yajl_parse.h>

#include <exception>

YAJL_Handler::~YAJL_Handler() {}

int YAJL_Handler::handle_null_i() { return CONTINUE; }
int YAJL_Handler::handle_boolean_i(bool) { return CONTINUE; }
int YAJL_Handler::handle_integer_i(long long) { return CONTINUE; }
int YAJL_Handler::handle_double_i(double) { return CONTINUE; }
int YAJL_Handler::handle_number_i(const char*, std::size_t) { return CONTINUE; }
int YAJL_Handler::handle_string_i(const char*, std::size_t) { return CONTINUE; }
int YAJL_Handler::handle_start_map_i() { return CONTINUE; }
int YAJL_Handler::handle_map_key_i(const char*, std::size_t) { return CONTINUE; }
int YAJL_Handler::handle_end_map_i() { return CONTINUE; }
int YAJL_Handler::handle_start_array_i() { return CONTINUE; }
int YAJL_Handler::handle_end_array_i() { return CONTINUE; }

namespace {

// The reader's context. An exception of a handler must not unwind through the
// C parser: it is kept here, the parse is stopped and it is rethrown after.
struct Reader {
  YAJL_Handler* handler;
  std::exception_ptr failure;
};

template <typename F>
int deliver(void* ctx, F&& event)
{
  Reader* r = static_cast<Reader*>(ctx);
  try {
    return event(*r->handler) ? 1 : 0;
  } catch (...) {
    r->failure = std::current_exception();
    return 0;
  }
}

int on_null(void* ctx)
{
  return deliver(ctx, [](YAJL_Handler& h) { return h.handle_null_i(); });
}

int on_boolean(void* ctx, int value)
{
  return deliver(ctx, [value](YAJL_Handler& h) { return h.handle_boolean_i(value != 0); });
}

int on_number(void* ctx, const char* text, std::size_t length)
{
  return deliver(ctx, [=](YAJL_Handler& h) { return h.handle_number_i(text, length); });
}

int on_string(void* ctx, const unsigned char* text, std::size_t length)
{
  return deliver(ctx, [=](YAJL_Handler& h) {
    return h.handle_string_i(reinterpret_cast<const char*>(text), length);
  });
}

int on_start_map(void* ctx)
{
  return deliver(ctx, [](YAJL_Handler& h) { return h.handle_start_map_i(); });
}

int on_map_key(void* ctx, const unsigned char* key, std::size_t length)
{
  return deliver(ctx, [=](YAJL_Handler& h) {
    return h.handle_map_key_i(reinterpret_cast<const char*>(key), length);
  });
}

int on_end_map(void* ctx)
{
  return deliver(ctx, [](YAJL_Handler& h) { return h.handle_end_map_i(); });
}

int on_start_array(void* ctx)
{
  return deliver(ctx, [](YAJL_Handler& h) { return h.handle_start_array_i(); });
}

int on_end_array(void* ctx)
{
  return deliver(ctx, [](YAJL_Handler& h) { return h.handle_end_array_i(); });
}

yajl_callbacks make_callbacks()
{
  yajl_callbacks cb{};
  cb.yajl_null = &on_null;
  cb.yajl_boolean = &on_boolean;
  cb.yajl_number = &on_number;
  cb.yajl_string = &on_string;
  cb.yajl_start_map = &on_start_map;
  cb.yajl_map_key = &on_map_key;
  cb.yajl_end_map = &on_end_map;
  cb.yajl_start_array = &on_start_array;
  cb.yajl_end_array = &on_end_array;
  return cb;
}

const yajl_callbacks CALLBACKS = make_callbacks();

// YAJL's message for the last error, on one line.
std::string yajl_message(yajl_handle h, const unsigned char* text, std::size_t length)
{
  unsigned char* raw = yajl_get_error(h, 0, text, length);
  std::string msg = raw ? reinterpret_cast<const char*>(raw) : "parse error";
  if (raw) yajl_free_error(h, raw);
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
  return msg;
}

}  // namespace

bool parse_with_handler(const char* text, std::size_t length, YAJL_Handler& handler, std::string* error)
{
  Reader reader{&handler, nullptr};
  yajl_handle h = yajl_alloc(&CALLBACKS, nullptr, &reader);
  if (!h) throw std::bad_alloc();

  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text ? text : "");
  if (!text) length = 0;
  yajl_status st = yajl_parse(h, bytes, length);
  std::size_t offset = yajl_get_bytes_consumed(h);
  if (st == yajl_status_ok) {
    st = yajl_complete_parse(h);
    offset = length;
  }

  std::string why;
  if (st == yajl_status_client_canceled) {
    why = "parse aborted by handler at byte " + std::to_string(offset);
  } else if (st != yajl_status_ok) {
    why = yajl_message(h, bytes, length) + " at byte " + std::to_string(offset);
    if (length == 0) why = "empty JSON text";
  }
  yajl_free(h);

  if (reader.failure) std::rethrow_exception(reader.failure);
  if (st == yajl_status_ok) return true;
  if (error) *error = why;
  return false;
}

bool parse_with_handler(const std::string& text, YAJL_Handler& handler, std::string* error)
{
  return parse_with_handler(text.data(), text.size(), handler, error);
}
