#include "platform/json/json_dump.h"

#include <algorithm>
#include <cmath>
#include <charconv>
#include <new>
#include <vector>

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

// A finite real as "%.17g" writes it in the "C" locale, with ".0" added when
// that looks like an integer.
std::size_t format_real(double d, char (&buf)[40])
{
  char* end = std::to_chars(buf, buf + sizeof(buf) - 2, d, std::chars_format::general, 17).ptr;
  if (std::find_if(buf, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    *end++ = '.';
    *end++ = '0';
  }
  return static_cast<std::size_t>(end - buf);
}

yajl_gen_status gen_string(yajl_gen g, const std::string& s)
{
  return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// The generator holds at most this many open containers.
constexpr unsigned MAX_GEN_DEPTH = YAJL_MAX_DEPTH - 1;

// `lenient` (JSON_Dump): a real JSON cannot express and a container nested
// beyond the generator's depth are written as null. Otherwise (yajl_gen_value)
// they fail with the generator's status.
yajl_gen_status gen(yajl_gen g, const Value& v, bool lenient, unsigned depth = 0)
{
  switch (v.type()) {
  case json_spirit::obj_type: {
    if (lenient && depth >= MAX_GEN_DEPTH) return yajl_gen_null(g);
    yajl_gen_status st = yajl_gen_map_open(g);
    for (const auto& member : v.get_obj()) {
      if (st != yajl_gen_status_ok) return st;
      st = gen_string(g, member.first);
      if (st == yajl_gen_status_ok) st = gen(g, member.second, lenient, depth + 1);
    }
    return st == yajl_gen_status_ok ? yajl_gen_map_close(g) : st;
  }
  case json_spirit::array_type: {
    if (lenient && depth >= MAX_GEN_DEPTH) return yajl_gen_null(g);
    yajl_gen_status st = yajl_gen_array_open(g);
    for (const Value& e : v.get_array()) {
      if (st != yajl_gen_status_ok) return st;
      st = gen(g, e, lenient, depth + 1);
    }
    return st == yajl_gen_status_ok ? yajl_gen_array_close(g) : st;
  }
  case json_spirit::str_type:
  case json_spirit::secure_str_type:
    return gen_string(g, v.get_str());
  case json_spirit::bool_type:
    return yajl_gen_bool(g, v.get_bool() ? 1 : 0);
  case json_spirit::int_type: {
    char buf[24];
    const char* end = v.is_uint64() ? std::to_chars(buf, buf + sizeof(buf), v.get_uint64()).ptr
                                    : std::to_chars(buf, buf + sizeof(buf), v.get_int64()).ptr;
    return yajl_gen_number(g, buf, static_cast<std::size_t>(end - buf));
  }
  case json_spirit::real_type: {
    const double d = v.get_real();
    if (!std::isfinite(d)) return lenient ? yajl_gen_null(g) : yajl_gen_invalid_number;
    char buf[40];
    return yajl_gen_number(g, buf, format_real(d, buf));
  }
  case json_spirit::null_type:
    return yajl_gen_null(g);
  }
  return yajl_gen_invalid_number;
}

// The print callback of a dump collects the text in blocks, so that a large
// text is never copied while it grows; the blocks are joined once at the end.
// It runs inside the C generator, so a failed allocation is recorded rather
// than thrown through it.
struct Sink {
  static constexpr std::size_t BLOCK = 16 * 1024;
  std::vector<std::string> blocks;
  bool failed = false;

  void append(const char* text, std::size_t length)
  {
    if (blocks.empty() || blocks.back().size() + length > blocks.back().capacity()) {
      blocks.emplace_back();
      blocks.back().reserve(std::max(BLOCK, length));
    }
    blocks.back().append(text, length);
  }

  void join(std::string& out)
  {
    if (blocks.size() == 1) {
      out = std::move(blocks.front());
      return;
    }
    std::size_t total = 0;
    for (const std::string& b : blocks) total += b.size();
    out.reserve(total);
    for (const std::string& b : blocks) out.append(b);
  }
};

void append_text(void* ctx, const char* text, std::size_t length)
{
  Sink* sink = static_cast<Sink*>(ctx);
  if (sink->failed) return;
  try {
    sink->append(text, length);
  } catch (...) {
    sink->failed = true;
  }
}

// Writes `v` (or the members of `o` when it is given) into `text`.
void dump(const Value* v, const Object* o, bool pretty, std::string& text)
{
  yajl_gen g = yajl_gen_alloc(nullptr);
  if (!g) throw std::bad_alloc();
  Sink sink;
  yajl_gen_config(g, yajl_gen_print_callback, &append_text, &sink);
  if (pretty) yajl_gen_config(g, yajl_gen_beautify, 1);
  if (v) {
    gen(g, *v, true);
  } else {
    // An object is written member by member rather than copied into a Value.
    yajl_gen_map_open(g);
    for (const auto& member : *o) {
      gen_string(g, member.first);
      gen(g, member.second, true, 1);
    }
    yajl_gen_map_close(g);
  }
  yajl_gen_free(g);
  if (sink.failed) throw std::bad_alloc();
  sink.join(text);
}

}  // namespace

JSON_Dump::JSON_Dump(const Value& v, bool pretty)
{
  dump(&v, nullptr, pretty, text_);
}

JSON_Dump::JSON_Dump(const Object& o, bool pretty)
{
  dump(nullptr, &o, pretty, text_);
}

int yajl_gen_value(yajl_gen_t* gen_handle, const Value& v)
{
  return gen(gen_handle, v, false);
}
