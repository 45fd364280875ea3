// The per-VM task parameters of a backup as they travel from the job to a servant: the
// exact key set, the names written for the subtype and the method, the round trip, every
// required key, the password rule, and the masking of secrets in the failure lines.

#include "backup/rhv/job/rhv_backup_params.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"

namespace {

json_spirit::Value parse(const std::string& text)
{
  json_spirit::Value v;
  std::string why;
  EXPECT_TRUE(json_spirit::parse(text, v, &why)) << why << " in " << text;
  return v;
}

const char* const PASSWORD = "Pa55 w0rd/\"x\"";

RHV_Backup_Params sample_params()
{
  RHV_Backup_Params p;
  p.backupd_ssl = true;
  p.backupd_port = 8443;
  p.job_revision = 9000000000LL;
  p.def_id = "def-1";
  p.host_uuid = "host-record-1";
  p.resource_uuid = "source-1";
  p.backupd_host = "backupd.example.test";
  p.access_key = "host-access-key";
  p.client_io_opts.compression_method = 3;
  p.client_io_opts.compression_level = 5;
  p.client_io_opts.set_extra_option("X-Access-Key", "io-access-key");
  p.parallel_disks_per_vm = 3;
  p.parallel_workers_per_disk = 1;
  p.block_size = 65536;
  p.host_info.uuid = "host-record-1";
  p.host_info.name = "engine-1";
  p.host_info.agent_vm_id = "agent-vm";
  p.host_info.agent_vm_name = "tessera3-agent";
  p.host_info.auth_type = "basic";
  p.host_info.host = "127.0.0.1";
  p.host_info.port = 8080;
  p.host_info.username = "admin@internal";
  p.host_info.password = PASSWORD;
  p.data_center_id = "dc-1";
  p.data_center_name = "east";
  p.cluster_id = "cl-1";
  p.cluster_name = "east-prod";
  p.vm_id = "vm-1";
  p.vm_name = "web-01";
  p.backup_type = JOB_DEFINITION_SUBTYPE_INCREMENTAL;
  p.pool_url = "file:///pools/default/host-record-1";
  p.catalog["name"] = json_spirit::Value("nightly");
  p.catalog["agent"] = json_spirit::Value("agent-1");
  p.catalog["pool_uuid"] = json_spirit::Value("pool-1");
  p.backup_method = NFC;
  RHV_Disk_Attachment a;
  a.id = "disk-1";
  a.bootable = true;
  a.interface = "virtio_scsi";
  a.disk.id = "disk-1";
  a.disk.name = "web-01_Disk1";
  a.disk.provisioned_size = 16 << 20;
  RHV_Object domain;
  domain.id = "sd-1";
  a.disk.storage_domains.push_back(domain);
  p.attachments.push_back(a);
  return p;
}

std::set<std::string> keys_of(const json_spirit::Object& o)
{
  std::set<std::string> keys;
  for (const auto& m : o)
    keys.insert(m.first);
  return keys;
}

const std::vector<std::string> BASE_KEYS = {
    "backupd_ssl", "backupd_port", "job_revision", "def_id", "host_uuid", "resource_uuid", "backupd_host",
    "access_key", "client_io_opts", "parallel_disks_per_vm", "parallel_workers_per_disk", "block_size",
    "host_info", "data_center_id", "data_center_name", "cluster_id", "cluster_name", "host_id", "host_name",
    "vm_id", "vm_name"};
const std::vector<std::string> BACKUP_KEYS = {"backup_type", "pool_url", "catalog", "backup_method", "attachments"};

}  // namespace

TEST(RHV_Backup_Params, dump_writes_every_key_and_loads_back)
{
  RHV_Backup_Params p = sample_params();
  json_spirit::Object dumped = p.dump();

  std::set<std::string> expected(BASE_KEYS.begin(), BASE_KEYS.end());
  expected.insert(BACKUP_KEYS.begin(), BACKUP_KEYS.end());
  expected.insert("action");
  EXPECT_EQ(keys_of(dumped), expected);
  EXPECT_EQ(dumped["action"].get_str(), "backup");
  EXPECT_EQ(dumped["backup_type"].get_str(), "incremental");
  EXPECT_EQ(dumped["backup_method"].get_str(), "nfc");
  EXPECT_EQ(dumped["backupd_port"].get_int64(), 8443);
  EXPECT_EQ(dumped["job_revision"].get_int64(), 9000000000LL);
  EXPECT_EQ(JSON_Dump(dumped["attachments"]).str().find("{\"disk_attachment\":[{"), 0u);
  EXPECT_EQ(keys_of(dumped["host_info"].get_obj()).size(), 11u);
  EXPECT_EQ(dumped["host_id"].get_str(), "");

  // Through text, as it travels.
  RHV_Backup_Params back;
  ASSERT_TRUE(back.load(parse(JSON_Dump(dumped).str()).get_obj()));
  EXPECT_EQ(back.dump(), dumped);
  EXPECT_EQ(back.host_info.password, PASSWORD);
  EXPECT_EQ(back.client_io_opts, p.client_io_opts);
  EXPECT_EQ(back.backup_type, JOB_DEFINITION_SUBTYPE_INCREMENTAL);
  EXPECT_EQ(back.backup_method, NFC);
  ASSERT_EQ(back.attachments.size(), 1u);
  EXPECT_EQ(back.attachments[0].disk.storage_domains.at(0).id, "sd-1");

  // Names used while unset: the method as "nfc", a subtype without a name as "full".
  RHV_Backup_Params unset = sample_params();
  unset.backup_method = UNKNOWN;
  unset.backup_type = JOB_DEFINITION_SUBTYPE_NONE;
  json_spirit::Object d = unset.dump();
  EXPECT_EQ(d["backup_method"].get_str(), "nfc");
  EXPECT_EQ(d["backup_type"].get_str(), "full");
  unset.backup_method = SAN;
  EXPECT_EQ(unset.dump()["backup_method"].get_str(), "san");
}

TEST(RHV_Backup_Params, every_key_is_required)
{
  const json_spirit::Object full = sample_params().dump();
  std::vector<std::string> all(BASE_KEYS);
  all.insert(all.end(), BACKUP_KEYS.begin(), BACKUP_KEYS.end());
  for (const std::string& key : all) {
    json_spirit::Object o = full;
    o.erase(key);
    Log_Capture log(true);
    RHV_Backup_Params p;
    EXPECT_FALSE(p.load(o)) << key;
    bool base = std::find(BASE_KEYS.begin(), BASE_KEYS.end(), key) != BASE_KEYS.end();
    std::string expected = std::string(base ? "Failed to load RHV params: " : "Failed to load RHV backup params: ") +
                           "JSON member '" + key + "' not found\n";
    EXPECT_EQ(log.texts(LM_ERROR), std::vector<std::string>{expected}) << key;
  }
  // "action" is written but never read.
  json_spirit::Object o = full;
  o.erase("action");
  RHV_Backup_Params p;
  EXPECT_TRUE(p.load(o));
}

TEST(RHV_Backup_Params, load_failures_name_the_problem)
{
  const json_spirit::Object full = sample_params().dump();
  struct Case {
    const char* name;
    const char* key;
    const char* value;  // JSON text
    const char* line;   // the expected LM_ERROR line, "" to skip the comparison
  } cases[] = {
      {"options not an object", "client_io_opts", "[]",
       "Failed to load RHV params: JSON member 'client_io_opts' is array, not an object\n"},
      {"mistyped flag", "backupd_ssl", "\"yes\"", "Failed to load RHV params: JSON member 'backupd_ssl' is string, not a boolean\n"},
      {"unknown method", "backup_method", "\"lz\"", "Failed to load RHV params: invalid backup method, lz.\n"},
      {"upper-case method", "backup_method", "\"NFC\"", "Failed to load RHV params: invalid backup method, NFC.\n"},
      {"bad attachments", "attachments", "{\"disk_attachment\": [5]}", ""},
      {"attachments not an object", "attachments", "7",
       "Failed to load RHV backup params: Invalid disk attachments format, 7.\n"},
      {"catalog not an object", "catalog", "\"c\"",
       "Failed to load RHV backup params: JSON member 'catalog' is string, not an object\n"},
  };
  for (const Case& c : cases) {
    json_spirit::Object o = full;
    o[c.key] = parse(c.value);
    Log_Capture log(true);
    RHV_Backup_Params p;
    EXPECT_FALSE(p.load(o)) << c.name;
    std::vector<std::string> errors = log.texts(LM_ERROR);
    ASSERT_FALSE(errors.empty()) << c.name;
    if (*c.line != '\0')
      EXPECT_EQ(errors.back(), c.line) << c.name;
    else
      EXPECT_EQ(errors.back().rfind("Failed to load RHV backup params: Invalid disk attachments format, ", 0), 0u)
          << errors.back();
  }
}

TEST(RHV_Backup_Params, an_empty_password_is_read_again_as_plain_text)
{
  json_spirit::Object o = sample_params().dump();
  RHV_Backup_Params p;
  // A record whose password loads empty keeps the member's text: here "" again.
  o["host_info"].get_obj()["password"] = json_spirit::Value("");
  ASSERT_TRUE(p.load(o));
  EXPECT_EQ(p.host_info.password, "");

  // Without the member the load fails.
  o["host_info"].get_obj().erase("password");
  Log_Capture log(true);
  RHV_Backup_Params q;
  EXPECT_FALSE(q.load(o));
  EXPECT_EQ(log.texts(LM_ERROR), std::vector<std::string>{"Failed to load RHV params: JSON member 'password' not found\n"});
}

TEST(RHV_Backup_Params, failure_lines_never_show_the_password_or_storage_keys)
{
  // A host record that does not load: its line shows the record with the password masked.
  json_spirit::Object o = sample_params().dump();
  o["host_info"].get_obj()["port"] = json_spirit::Value("not-a-port");
  {
    Log_Capture log(true);
    RHV_Backup_Params p;
    EXPECT_FALSE(p.load(o));
    std::string all = log.dump();
    EXPECT_EQ(all.find("Pa55"), std::string::npos) << all;
    std::vector<std::string> errors = log.texts(LM_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind("Failed to load RHV params: invalid HOST entry, {", 0), 0u) << errors.back();
    EXPECT_NE(errors.back().find("\"password\":\"******\""), std::string::npos) << errors.back();
    EXPECT_NE(errors.back().find("\"port\":\"not-a-port\""), std::string::npos) << errors.back();
  }

  // I/O options that do not load: every value but the harmless ones is masked.
  o = sample_params().dump();
  json_spirit::Object& io = o["client_io_opts"].get_obj();
  io["compression_method"] = json_spirit::Value("zstd");
  io["key"] = json_spirit::Value("pool-secret-key");
  io["iv"] = json_spirit::Value("pool-secret-iv");
  io["tenant_access_key"] = json_spirit::Value("tenant-secret");
  io["extra_options"].get_obj()["Authorization"] = json_spirit::Value("Bearer io-token");
  io["session_secret"] = json_spirit::Value("unknown-secret");
  {
    Log_Capture log(true);
    RHV_Backup_Params p;
    EXPECT_FALSE(p.load(o));
    std::string all = log.dump();
    for (const char* secret :
         {"io-access-key", "pool-secret-key", "pool-secret-iv", "tenant-secret", "io-token", "unknown-secret", "Pa55"})
      EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in " << all;
    std::vector<std::string> errors = log.texts(LM_ERROR);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind("Failed to load RHV params: invalid I/O options, {", 0), 0u) << errors.back();
    EXPECT_NE(errors.back().find("\"X-Access-Key\":\"******\""), std::string::npos) << errors.back();
    EXPECT_NE(errors.back().find("\"compression_method\":\"zstd\""), std::string::npos) << errors.back();
  }
}
