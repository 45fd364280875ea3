#include "platform/json/json_parser.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

// Reals are read in the "C" locale whatever the process's locale is.
locale_t c_locale()
{
  static const locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

// The value of a JSON number text: a signed 64-bit integer when it is an
// integer that fits, an unsigned one when it only fits that, a real
// otherwise. False when it does not fit a real either.
bool number_value(const char* text, std::size_t length, Value& out)
{
  const char* end = text + length;
  bool integral = true;
  for (const char* p = text; p != end; ++p) {
    if (*p == '.' || *p == 'e' || *p == 'E') {
      integral = false;
      break;
    }
  }
  if (integral) {
    std::int64_t i;
    auto r = std::from_chars(text, end, i);
    if (r.ec == std::errc() && r.ptr == end) {
      out = Value(static_cast<long long>(i));
      return true;
    }
    if (length != 0 && text[0] != '-') {
      std::uint64_t u;
      r = std::from_chars(text, end, u);
      if (r.ec == std::errc() && r.ptr == end) {
        out = Value(static_cast<unsigned long long>(u));
        return true;
      }
    }
  }

  // strtod needs a terminated copy; the reader's text is not terminated.
  char small[64];
  std::string large;
  const char* copy;
  if (length < sizeof(small)) {
    std::copy(text, end, small);
    small[length] = '\0';
    copy = small;
  } else {
    large.assign(text, length);
    copy = large.c_str();
  }
  char* stop = nullptr;
  errno = 0;
  const double d = strtod_l(copy, &stop, c_locale());
  if (stop != copy + length) return false;
  if (errno == ERANGE && std::isinf(d)) return false;  // overflow; an underflow reads as ~0
  out = Value(d);
  return true;
}

}  // namespace

JSON_Parser::JSON_Parser(Value* target) : target_(target)
{
  frames_.reserve(8);  // documents seldom nest deeper
}

JSON_Parser::~JSON_Parser() {}

void JSON_Parser::target(Value* target)
{
  target_ = target;
  frames_.clear();
  key_.clear();
  error_.clear();
}

bool JSON_Parser::building() const noexcept
{
  return frames_.empty() ? target_ != nullptr : (frames_.back().obj || frames_.back().arr);
}

int JSON_Parser::add(Value&& v)
{
  if (frames_.empty()) {
    if (target_) *target_ = std::move(v);
    return CONTINUE;
  }
  const Frame& f = frames_.back();
  if (f.obj)
    f.obj->insert_or_assign(key_, std::move(v));
  else if (f.arr)
    f.arr->push_back(std::move(v));
  return CONTINUE;
}

int JSON_Parser::open(bool is_map)
{
  if (frames_.size() >= MAX_DEPTH) {
    error_ = "JSON nesting deeper than " + std::to_string(MAX_DEPTH) + " levels";
    return ABORT;
  }
  Value* slot = nullptr;
  if (building()) {
    Value fresh = is_map ? Value(Object()) : Value(Array());
    if (frames_.empty()) {
      *target_ = std::move(fresh);
      slot = target_;
    } else if (frames_.back().obj) {
      slot = &frames_.back().obj->insert_or_assign(key_, std::move(fresh)).first->second;
    } else {
      frames_.back().arr->push_back(std::move(fresh));
      slot = &frames_.back().arr->back();
    }
  }
  Frame f{nullptr, nullptr, is_map};
  if (slot) {
    if (is_map)
      f.obj = &slot->get_obj();
    else
      f.arr = &slot->get_array();
  }
  frames_.push_back(f);
  key_.clear();
  return CONTINUE;
}

int JSON_Parser::close()
{
  if (!frames_.empty()) frames_.pop_back();
  // Inside an array no member key applies; inside a map the next event is a key.
  if (!frames_.empty() && !frames_.back().is_map) key_.clear();
  return CONTINUE;
}

int JSON_Parser::handle_null_i()
{
  return add(Value());
}

int JSON_Parser::handle_boolean_i(bool value)
{
  return add(Value(value));
}

int JSON_Parser::handle_integer_i(long long value)
{
  return add(Value(value));
}

int JSON_Parser::handle_double_i(double value)
{
  return add(Value(value));
}

int JSON_Parser::handle_number_i(const char* text, std::size_t length)
{
  Value v;
  if (!number_value(text, length, v)) {
    error_ = "JSON number '" + std::string(text, length) + "' is out of range";
    return ABORT;
  }
  return add(std::move(v));
}

int JSON_Parser::handle_string_i(const char* text, std::size_t length)
{
  if (!building()) return CONTINUE;
  return add(Value(std::string(text, length)));
}

int JSON_Parser::handle_start_map_i()
{
  return open(true);
}

int JSON_Parser::handle_map_key_i(const char* key, std::size_t length)
{
  key_.assign(key, length);
  return CONTINUE;
}

int JSON_Parser::handle_end_map_i()
{
  return close();
}

int JSON_Parser::handle_start_array_i()
{
  return open(false);
}

int JSON_Parser::handle_end_array_i()
{
  return close();
}

namespace json_spirit {

bool parse(const char* text, std::size_t length, Value& out, std::string* error)
{
  Value doc;
  JSON_Parser builder(&doc);
  std::string why;
  if (!parse_with_handler(text, length, builder, &why)) {
    if (error) *error = builder.error().empty() ? why : builder.error();
    return false;
  }
  out = std::move(doc);
  return true;
}

bool parse(const std::string& text, Value& out, std::string* error)
{
  return parse(text.data(), text.size(), out, error);
}

}  // namespace json_spirit
