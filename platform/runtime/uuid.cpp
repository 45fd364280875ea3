#include "platform/runtime/uuid.h"

#include "backup/scrt/log.h"

#include <cstring>

#include <uuid/uuid.h>

void uuid_generate_v4(unsigned char* out) { ::uuid_generate_random(out); }

std::string uuid_generate_v4_string()
{
  unsigned char raw[UUID_RAW_SIZE];
  uuid_generate_v4(raw);
  return uuid_to_string(raw);
}

std::string uuid_to_string(const unsigned char* in)
{
  char text[UUID_TEXT_SIZE + 1];
  ::uuid_unparse_lower(in, text);
  return std::string(text, UUID_TEXT_SIZE);
}

bool uuid_from_string(const std::string& text, unsigned char* out)
{
  // uuid_parse reads a C string: a NUL inside the text would hide what follows.
  if (text.size() == UUID_TEXT_SIZE && text.find('\0') == std::string::npos &&
      ::uuid_parse(text.c_str(), out) == 0)
    return true;
  std::memset(out, 0, UUID_RAW_SIZE);
  RHV_LOG_ERROR("Invalid UUID '%s'.\n", text.c_str());
  return false;
}
