#include "backup/rhv/instance_handler/rhv_instance_export.h"

#include "backup/rhv/instance_handler/rhv_instance_handler.h"
#include "backup/scrt/make_nothrow.h"

static void _gobble_RHV_Instance_Handler(void* p)
{
  delete static_cast<Instance_Handler*>(p);
}

Instance_Handler* _make_RHV_Instance_Handler(void (**gobble)(void*))
{
  if (gobble != nullptr)
    *gobble = &_gobble_RHV_Instance_Handler;
  return new_nothrow<RHV_Instance_Handler>();
}
