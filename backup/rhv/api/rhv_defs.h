#ifndef BACKUP_RHV_API_RHV_DEFS_H
#define BACKUP_RHV_API_RHV_DEFS_H

// Records of the RHV engine's REST API: the base record, the API version and the
// value parts that larger records embed.
//
// Every record is a plain value with two operations:
//   bool load(json_spirit::Object const&)  fills the record from the engine's JSON form;
//   json_spirit::Object dump() const       writes the record in the same form.
//
// The engine's JSON conventions, kept on both directions:
//   - numbers travel as JSON strings of decimal digits; -1 (the default) means "no value"
//     and a negative number is never written;
//   - flags travel as the strings "true" and "false"; any other text loads as false;
//     an absent flag stays unset and is not written;
//   - dates are JSON integers, 0 (the default) meaning none and never written;
//   - empty texts, nested records with an empty dump and empty lists are not written;
//   - lists are wrapper objects holding an array under the element's singular name.
//
// A load replaces the whole record: a key absent from the input resets its member to the
// default. A load never throws; on failure it logs one line at LM_ERROR per nesting level
// (innermost first), returns false and leaves the record exactly as it was.

#include <ctime>
#include <string>
#include <vector>

#include <boost/optional.hpp>

#include "platform/json/value.h"

// Converts a decimal text (optional sign, then digits) into `value`. False for an empty
// text, a text that does not start with a digit after the sign, or a value out of T's
// range; conversion stops at the first non-digit, so "12abc" gives 12 and succeeds.
// `value` receives the parsed number whatever the outcome. Instances: int and long.
template <class T>
bool string_to_number(std::string const& text, T& value);

// Base of every entity record, and the record of a link to another entity.
struct RHV_Object {
  std::string id;           // "id", required on load
  std::string name;         // "name"
  std::string comment;      // "comment"
  std::string description;  // "description"

  RHV_Object() = default;
  RHV_Object(RHV_Object const&) = default;
  RHV_Object(RHV_Object&&) = default;
  RHV_Object& operator=(RHV_Object&&) = default;
  ~RHV_Object() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

typedef std::vector<RHV_Object> RHV_Objects;

// The engine's API version ("/product_info/version" of the API root).
struct RHV_Version {
  std::string full_version;  // "full_version"
  int build = -1;            // "build"
  int major = -1;            // "major", required on load
  int minor = -1;            // "minor", required on load
  int revision = -1;         // "revision"

  RHV_Version() = default;
  RHV_Version(RHV_Version const&) = default;
  RHV_Version(RHV_Version&&) = default;
  RHV_Version& operator=(RHV_Version&&) = default;
  ~RHV_Version() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The BIOS of a VM: {"boot_menu": {"enabled": "true"}, "type": "..."}.
struct RHV_BIOS {
  struct Boot_Menu {
    boost::optional<bool> enabled;
  };
  Boot_Menu boot_menu;
  std::string type;

  RHV_BIOS() = default;
  RHV_BIOS(RHV_BIOS const&) = default;
  RHV_BIOS(RHV_BIOS&&) = default;
  RHV_BIOS& operator=(RHV_BIOS&&) = default;
  ~RHV_BIOS() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The CPU of a cluster or a VM: {"architecture", "type", "topology": {"cores", "sockets", "threads"}}.
struct RHV_CPU {
  struct Topology {
    int cores = -1;
    int sockets = -1;
    int threads = -1;
  };
  std::string architecture;
  std::string type;
  Topology topology;

  RHV_CPU() = default;
  RHV_CPU(RHV_CPU const&) = default;
  RHV_CPU(RHV_CPU&&) = default;
  RHV_CPU& operator=(RHV_CPU&&) = default;
  ~RHV_CPU() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The operating system of a VM: {"type"}.
struct RHV_OS {
  std::string type;

  RHV_OS() = default;
  RHV_OS(RHV_OS const&) = default;
  RHV_OS(RHV_OS&&) = default;
  RHV_OS& operator=(RHV_OS&&) = default;
  ~RHV_OS() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The MAC address of a NIC: {"address"}.
struct RHV_MAC {
  std::string address;

  RHV_MAC() = default;
  RHV_MAC(RHV_MAC const&) = default;
  RHV_MAC(RHV_MAC&&) = default;
  RHV_MAC& operator=(RHV_MAC&&) = default;
  ~RHV_MAC() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The pass-through mode of a vNIC profile: {"mode"}.
struct RHV_VNIC_Pass_Through {
  std::string mode;

  RHV_VNIC_Pass_Through() = default;
  RHV_VNIC_Pass_Through(RHV_VNIC_Pass_Through const&) = default;
  RHV_VNIC_Pass_Through(RHV_VNIC_Pass_Through&&) = default;
  RHV_VNIC_Pass_Through& operator=(RHV_VNIC_Pass_Through&&) = default;
  ~RHV_VNIC_Pass_Through() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

// The memory policy of a VM, in bytes: {"guaranteed", "max"}.
struct RHV_Memory_Policy {
  long guaranteed = -1;
  long max = -1;

  RHV_Memory_Policy() = default;
  RHV_Memory_Policy(RHV_Memory_Policy const&) = default;
  RHV_Memory_Policy(RHV_Memory_Policy&&) = default;
  RHV_Memory_Policy& operator=(RHV_Memory_Policy&&) = default;
  ~RHV_Memory_Policy() = default;

  bool load(json_spirit::Object const& object);
  json_spirit::Object dump() const;
};

#endif
