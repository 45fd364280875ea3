#ifndef BACKUP_RHV_INSTANCE_HANDLER_RHV_INSTANCE_HANDLER_H
#define BACKUP_RHV_INSTANCE_HANDLER_RHV_INSTANCE_HANDLER_H

// The module's answer to the agent's question which protectable instances this host
// offers: the host serves as an RHV proxy. It reports exactly one instance, "RHV_Proxy"
// of type "rhev" with the option {"is_proxy": true}, always "enabled", and needs no
// logon. Stateless: every probe builds a fresh record.

#include <map>
#include <memory>
#include <string>

#include "platform/host/instance_handler.h"
#include "platform/json/value.h"

class RHV_Instance_Handler : public Instance_Handler {
public:
  RHV_Instance_Handler();
  ~RHV_Instance_Handler() override = default;

  // Stores a new "RHV_Proxy" instance, replacing one of that name and leaving the other
  // entries alone. 0.
  int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) override;

  // "enabled", whatever `name` is.
  std::string& get_state(const char* name, std::string& state) override;

  // Nothing to log on to: 0.
  int logon(const char* name, const char* user, const char* password, const json_spirit::Object* options) override;
};

#endif
