#ifndef BACKUP_RHV_COMMON_RHV_HOST_INFO_H
#define BACKUP_RHV_COMMON_RHV_HOST_INFO_H

// The product's record of one protected RHV engine (an "RHV host"): where the engine
// is, how to log in, and which of its VMs is the agent VM this module runs on. The host
// process keeps it and hands it out through the JSON-RPC query "rhev.query", with the
// password RSA-encrypted for this host; get_host_info() fetches and decrypts it.

#include <string>

#include "backup/scrt/secure_string.h"
#include "platform/json/value.h"

struct RHV_Host_Info {
  std::string uuid;           // id of the record in the host process
  std::string name;           // display name of the RHV host
  std::string agent_vm_id;    // engine id of the agent VM
  std::string agent_vm_name;  // name of the agent VM
  std::string auth_type;      // "basic" or "oauth"
  std::string url_prefix;     // engine URL prefix; empty: "ovirt-engine" at login
  std::string host;           // engine host name or address
  unsigned short port = 80;   // engine port
  bool ssl = false;           // use TLS
  std::string username;       // engine user
  secure_string password;     // plain text once get_host_info() has decrypted it

  // All eleven keys, empty texts included; the password as the record holds it (the
  // record travels to the servants this way, so never log a dump).
  json_spirit::Object dump() const;

  // Every key is optional: a present key overwrites its member, an absent one leaves it.
  // A value of the wrong type fails ("Failed to load RHV_Host_Info from JSON: <why>"),
  // and the members read before it keep what they received. "port" is narrowed to 16
  // bits without a range check.
  bool load(const json_spirit::Value& value);
};

// Fetches the record `uuid` from the host process ("rhev.query") and decrypts its
// password. On failure `info` is left untouched, unless the record itself fails to load.
bool get_host_info(const std::string& uuid, RHV_Host_Info& info);

// The plain text of a password encrypted with this host's RSA public key; empty on any
// failure (logged by the decoder).
secure_string rsa_decrypt_string(const std::string& cipher);

#endif
