#ifndef TESTS_BACKUP_JSON_SPIRIT_ENGINE_DOCUMENT_H
#define TESTS_BACKUP_JSON_SPIRIT_ENGINE_DOCUMENT_H

// A deterministic engine-style VM list ({"vm": [...]}) as JSON text: nested
// objects and lists, numbers as strings of digits, dates as integers. Used by
// the JSON tests and the JSON benchmark.

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace engine_document {

inline std::string uuid(std::mt19937_64& rng)
{
  char buf[40];
  const std::uint64_t a = rng(), b = rng();
  std::snprintf(buf, sizeof(buf), "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>(a >> 16) & 0xffff, static_cast<unsigned>(a) & 0xffff,
                static_cast<unsigned>(b >> 48), static_cast<unsigned long long>(b & 0xffffffffffffULL));
  return buf;
}

inline std::string quoted(const std::string& s)
{
  return "\"" + s + "\"";
}

inline std::string member(const std::string& key, const std::string& json)
{
  return quoted(key) + ":" + json;
}

// One VM with `disks` disks and two NICs.
inline std::string vm(std::mt19937_64& rng, unsigned index, unsigned disks)
{
  const std::string id = uuid(rng);
  std::string d = "[";
  for (unsigned i = 0; i < disks; ++i) {
    const std::string disk_id = uuid(rng);
    if (i) d += ",";
    d += "{" + member("id", quoted(uuid(rng))) + "," + member("active", "\"true\"") + "," +
         member("bootable", i == 0 ? "\"true\"" : "\"false\"") + "," +
         member("interface", "\"virtio_scsi\"") + "," + member("logical_name", quoted("/dev/sd" + std::string(1, char('a' + i % 26)))) + "," +
         member("disk", "{" + member("id", quoted(disk_id)) + "," +
                          member("href", quoted("/ovirt-engine/api/disks/" + disk_id)) + "," +
                          member("provisioned_size", quoted(std::to_string((rng() % 512 + 1) << 30))) + "," +
                          member("actual_size", quoted(std::to_string(rng() % (1ULL << 36)))) + "," +
                          member("format", "\"cow\"") + "," + member("sparse", "\"true\"") + "," +
                          member("storage_domains", "{" + member("storage_domain", "[{" + member("id", quoted(uuid(rng))) + "}]") + "}") +
                          "}") +
         "}";
  }
  d += "]";
  std::string nics = "[";
  for (unsigned i = 0; i < 2; ++i) {
    if (i) nics += ",";
    nics += "{" + member("id", quoted(uuid(rng))) + "," + member("name", quoted("nic" + std::to_string(i + 1))) + "," +
            member("interface", "\"virtio\"") + "," + member("linked", "\"true\"") + "," +
            member("mac", "{" + member("address", "\"56:6f:1a:2b:3c:0" + std::to_string(i) + "\"") + "}") + "," +
            member("vnic_profile", "{" + member("id", quoted(uuid(rng))) + "}") + "}";
  }
  nics += "]";
  char name[32];
  std::snprintf(name, sizeof(name), "vm-%05u", index);
  return "{" + member("id", quoted(id)) + "," + member("name", quoted(name)) + "," +
         member("description", "\"Web tier \\\"blue\\\" / zone A\"") + "," +
         member("href", quoted("/ovirt-engine/api/vms/" + id)) + "," +
         member("memory", quoted(std::to_string((rng() % 64 + 1) << 30))) + "," +
         member("creation_time", std::to_string(1600000000000ULL + rng() % 100000000000ULL)) + "," +
         member("status", "\"up\"") + "," + member("stateless", "\"false\"") + "," +
         member("cpu", "{" + member("architecture", "\"x86_64\"") + "," +
                         member("topology", "{" + member("cores", "\"2\"") + "," + member("sockets", "\"1\"") + "," +
                                              member("threads", "\"1\"") + "}") + "}") + "," +
         member("cluster", "{" + member("id", quoted(uuid(rng))) + "}") + "," +
         member("os", "{" + member("type", "\"rhel_8x64\"") + "," +
                        member("boot", "{" + member("devices", "{\"device\":[\"hd\",\"network\"]}") + "}") + "}") + "," +
         member("disk_attachments", "{" + member("disk_attachment", d) + "}") + "," +
         member("nics", "{" + member("nic", nics) + "}") + "}";
}

// VMs are added until the text reaches `bytes` (at least one VM).
inline std::string vm_list(std::size_t bytes, std::uint64_t seed = 42)
{
  std::mt19937_64 rng(seed);
  std::string out = "{\"vm\":[";
  unsigned i = 0;
  do {
    if (i) out += ",";
    out += vm(rng, i, 1 + i % 4);
    ++i;
  } while (out.size() < bytes);
  out += "]}";
  return out;
}

}  // namespace engine_document

#endif
