#ifndef BACKUP_HTTP_HTTP_QUERY_STRING_BUILDER_H
#define BACKUP_HTTP_HTTP_QUERY_STRING_BUILDER_H

#include <cstdio>
#include <type_traits>

#include "backup/http/http_encode.h"

// Appends name=value pairs to a query string or a form body through an output
// iterator (a back-insert iterator on a std::string):
//
//   std::string q;
//   HTTP_Query_String_Builder_T<std::back_insert_iterator<std::string>> b(std::back_inserter(q), false);
//   b("follow", "disk", true, true, nullptr)("case_sensitive", false, true, nullptr);
//   // q == "follow=disk&case_sensitive=0"
//
// Pairs after the first are preceded by "&". Names, prefixes and values are encoded
// with ENCODE_FLAGS: "/" encoded, space as "+", lower-case hexadecimal digits, and of the
// punctuation only "-", "_", "." and "~" kept.
template <typename OutputIterator>
class HTTP_Query_String_Builder_T {
public:
  enum { ENCODE_FLAGS = HUT_FLAG_SLASH | HUT_FLAG_SPACE };

  // `sep` true: the target already holds pairs, so the first pair is preceded by "&".
  explicit HTTP_Query_String_Builder_T(OutputIterator it, bool sep = false) : iter_(it), sep_(sep) {}

  // Appends one pair. Nothing at all for a null or empty name. A null value gives the
  // name alone, an empty value "name=".
  HTTP_Query_String_Builder_T& operator()(const char* name, const char* value, bool encode_key = true,
                                          bool encode_val = true, const char* prefix = nullptr)
  {
    if (!append_key(name, encode_key, prefix))
      return *this;
    if (value != nullptr) {
      *iter_++ = '=';
      if (*value != '\0') {
        if (encode_val)
          http_encode_string_i<OutputIterator&>(value, ENCODE_FLAGS, iter_);
        else
          append(value);
      }
    }
    return *this;
  }

  // Appends a pair whose value is the number printed with "%ld", never encoded; a
  // boolean gives "1" or "0".
  template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
  HTTP_Query_String_Builder_T& operator()(const char* name, T value, bool encode_key = true,
                                          const char* prefix = nullptr)
  {
    if (!append_key(name, encode_key, prefix))
      return *this;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(value));
    *iter_++ = '=';
    append(buf);
    return *this;
  }

private:
  void append(const char* text)
  {
    for (const char* p = text; *p != '\0'; ++p)
      *iter_++ = *p;
  }

  // The separator, then prefix and name; false (nothing written) for an empty name.
  bool append_key(const char* name, bool encode_key, const char* prefix)
  {
    if (name == nullptr || *name == '\0')
      return false;
    if (sep_)
      *iter_++ = '&';
    else
      sep_ = true;
    if (encode_key) {
      http_encode_string_i<OutputIterator&>(prefix, ENCODE_FLAGS, iter_);  // does nothing for a null or empty prefix
      http_encode_string_i<OutputIterator&>(name, ENCODE_FLAGS, iter_);
    } else {
      if (prefix != nullptr)
        append(prefix);
      append(name);
    }
    return true;
  }

  OutputIterator iter_;
  bool sep_;
};

#endif
