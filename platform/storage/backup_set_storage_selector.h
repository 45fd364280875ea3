#ifndef PLATFORM_STORAGE_BACKUP_SET_STORAGE_SELECTOR_H
#define PLATFORM_STORAGE_BACKUP_SET_STORAGE_SELECTOR_H

#include <string>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// Chooses the storage pool to read a backup set from, among the set's storages as the
// catalog lists them (objects with a "pool_uuid" string; other elements are skipped).
//   MODE_FIRST (0):      the first storage listed;
//   MODE_REGISTERED (1): the first storage whose pool is in the host's pool registry.
// pool_uuid() is empty when no storage qualifies or the mode is unknown.
class Backup_Set_Storage_Selector {
public:
  enum Mode {
    MODE_FIRST = 0,
    MODE_REGISTERED = 1,
  };

  Backup_Set_Storage_Selector(const json_spirit::Array& storages, int mode);

  const std::string& pool_uuid() const { return pool_uuid_; }

private:
  std::string pool_uuid_;
};

#pragma GCC visibility pop

#endif
