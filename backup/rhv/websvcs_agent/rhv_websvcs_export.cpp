#include "backup/rhv/websvcs_agent/rhv_websvcs_export.h"

#include "backup/rhv/websvcs_agent/rhv_list_handler.h"
#include "backup/rhv/websvcs_agent/rhv_login_handler.h"
#include "backup/scrt/make_nothrow.h"

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
  return new_nothrow<JSON_RPC_RHV_List_Handler>();
}

JSON_RPC_Handler* _make_JSON_RPC_RHV_Login_Handler(void (**gobble)(void*))
{
  if (gobble != nullptr)
    *gobble = &_gobble_JSON_RPC_RHV_Login_Handler;
  return new_nothrow<JSON_RPC_RHV_Login_Handler>();
}
