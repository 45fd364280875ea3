#include "backup/rhv/instance_handler/rhv_instance_export.h"

#include <cerrno>
#include <new>

#include "backup/rhv/instance_handler/rhv_instance_handler.h"

static void _gobble_RHV_Instance_Handler(void* p)
{
  delete static_cast<Instance_Handler*>(p);
}

Instance_Handler* _make_RHV_Instance_Handler(void (**gobble)(void*))
{
  if (gobble != nullptr)
    *gobble = &_gobble_RHV_Instance_Handler;
  RHV_Instance_Handler* handler = nullptr;
  try {
    handler = new (std::nothrow) RHV_Instance_Handler();
  } catch (...) {
    handler = nullptr;
  }
  if (handler == nullptr)
    errno = ENOMEM;
  return handler;
}
