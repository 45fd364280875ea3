#ifndef PLATFORM_HOST_INSTANCE_HANDLER_H
#define PLATFORM_HOST_INSTANCE_HANDLER_H

#include <map>
#include <memory>
#include <string>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// One protectable instance that a module offers on this host, as the console shows it.
struct Instance {
  std::string type;
  std::string name;
  std::string uuid;
  json_spirit::Object options;
  json_spirit::Object logon_options;
};

// A module's answer to "which instances does this host offer?". The host obtains a
// handler from the module's factory, calls init() once, then any of the operations
// from one thread at a time, and fini() before it releases the handler.
//
// A module overrides probe_instances(), get_state() and logon(); the others have
// working defaults. Results of the int operations: 0 success, -1 failure.
class Instance_Handler {
public:
  // type: the instance type this handler answers for (e.g. "rhev").
  explicit Instance_Handler(const std::string& type) : type_(type) {}
  virtual ~Instance_Handler() = default;

  Instance_Handler(const Instance_Handler&) = delete;
  Instance_Handler& operator=(const Instance_Handler&) = delete;

  // Default: nothing to prepare; 0.
  virtual int init(int argc, char** argv);
  // Default: nothing to release; 0.
  virtual int fini();

  // Stores each instance of this host in instances under its name, replacing an entry
  // of the same name and leaving other entries alone.
  virtual int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) = 0;

  // Sets state to the state of the named instance and returns it.
  virtual std::string& get_state(const char* name, std::string& state) = 0;

  // Default: probes the instances and fills states with name -> get_state(name);
  // -1 when the probe fails.
  virtual int get_states(std::map<std::string, std::string>& states);

  // Logs on to the named instance with the given credentials and options (may be null).
  virtual int logon(const char* name, const char* user, const char* password,
                    const json_spirit::Object* options) = 0;

  // Default: nothing to log off from; 0.
  virtual int logoff(const char* name);

  // Default: the instance keeps no options; 0.
  virtual int update_options(const char* name, const json_spirit::Object* options);

  const std::string& type() const { return type_; }

private:
  std::string type_;
};

#pragma GCC visibility pop

#endif
