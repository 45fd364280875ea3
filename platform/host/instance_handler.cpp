#include "platform/host/instance_handler.h"

int Instance_Handler::init(int, char**)
{
  return 0;
}

int Instance_Handler::fini()
{
  return 0;
}

int Instance_Handler::get_states(std::map<std::string, std::string>& states)
{
  std::map<std::string, std::shared_ptr<Instance>> instances;
  if (probe_instances(instances) != 0) return -1;
  for (const auto& kv : instances) {
    std::string state;
    states[kv.first] = get_state(kv.first.c_str(), state);
  }
  return 0;
}

int Instance_Handler::logoff(const char*)
{
  return 0;
}

int Instance_Handler::update_options(const char*, const json_spirit::Object*)
{
  return 0;
}
