#ifndef BACKUP_SCRT_KEY_VALUE_H
#define BACKUP_SCRT_KEY_VALUE_H

#include <cstddef>
#include <cstring>

// One row of a table that maps names to an enumeration. A table is a static
// array of rows ending with a row whose key is null; that row's value is the
// enumeration's "none" value, and every lookup that finds nothing returns it:
//
//   static Key2_Value_T<RHV_Backup_Method> const methods[] = {
//     SCRT_KEY2_VALUE("nfc", RHV_BACKUP_METHOD_NFC),
//     {nullptr, 0, RHV_BACKUP_METHOD_UNKNOWN},
//   };
template <typename E>
struct Key2_Value_T {
  using value_type = E;

  char const* key;
  std::size_t len;  // strlen(key)
  E value;
};

// A row for a string literal key, its length counted at compile time.
#define SCRT_KEY2_VALUE(key, value) \
  { key, sizeof(key) - 1, value }

// The first row whose len equals `len` and whose key matches the first `len`
// bytes of `name` (case-sensitive), else the terminator. A null name matches
// nothing.
template <typename E>
Key2_Value_T<E> const& get_key_value_entry(Key2_Value_T<E> const* table, char const* name,
                                           std::size_t len)
{
  Key2_Value_T<E> const* row = table;
  for (; row->key != nullptr; ++row)
    if (name != nullptr && row->len == len && std::strncmp(row->key, name, len) == 0) break;
  return *row;
}

// The first row holding `value`, else the terminator (whose key is null).
template <typename E>
Key2_Value_T<E> const& get_key_value_entry(Key2_Value_T<E> const* table,
                                           typename Key2_Value_T<E>::value_type value)
{
  Key2_Value_T<E> const* row = table;
  for (; row->key != nullptr; ++row)
    if (row->value == value) break;
  return *row;
}

// The first row whose key equals the NUL-terminated `name`, else the terminator.
// A null name matches nothing.
template <typename E>
Key2_Value_T<E> const& get_key_value_entry(Key2_Value_T<E> const* table, char const* name)
{
  Key2_Value_T<E> const* row = table;
  for (; row->key != nullptr; ++row)
    if (name != nullptr && std::strcmp(row->key, name) == 0) break;
  return *row;
}

#endif
