#include "backup/rhv/api/rhv_defs.h"

#include <cerrno>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/json_pointer.h"
#include "backup/rhv/api/rhv_defs_load.h"
#include "backup/scrt/log.h"
#include "backup/scrt/natoi.h"
#include "backup/scrt/to_string.h"
#include "platform/json/json_dump.h"

using json_spirit::FG_NOTHROW;
using json_spirit::Object;
using json_spirit::extract;
using json_spirit::extract_or_throw;
using json_spirit::insert;
using json_spirit::skip_empty;
using json_spirit::skip_if;

namespace rhv_defs_detail {

void log_invalid_json(char const* format, json_spirit::Value const& value)
{
  RHV_LOG(0, LM_ERROR, format, JSON_Dump(value, false).c_str());
}

void log_invalid_json(char const* format, json_spirit::Object const& object)
{
  RHV_LOG(0, LM_ERROR, format, JSON_Dump(object, false).c_str());
}

void log_invalid_text(char const* format, std::string const& text)
{
  RHV_LOG(0, LM_ERROR, format, text.c_str());
}

void log_invalid_element(std::string const& key, json_spirit::Value const& element)
{
  RHV_LOG(0, LM_ERROR, "Invalid %s format: '%s'.\n", key.c_str(), JSON_Dump(element, false).c_str());
}

void log_object_exception(std::exception const& e)
{
  RHV_LOG(0, LM_ERROR, "Invalid object format, exception: %s.\n", e.what());
}

}  // namespace rhv_defs_detail

using namespace rhv_defs_detail;

template <class T>
bool string_to_number(std::string const& text, T& value)
{
  if (text.empty())
    return false;
  char const* begin = text.c_str();
  char const* stop = begin;
  value = natoi<T>(begin, begin + text.size(), &stop);
  return errno == 0;
}

template bool string_to_number<int>(std::string const&, int&);
template bool string_to_number<long>(std::string const&, long&);

// --- RHV_Object ------------------------------------------------------------------------

bool RHV_Object::load(Object const& object)
{
  try {
    RHV_Object tmp;
    extract_or_throw(object)("id", tmp.id)("name", tmp.name, FG_NOTHROW)("comment", tmp.comment, FG_NOTHROW)(
        "description", tmp.description, FG_NOTHROW);
    *this = std::move(tmp);
    return true;
  } catch (std::exception const& e) {
    log_object_exception(e);
    return false;
  }
}

Object RHV_Object::dump() const
{
  Object obj;
  insert(obj)("id", skip_empty(id))("name", skip_empty(name))("comment", skip_empty(comment))(
      "description", skip_empty(description));
  return obj;
}

// --- RHV_Version -----------------------------------------------------------------------

bool RHV_Version::load(Object const& object)
{
  return load_value(*this, object, [](RHV_Version& tmp, Object const& o) {
    std::string const* major = nullptr;
    std::string const* minor = nullptr;
    std::string const* build = nullptr;
    std::string const* revision = nullptr;
    try {
      extract_or_throw(o)("major", major)("minor", minor)("full_version", tmp.full_version, FG_NOTHROW)(
          "build", build, FG_NOTHROW)("revision", revision, FG_NOTHROW);
    } catch (std::exception const& e) {
      RHV_LOG(0, LM_ERROR, "Invalid version format, exception: %s.\n", e.what());
      return false;
    }
    return convert_number(major, tmp.major, "Invalid major format: '%s'.\n") &&
           convert_number(minor, tmp.minor, "Invalid minor format: '%s'.\n") &&
           convert_number(build, tmp.build, "Invalid build format: '%s'.\n") &&
           convert_number(revision, tmp.revision, "Invalid revision format: '%s'.\n");
  });
}

Object RHV_Version::dump() const
{
  Object obj;
  insert(obj)("full_version", skip_empty(full_version))("major", skip_if(scrt::to_string(major), major < 0))(
      "minor", skip_if(scrt::to_string(minor), minor < 0))("build", skip_if(scrt::to_string(build), build < 0))(
      "revision", skip_if(scrt::to_string(revision), revision < 0));
  return obj;
}

// --- RHV_BIOS --------------------------------------------------------------------------

bool RHV_BIOS::load(Object const& object)
{
  return load_value(*this, object, [](RHV_BIOS& tmp, Object const& o) {
    std::string const* enabled = nullptr;
    json_spirit::pextract(o)("/boot_menu/enabled", enabled)("/type", tmp.type);
    convert_flag(enabled, tmp.boot_menu.enabled);
    return true;
  });
}

Object RHV_BIOS::dump() const
{
  Object menu;
  insert(menu)("enabled", skip_if(flag_text(boot_menu.enabled), !boot_menu.enabled));
  Object obj;
  insert(obj)("boot_menu", skip_empty(std::move(menu)))("type", skip_empty(type));
  return obj;
}

// --- RHV_CPU ---------------------------------------------------------------------------

bool RHV_CPU::load(Object const& object)
{
  return load_value(*this, object, [](RHV_CPU& tmp, Object const& o) {
    Object const* topology = nullptr;
    extract(o)("architecture", tmp.architecture)("type", tmp.type)("topology", topology);
    if (topology == nullptr)
      return true;
    std::string const* cores = nullptr;
    std::string const* sockets = nullptr;
    std::string const* threads = nullptr;
    extract(*topology)("cores", cores)("sockets", sockets)("threads", threads);
    return convert_number(cores, tmp.topology.cores, "Invalid cores format: '%s'.\n") &&
           convert_number(sockets, tmp.topology.sockets, "Invalid sockets format: '%s'.\n") &&
           convert_number(threads, tmp.topology.threads, "Invalid threads format: '%s'.\n");
  });
}

Object RHV_CPU::dump() const
{
  Object topo;
  insert(topo)("cores", skip_if(scrt::to_string(topology.cores), topology.cores < 0))(
      "sockets", skip_if(scrt::to_string(topology.sockets), topology.sockets < 0))(
      "threads", skip_if(scrt::to_string(topology.threads), topology.threads < 0));
  Object obj;
  insert(obj)("architecture", skip_empty(architecture))("type", skip_empty(type))(
      "topology", skip_empty(std::move(topo)));
  return obj;
}

// --- RHV_OS, RHV_MAC, RHV_VNIC_Pass_Through ----------------------------------------------

bool RHV_OS::load(Object const& object)
{
  return load_value(*this, object, [](RHV_OS& tmp, Object const& o) {
    extract(o)("type", tmp.type);
    return true;
  });
}

Object RHV_OS::dump() const
{
  Object obj;
  insert(obj)("type", skip_empty(type));
  return obj;
}

bool RHV_MAC::load(Object const& object)
{
  return load_value(*this, object, [](RHV_MAC& tmp, Object const& o) {
    extract(o)("address", tmp.address);
    return true;
  });
}

Object RHV_MAC::dump() const
{
  Object obj;
  insert(obj)("address", skip_empty(address));
  return obj;
}

bool RHV_VNIC_Pass_Through::load(Object const& object)
{
  return load_value(*this, object, [](RHV_VNIC_Pass_Through& tmp, Object const& o) {
    extract(o)("mode", tmp.mode);
    return true;
  });
}

Object RHV_VNIC_Pass_Through::dump() const
{
  Object obj;
  insert(obj)("mode", skip_empty(mode));
  return obj;
}

// --- RHV_Memory_Policy -----------------------------------------------------------------

bool RHV_Memory_Policy::load(Object const& object)
{
  return load_value(*this, object, [](RHV_Memory_Policy& tmp, Object const& o) {
    std::string const* guaranteed = nullptr;
    std::string const* max = nullptr;
    extract(o)("guaranteed", guaranteed)("max", max);
    return convert_number(guaranteed, tmp.guaranteed, "Invalid guaranteed format: '%s'.\n") &&
           convert_number(max, tmp.max, "Invalid max format: '%s'.\n");
  });
}

Object RHV_Memory_Policy::dump() const
{
  Object obj;
  insert(obj)("guaranteed", skip_if(scrt::to_string(guaranteed), guaranteed < 0))(
      "max", skip_if(scrt::to_string(max), max < 0));
  return obj;
}
