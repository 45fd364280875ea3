#include "platform/storage/compression.h"

#include <cstring>

namespace {

struct Compression_Entry {
  int value;
  const char* name;
  const char* suffix;
};

const Compression_Entry k_methods[] = {
    {COMPR_NONE, "none", ""},
    {COMPR_AUTO, "auto", ""},
    {COMPR_LZ4, "lz4", ".lz4"},
    {COMPR_ZSTD, "zstd", ".zst"},
};

const Compression_Entry* find(int value)
{
  for (const auto& e : k_methods)
    if (e.value == value) return &e;
  return nullptr;
}

}  // namespace

int compression_name_to_value(const char* name, int unknown)
{
  if (name == nullptr) return unknown;
  for (const auto& e : k_methods)
    if (std::strcmp(e.name, name) == 0) return e.value;
  return unknown;
}

const char* compression_value_to_name(int value)
{
  const Compression_Entry* e = find(value);
  return e ? e->name : nullptr;
}

const char* compression_value_to_suffix(int value)
{
  const Compression_Entry* e = find(value);
  return e ? e->suffix : "";
}
