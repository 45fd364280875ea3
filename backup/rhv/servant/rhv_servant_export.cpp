#include "backup/rhv/servant/rhv_servant_export.h"

#include "backup/rhv/servant/rhv_servant_handler.h"
#include "backup/scrt/make_nothrow.h"

namespace {

// Every factory hands out its destroyer, even when the allocation fails.
template <typename T>
JSON_RPC_Handler* make_handler(Gobble_Function* gobble, Gobble_Function destroyer)
{
  if (gobble != nullptr)
    *gobble = destroyer;
  return new_nothrow<T>();
}

}  // namespace

static void _gobble_RHV_Backup_Servant_Handler(void* p)
{
  delete static_cast<JSON_RPC_Handler*>(p);
}

static void _gobble_RHV_Restore_Servant_Handler(void* p)
{
  delete static_cast<JSON_RPC_Handler*>(p);
}

extern "C" {

JSON_RPC_Handler* _make_RHV_Backup_Servant_Handler(Gobble_Function* gobble)
{
  return make_handler<RHV_Backup_Servant_Handler>(gobble, &_gobble_RHV_Backup_Servant_Handler);
}

JSON_RPC_Handler* _make_RHV_Restore_Servant_Handler(Gobble_Function* gobble)
{
  return make_handler<RHV_Restore_Servant_Handler>(gobble, &_gobble_RHV_Restore_Servant_Handler);
}

}  // extern "C"
