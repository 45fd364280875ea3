#include "backup/rhv/websvcs_agent/rhv_websvcs_export.h"

#include <cerrno>
#include <new>

#include "backup/rhv/websvcs_agent/rhv_list_handler.h"
#include "backup/rhv/websvcs_agent/rhv_login_handler.h"

namespace {

// A new T as its host base, or null with errno ENOMEM. A constructor that throws frees
// the memory again and counts as a failed allocation.
template <typename T>
JSON_RPC_Handler* make_handler()
{
  T* handler = nullptr;
  try {
    handler = new (std::nothrow) T();
  } catch (...) {
    handler = nullptr;
  }
  if (handler == nullptr)
    errno = ENOMEM;
  return handler;
}

}  // namespace

static void _gobble_JSON_RPC_RHV_List_Handler(void* p)
{
  delete static_cast<JSON_RPC_Handler*>(p);
}

static void _gobble_JSON_RPC_RHV_Login_Handler(void* p)
{
  delete static_cast<JSON_RPC_Handler*>(p);
}

JSON_RPC_Handler* _make_JSON_RPC_RHV_List_Handler(void (**gobble)(void*))
{
  if (gobble != nullptr)
    *gobble = &_gobble_JSON_RPC_RHV_List_Handler;
  return make_handler<JSON_RPC_RHV_List_Handler>();
}

JSON_RPC_Handler* _make_JSON_RPC_RHV_Login_Handler(void (**gobble)(void*))
{
  if (gobble != nullptr)
    *gobble = &_gobble_JSON_RPC_RHV_Login_Handler;
  return make_handler<JSON_RPC_RHV_Login_Handler>();
}
