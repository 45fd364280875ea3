#include "platform/http/uri.h"

#include <cstdlib>

#include <curl/curl.h>

namespace {

// One part of a parsed URL; `missing` is what an absent part yields.
bool get_part(CURLU* u, CURLUPart part, unsigned flags, std::string& out, CURLUcode missing)
{
  char* text = nullptr;
  CURLUcode rc = curl_url_get(u, part, &text, flags);
  if (rc == missing) {
    out.clear();
    return true;
  }
  if (rc != CURLUE_OK)
    return false;
  out = text;
  curl_free(text);
  return true;
}

}  // namespace

bool URI_Parser::parse(const char* text, URI& uri)
{
  if (text == nullptr || *text == '\0')
    return false;
  CURLU* u = curl_url();
  if (u == nullptr)
    return false;
  URI parsed;
  std::string port;
  bool ok = curl_url_set(u, CURLUPART_URL, text, CURLU_PATH_AS_IS) == CURLUE_OK &&
            get_part(u, CURLUPART_SCHEME, 0, parsed.scheme, CURLUE_NO_SCHEME) &&
            (parsed.scheme == "http" || parsed.scheme == "https") &&
            get_part(u, CURLUPART_HOST, 0, parsed.host, CURLUE_NO_HOST) && !parsed.host.empty() &&
            get_part(u, CURLUPART_PORT, CURLU_DEFAULT_PORT, port, CURLUE_NO_PORT) &&
            get_part(u, CURLUPART_PATH, 0, parsed.path, CURLUE_UNKNOWN_PART) &&
            get_part(u, CURLUPART_QUERY, 0, parsed.query, CURLUE_NO_QUERY);
  curl_url_cleanup(u);
  if (!ok)
    return false;
  if (parsed.host.size() > 2 && parsed.host.front() == '[' && parsed.host.back() == ']')
    parsed.host = parsed.host.substr(1, parsed.host.size() - 2);
  long p = std::strtol(port.c_str(), nullptr, 10);
  if (p <= 0 || p > 65535)
    return false;
  parsed.port = static_cast<unsigned short>(p);
  parsed.is_ssl = parsed.scheme == "https";
  if (parsed.path.empty())
    parsed.path = "/";
  uri = std::move(parsed);
  return true;
}
