#include "platform/json/json_pointer.h"

#include <ace/Log_Msg.h>

#include <limits>
#include <vector>

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

// An array index token: "0" or digits without a leading zero, within range.
bool array_index(const char* p, std::size_t n, std::size_t& index)
{
  if (n == 0 || (n > 1 && p[0] == '0')) return false;
  std::size_t v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    const std::size_t d = static_cast<std::size_t>(p[i] - '0');
    if (v > (std::numeric_limits<std::size_t>::max() - d) / 10) return false;
    v = v * 10 + d;
  }
  index = v;
  return true;
}

// One step down from `v` by the token [p, p + n).
const Value* step(const Value& v, const char* p, std::size_t n, std::string& key)
{
  if (v.type() == json_spirit::obj_type) {
    key.assign(p, n);
    const Object& o = v.get_obj();
    const auto it = o.find(key);
    return it == o.end() ? nullptr : &it->second;
  }
  if (v.type() == json_spirit::array_type) {
    const Array& a = v.get_array();
    std::size_t i;
    if (!array_index(p, n, i) || i >= a.size()) return nullptr;
    return &a[i];
  }
  return nullptr;
}

}  // namespace

JSON_Pointer::JSON_Pointer() : log_(false) {}

JSON_Pointer::JSON_Pointer(const std::string& text, bool log) : log_(false)
{
  path(text, log);
}

JSON_Pointer::JSON_Pointer(const JSON_Pointer& other)
  : path_(other.path_), log_(other.log_), path_buf_(other.path_buf_)
{
  if (other.buf_) {
    const std::size_t n = other.buf_[0] + 1;
    buf_.reset(new std::size_t[n]);
    for (std::size_t i = 0; i < n; ++i) buf_[i] = other.buf_[i];
  }
}

JSON_Pointer& JSON_Pointer::operator=(const JSON_Pointer& other)
{
  if (this != &other) {
    JSON_Pointer tmp(other);
    *this = std::move(tmp);
  }
  return *this;
}

JSON_Pointer::JSON_Pointer(JSON_Pointer&&) noexcept = default;
JSON_Pointer& JSON_Pointer::operator=(JSON_Pointer&&) noexcept = default;
JSON_Pointer::~JSON_Pointer() = default;

bool JSON_Pointer::path(const std::string& text, bool log)
{
  path_ = text;
  log_ = log;
  path_buf_.clear();
  buf_.reset();

  if (!text.empty() && text[0] != '/') {
    if (log_) ACE_DEBUG((LM_DEBUG, ACE_TEXT("Invalid JSON Pointer path '%C'.\n"), text.c_str()));
    return false;
  }
  std::vector<std::size_t> ends;
  path_buf_.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '/') {
      if (i != 0) ends.push_back(path_buf_.size());
      continue;
    }
    if (c == '~') {
      const char e = i + 1 < text.size() ? text[i + 1] : '\0';
      if (e != '0' && e != '1') {
        path_buf_.clear();
        if (log_) ACE_DEBUG((LM_DEBUG, ACE_TEXT("Invalid JSON Pointer path '%C'.\n"), text.c_str()));
        return false;
      }
      path_buf_.push_back(e == '0' ? '~' : '/');
      ++i;
      continue;
    }
    path_buf_.push_back(c);
  }
  if (!text.empty()) ends.push_back(path_buf_.size());

  buf_.reset(new std::size_t[ends.size() + 1]);
  buf_[0] = ends.size();
  for (std::size_t i = 0; i < ends.size(); ++i) buf_[i + 1] = ends[i];
  return true;
}

const Value* JSON_Pointer::resolve(const Value* doc_value, const Object* doc_obj,
                                   const Object** root_obj) const
{
  *root_obj = nullptr;
  if (!buf_) return nullptr;
  const std::size_t count = buf_[0];
  if (count == 0) {
    if (doc_obj) *root_obj = doc_obj;
    return doc_value;
  }

  std::string key;
  const char* base = path_buf_.data();
  const Value* cur = nullptr;
  std::size_t begin = 0;
  for (std::size_t t = 0; t < count; ++t) {
    const std::size_t end = buf_[t + 1];
    const char* p = base + begin;
    const std::size_t n = end - begin;
    if (t == 0 && doc_obj) {
      key.assign(p, n);
      const auto it = doc_obj->find(key);
      cur = it == doc_obj->end() ? nullptr : &it->second;
    } else {
      cur = step(t == 0 ? *doc_value : *cur, p, n, key);
    }
    if (!cur) return nullptr;
    begin = end;
  }
  return cur;
}

void JSON_Pointer::log_miss() const
{
  if (log_)
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("JSON Pointer path '%C' not found in JSON.\n"), path_.c_str()));
}

namespace {

// The typed reads shared by both kinds of document. `root_obj` is the
// document itself when it is an Object and the path is empty.
bool read(const Value* v, const Object* root_obj, const Value*& out)
{
  out = root_obj ? nullptr : v;
  return out != nullptr;
}

bool read(const Value* v, const Object* root_obj, const Object*& out)
{
  out = root_obj ? root_obj : (v && v->type() == json_spirit::obj_type ? &v->get_obj() : nullptr);
  return out != nullptr;
}

bool read(const Value* v, const Object*, const Array*& out)
{
  out = v && v->type() == json_spirit::array_type ? &v->get_array() : nullptr;
  return out != nullptr;
}

bool is_string(const Value* v)
{
  return v && (v->type() == json_spirit::str_type || v->type() == json_spirit::secure_str_type);
}

bool read(const Value* v, const Object*, const std::string*& out)
{
  out = is_string(v) ? &v->get_str() : nullptr;
  return out != nullptr;
}

bool read(const Value* v, const Object*, std::string& out)
{
  if (!is_string(v)) return false;
  out = v->get_str();
  return true;
}

bool read(const Value* v, const Object*, unsigned long& out)
{
  if (!v || v->type() != json_spirit::int_type) return false;
  if (!v->is_uint64() && v->get_int64() < 0) return false;
  out = v->get_uint64();
  return true;
}

}  // namespace

#define JSON_POINTER_GET(OUT_TYPE)                                                  \
  bool JSON_Pointer::get(const Value& doc, OUT_TYPE out) const                      \
  {                                                                                 \
    const Object* root_obj = nullptr;                                               \
    const Value* v = resolve(&doc, nullptr, &root_obj);                             \
    const bool ok = read(v, root_obj, out);                                         \
    if (!ok) log_miss();                                                            \
    return ok;                                                                      \
  }                                                                                 \
  bool JSON_Pointer::get(const Object& doc, OUT_TYPE out) const                     \
  {                                                                                 \
    const Object* root_obj = nullptr;                                               \
    const Value* v = resolve(nullptr, &doc, &root_obj);                             \
    const bool ok = read(v, root_obj, out);                                         \
    if (!ok) log_miss();                                                            \
    return ok;                                                                      \
  }

JSON_POINTER_GET(const Value*&)
JSON_POINTER_GET(const Object*&)
JSON_POINTER_GET(const Array*&)
JSON_POINTER_GET(const std::string*&)
JSON_POINTER_GET(std::string&)
JSON_POINTER_GET(unsigned long&)

#undef JSON_POINTER_GET
