#ifndef PLATFORM_HTTP_URI_H
#define PLATFORM_HTTP_URI_H

#include <string>

#pragma GCC visibility push(default)

// The parts of an HTTP or HTTPS URL.
struct URI {
  std::string scheme;       // "http" or "https", lower case
  std::string host;         // without the brackets of an IPv6 address
  unsigned short port = 0;  // the scheme's default when the URL gives none
  bool is_ssl = false;      // the scheme is https
  std::string path;         // "/" when the URL has none; as written (not decoded)
  std::string query;        // without "?"; empty when there is none
};

class URI_Parser {
public:
  // Splits an absolute http:// or https:// URL into `uri`. False (and `uri` unchanged)
  // for a null or malformed text or another scheme.
  static bool parse(const char* text, URI& uri);
  static bool parse(const std::string& text, URI& uri) { return parse(text.c_str(), uri); }
};

#pragma GCC visibility pop

#endif
