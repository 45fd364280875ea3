#ifndef PLATFORM_HTTP_HTTP_HEADERS_H
#define PLATFORM_HTTP_HTTP_HEADERS_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

// Indexes of the library's header table. The numbers are part of the library's
// interface: callers store them (client-I/O options keep header ids) and must not
// depend on anything but the values listed here.
enum HTTP_Header_Id {
  HTTP_HEAD_ACCEPT = 0,
  HTTP_HEAD_ACCEPT_CHARSET = 1,
  HTTP_HEAD_ACCEPT_ENCODING = 2,
  HTTP_HEAD_ACCEPT_LANGUAGE = 3,
  HTTP_HEAD_ACCEPT_RANGES = 4,
  HTTP_HEAD_AGE = 5,
  HTTP_HEAD_AUTHORIZATION = 6,
  HTTP_HEAD_CACHE_CONTROL = 7,
  HTTP_HEAD_CONNECTION = 8,
  HTTP_HEAD_CONTENT_DISPOSITION = 9,
  HTTP_HEAD_CONTENT_ENCODING = 10,
  HTTP_HEAD_CONTENT_LANGUAGE = 11,
  HTTP_HEAD_CONTENT_LENGTH = 12,
  HTTP_HEAD_CONTENT_LOCATION = 13,
  HTTP_HEAD_CONTENT_MD5 = 14,
  HTTP_HEAD_CONTENT_RANGE = 15,
  HTTP_HEAD_CONTENT_TYPE = 16,
  HTTP_HEAD_COOKIE = 17,
  HTTP_HEAD_DATE = 18,
  HTTP_HEAD_ETAG = 19,
  HTTP_HEAD_EXPECT = 20,
  HTTP_HEAD_EXPIRES = 21,
  HTTP_HEAD_FROM = 22,
  HTTP_HEAD_HOST = 23,
  HTTP_HEAD_IF_MATCH = 24,
  HTTP_HEAD_IF_MODIFIED_SINCE = 25,
  HTTP_HEAD_IF_NONE_MATCH = 26,
  HTTP_HEAD_IF_RANGE = 27,
  HTTP_HEAD_IF_UNMODIFIED_SINCE = 28,
  HTTP_HEAD_LAST_MODIFIED = 29,
  HTTP_HEAD_LOCATION = 30,
  HTTP_HEAD_MAX_FORWARDS = 31,
  HTTP_HEAD_PRAGMA = 32,
  HTTP_HEAD_RANGE = 33,
  HTTP_HEAD_REFERER = 34,
  HTTP_HEAD_RETRY_AFTER = 35,
  HTTP_HEAD_SERVER = 36,
  HTTP_HEAD_SET_COOKIE = 37,
  HTTP_HEAD_STRICT_TRANSPORT_SECURITY = 38,
  HTTP_HEAD_TE = 39,
  HTTP_HEAD_TRAILER = 40,
  HTTP_HEAD_TRANSFER_ENCODING = 41,
  HTTP_HEAD_UPGRADE = 42,
  HTTP_HEAD_USER_AGENT = 43,
  HTTP_HEAD_VARY = 44,
  HTTP_HEAD_VIA = 45,
  HTTP_HEAD_WARNING = 46,
  HTTP_HEAD_WWW_AUTHENTICATE = 47,
  HTTP_HEAD_KEEP_ALIVE = 48,
  HTTP_HEAD_X_ACCESS_KEY = 49,  // the backup server's access key
  HTTP_HEAD_ALLOW = 50,
  HTTP_HEAD_ORIGIN = 51,
  HTTP_HEAD_PROXY_AUTHENTICATE = 52,
  HTTP_HEAD_PROXY_AUTHORIZATION = 53,
  HTTP_HEAD_X_FORWARDED_FOR = 54,
  HTTP_HEAD_X_REQUEST_ID = 55,
  HTTP_HEAD_MAX = 56
};

// The canonical name of a header id ("Content-Type"), or null for an id outside the table.
const char* http_head_string(int id);

// The id of a header name (compared case-insensitively), or -1 when the table has no
// such name.
int http_head_id(const char* name);

// True when `value`, a list of tokens separated by `sep` (blanks around each token
// ignored), holds `token`; tokens compare case-insensitively, as HTTP tokens do.
// False when either text is null.
bool http_header_value_match(const char* value, const char* token, char sep);

// The header fields of one request or response, in the order they were put.
// A header of the table is addressed by its id or its name; any other name is kept by
// name. Names compare case-insensitively. A header may hold several values (a response
// that repeats a field); `put` with `replace` true first drops every earlier value.
// Not safe for concurrent use.
class HTTP_Headers {
public:
  // Stores `value` for header `id`. A null value removes the header. False when `id` is
  // not in the table.
  bool put(int id, const char* value, bool replace = true);
  bool put(int id, const std::string& value, bool replace = true) { return put(id, value.c_str(), replace); }
  // The same by name; a name of the table is stored under its id. False for a null or
  // empty name.
  bool put(const char* name, const char* value, bool replace = true);
  bool put(const char* name, const std::string& value, bool replace = true)
  {
    return put(name, value.c_str(), replace);
  }

  // The first (`first` true) or last value of a header, or null when it is absent.
  // The pointer stays valid until the header is changed.
  const char* get(int id, bool first = true) const;
  const char* get(const char* name, bool first = true) const;

  // Removes every value of a header; false when there was none.
  bool remove(int id);
  bool remove(const char* name);

  void clear() { fields_.clear(); }
  bool empty() const { return fields_.empty(); }
  // The number of stored values.
  size_t size() const { return fields_.size(); }

  // Calls fn(name, value) for every stored value, in the order they were put. Header
  // ids are given their canonical names; other names are given as they were put.
  void visit(const std::function<void(const char* name, const char* value)>& fn) const;

private:
  struct Field {
    int id;            // -1 when the name is not in the table
    std::string name;  // set when id is -1
    std::string value;
  };
  bool matches(const Field& f, int id, const char* name) const;
  bool put_i(int id, const char* name, const char* value, bool replace);
  const char* get_i(int id, const char* name, bool first) const;
  bool remove_i(int id, const char* name);

  std::vector<Field> fields_;
};

#pragma GCC visibility pop

#endif
