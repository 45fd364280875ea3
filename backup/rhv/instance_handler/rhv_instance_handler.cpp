#include "backup/rhv/instance_handler/rhv_instance_handler.h"

#include "backup/json_spirit/assign.h"

namespace {

const char* const INSTANCE_TYPE = "rhev";
const char* const INSTANCE_NAME = "RHV_Proxy";

}  // namespace

RHV_Instance_Handler::RHV_Instance_Handler() : Instance_Handler(INSTANCE_TYPE) {}

int RHV_Instance_Handler::probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances)
{
  std::shared_ptr<Instance> instance = std::make_shared<Instance>();
  instance->type = INSTANCE_TYPE;
  instance->name = INSTANCE_NAME;
  json_spirit::insert(instance->options)("is_proxy", true);
  instances[INSTANCE_NAME] = std::move(instance);
  return 0;
}

std::string& RHV_Instance_Handler::get_state(const char*, std::string& state)
{
  state = "enabled";
  return state;
}

int RHV_Instance_Handler::logon(const char*, const char*, const char*, const json_spirit::Object*)
{
  return 0;
}
