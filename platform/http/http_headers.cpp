#include "platform/http/http_headers.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

namespace {

const char* const kHeaderNames[HTTP_HEAD_MAX] = {
    "Accept",
    "Accept-Charset",
    "Accept-Encoding",
    "Accept-Language",
    "Accept-Ranges",
    "Age",
    "Authorization",
    "Cache-Control",
    "Connection",
    "Content-Disposition",
    "Content-Encoding",
    "Content-Language",
    "Content-Length",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Content-Type",
    "Cookie",
    "Date",
    "ETag",
    "Expect",
    "Expires",
    "From",
    "Host",
    "If-Match",
    "If-Modified-Since",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Last-Modified",
    "Location",
    "Max-Forwards",
    "Pragma",
    "Range",
    "Referer",
    "Retry-After",
    "Server",
    "Set-Cookie",
    "Strict-Transport-Security",
    "TE",
    "Trailer",
    "Transfer-Encoding",
    "Upgrade",
    "User-Agent",
    "Vary",
    "Via",
    "Warning",
    "WWW-Authenticate",
    "Keep-Alive",
    "X-Access-Key",
    "Allow",
    "Origin",
    "Proxy-Authenticate",
    "Proxy-Authorization",
    "X-Forwarded-For",
    "X-Request-Id",
};

bool is_blank(char c)
{
  return c == ' ' || c == '\t';
}

}  // namespace

const char* http_head_string(int id)
{
  return id >= 0 && id < HTTP_HEAD_MAX ? kHeaderNames[id] : nullptr;
}

int http_head_id(const char* name)
{
  if (name == nullptr)
    return -1;
  // The known names grouped by length: only the few of the same length are compared.
  constexpr size_t kLongest = 32;
  struct By_Length {
    std::array<unsigned char, HTTP_HEAD_MAX> ids{};
    std::array<unsigned char, kLongest + 2> start{};  // ids[start[n]..start[n+1]) have length n
  };
  static const By_Length table = [] {
    By_Length t;
    size_t k = 0;
    for (size_t n = 0; n <= kLongest; ++n) {
      t.start[n] = static_cast<unsigned char>(k);
      for (int i = 0; i < HTTP_HEAD_MAX; ++i)
        if (std::strlen(kHeaderNames[i]) == n)
          t.ids[k++] = static_cast<unsigned char>(i);
    }
    t.start[kLongest + 1] = static_cast<unsigned char>(k);
    assert(k == HTTP_HEAD_MAX);  // every known name is at most kLongest long
    return t;
  }();
  const size_t length = std::strlen(name);
  if (length > kLongest)
    return -1;
  for (size_t k = table.start[length]; k < table.start[length + 1]; ++k)
    if (strcasecmp(kHeaderNames[table.ids[k]], name) == 0)
      return table.ids[k];
  return -1;
}

bool http_header_value_match(const char* value, const char* token, char sep)
{
  if (value == nullptr || token == nullptr)
    return false;
  size_t token_len = std::strlen(token);
  const char* p = value;
  for (;;) {
    const char* end = std::strchr(p, sep);
    if (end == nullptr)
      end = p + std::strlen(p);
    const char* b = p;
    const char* e = end;
    while (b < e && is_blank(*b))
      ++b;
    while (e > b && is_blank(e[-1]))
      --e;
    if (static_cast<size_t>(e - b) == token_len && strncasecmp(b, token, token_len) == 0)
      return true;
    if (*end == '\0')
      return false;
    p = end + 1;
  }
}

bool HTTP_Headers::matches(const Field& f, int id, const char* name) const
{
  return id >= 0 ? f.id == id : (f.id < 0 && strcasecmp(f.name.c_str(), name) == 0);
}

bool HTTP_Headers::put_i(int id, const char* name, const char* value, bool replace)
{
  if (value == nullptr) {
    remove_i(id, name);
    return true;
  }
  if (replace) {
    // Replace in place, so the header keeps its position among the others.
    auto it = std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return matches(f, id, name); });
    if (it != fields_.end()) {
      it->value = value;
      fields_.erase(std::remove_if(it + 1, fields_.end(), [&](const Field& f) { return matches(f, id, name); }),
                    fields_.end());
      return true;
    }
  }
  fields_.push_back(Field{id, id >= 0 ? std::string() : std::string(name), value});
  return true;
}

const char* HTTP_Headers::get_i(int id, const char* name, bool first) const
{
  const Field* found = nullptr;
  for (const Field& f : fields_)
    if (matches(f, id, name)) {
      found = &f;
      if (first)
        break;
    }
  return found != nullptr ? found->value.c_str() : nullptr;
}

bool HTTP_Headers::remove_i(int id, const char* name)
{
  size_t before = fields_.size();
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(), [&](const Field& f) { return matches(f, id, name); }),
                fields_.end());
  return fields_.size() != before;
}

bool HTTP_Headers::put(int id, const char* value, bool replace)
{
  if (id < 0 || id >= HTTP_HEAD_MAX)
    return false;
  return put_i(id, nullptr, value, replace);
}

bool HTTP_Headers::put(const char* name, const char* value, bool replace)
{
  if (name == nullptr || *name == '\0')
    return false;
  return put_i(http_head_id(name), name, value, replace);
}

const char* HTTP_Headers::get(int id, bool first) const
{
  if (id < 0 || id >= HTTP_HEAD_MAX)
    return nullptr;
  return get_i(id, nullptr, first);
}

const char* HTTP_Headers::get(const char* name, bool first) const
{
  if (name == nullptr || *name == '\0')
    return nullptr;
  return get_i(http_head_id(name), name, first);
}

bool HTTP_Headers::remove(int id)
{
  if (id < 0 || id >= HTTP_HEAD_MAX)
    return false;
  return remove_i(id, nullptr);
}

bool HTTP_Headers::remove(const char* name)
{
  if (name == nullptr || *name == '\0')
    return false;
  return remove_i(http_head_id(name), name);
}

void HTTP_Headers::visit(const std::function<void(const char* name, const char* value)>& fn) const
{
  for (const Field& f : fields_)
    fn(f.id >= 0 ? kHeaderNames[f.id] : f.name.c_str(), f.value.c_str());
}
