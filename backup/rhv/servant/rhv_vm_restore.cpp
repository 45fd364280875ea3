#include "backup/rhv/servant/rhv_vm_restore.h"

RHV_VM_Restore::RHV_VM_Restore()
{
}

RHV_VM_Restore::~RHV_VM_Restore()
{
}

bool RHV_VM_Restore::is_canceled() const
{
  return stop_.load() || RHV_VM_Base<RHV_Restore_Params>::is_canceled();
}

bool RHV_VM_Restore::init_i()
{
  return true;
}
