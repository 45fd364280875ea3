#include "backup/client_io/client_io_options.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "backup/client_io/backoff_range.h"
#include "backup/client_io/option_threshold.h"
#include "platform/job/job_definition.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

namespace opt = rhv::options;

TEST(Option_Threshold, TableOfLimitsAndDefaults)
{
  EXPECT_STREQ(opt::parallel_vms.name(), "parallel_vms");
  EXPECT_STREQ(opt::block_size.name(), "block_size");
  struct Row {
    const char* key;
    long long max, min, def;
    long long got_max, got_min, got_def;
  };
  const Row rows[] = {
      {"parallel_vms", 10, 1, 2, opt::parallel_vms.max, opt::parallel_vms.min, opt::parallel_vms.default_},
      {"parallel_disks_per_vm", 5, 1, 2, opt::parallel_disks_per_vm.max, opt::parallel_disks_per_vm.min,
       opt::parallel_disks_per_vm.default_},
      {"parallel_workers_per_disk", 1, 1, 1, opt::parallel_workers_per_disk.max, opt::parallel_workers_per_disk.min,
       opt::parallel_workers_per_disk.default_},
      {"block_size", 8388608, 65536, 8388608, opt::block_size.max, opt::block_size.min, opt::block_size.default_},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.key);
    EXPECT_EQ(r.got_max, r.max);
    EXPECT_EQ(r.got_min, r.min);
    EXPECT_EQ(r.got_def, r.def);
  }
  EXPECT_EQ(opt::storage_reserved_bytes.default_, 10737418240LL);
  EXPECT_EQ(opt::storage_reserved_percent.default_, 20);
  EXPECT_STREQ(opt::storage_reserved_bytes.name(), "storage_reserved_bytes");
  EXPECT_STREQ(opt::storage_reserved_percent.name(), "storage_reserved_percent");
}

TEST(Option_Threshold, CheckIsInclusiveAndLogsTheKey)
{
  struct Case {
    const char* key;
    std::function<bool()> check;
    bool ok;
  };
  const Case cases[] = {
      {"block_size", [] { return opt::block_size.check(65536); }, true},
      {"block_size", [] { return opt::block_size.check(8388608); }, true},
      {"block_size", [] { return opt::block_size.check(65535); }, false},
      {"block_size", [] { return opt::block_size.check(8388609); }, false},
      {"parallel_vms", [] { return opt::parallel_vms.check(0); }, false},
      {"parallel_vms", [] { return opt::parallel_vms.check(11); }, false},
      {"parallel_vms", [] { return opt::parallel_vms.check(10); }, true},
      {"parallel_vms", [] { return opt::parallel_vms.check(1); }, true},
      // An unsigned option value above INT_MAX wraps negative and is refused.
      {"parallel_disks_per_vm", [] { return opt::parallel_disks_per_vm.check(static_cast<int>(4294967295u)); }, false},
      {"parallel_disks_per_vm", [] { return opt::parallel_disks_per_vm.check(5); }, true},
      {"parallel_workers_per_disk", [] { return opt::parallel_workers_per_disk.check(2); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Log_Capture log(true);
    EXPECT_EQ(c.check(), c.ok);
    if (c.ok) {
      EXPECT_TRUE(log.texts().empty()) << log.dump();
    } else {
      EXPECT_EQ(log.texts(LM_ERROR), std::vector<std::string>{std::string("Option ") + c.key + " exceeded limits.\n"});
      EXPECT_EQ(log.texts().size(), 1u);
    }
  }
}

TEST(Client_IO_Setters, AccessKeyFollowsTheHostRole)
{
  struct Case {
    const char* on_backupd;
    const char* key;
  };
  for (const Case& c : {Case{"false", "test-access-key"}, Case{"true", "test-node-access-key"}}) {
    SCOPED_TRACE(c.on_backupd);
    Standin_Env env({{"on_backupd", c.on_backupd}});
    Client_IO_Base::Options o;
    o.set_extra_option("Keep", "me");
    EXPECT_TRUE(set_options_by_host(o));
    EXPECT_EQ(o.extra_options, (std::map<std::string, std::string>{{"Keep", "me"}, {"X-Access-Key", c.key}}));
  }

  Client_IO_Base::Options o;
  EXPECT_TRUE(set_access_key_to_options(o, "k1"));
  EXPECT_TRUE(set_access_key_to_options(o, "k2"));
  EXPECT_EQ(o.extra_options, (std::map<std::string, std::string>{{"X-Access-Key", "k2"}}));
  EXPECT_TRUE(set_http_head_to_options(o, HTTP_HEAD_CONTENT_TYPE, "application/json"));
  EXPECT_EQ(o.extra_options.at("Content-Type"), "application/json");
  EXPECT_TRUE(set_http_head_to_options(o, 9999, "ignored"));
  EXPECT_TRUE(set_http_head_to_options(o, -1, "ignored"));
  EXPECT_EQ(o.extra_options.size(), 2u) << "an id without a name adds nothing";

  EXPECT_EQ(o.d2t_access_mode, D2T_Access_Auto);
  EXPECT_TRUE(set_d2t_access_mode(o));
  EXPECT_EQ(o.d2t_access_mode, D2T_Access_RPC);
  EXPECT_EQ(static_cast<int>(D2T_Access_LAN_Base), 1);
}

Job_Definition definition_with_limits()
{
  json_spirit::Value doc;
  EXPECT_TRUE(json_spirit::parse(
      "{\"max_seconds_retry\": 900, \"resumption_buffer_size\": 67108864, \"server_side_dedup\": true,"
      " \"rate_limits\": {\"dest_rate_limits\": 1000, \"src_rate_limits\": 10}}",
      doc));
  Job_Definition def;
  EXPECT_TRUE(def.load(doc));
  return def;
}

TEST(Client_IO_Setters, JobDefinitionFieldsWithLimitsSharedByChannel)
{
  Client_IO_Base::Options o;
  o.compression_method = COMPR_LZ4;
  EXPECT_TRUE(set_options_by_job_def(o, definition_with_limits(), 3));
  EXPECT_EQ(o.max_seconds_retry, 900);
  EXPECT_EQ(o.resumption_buffer_size, 64u << 20);
  EXPECT_EQ(o.rate_limits, (Rate_Limits{333, 3}));
  EXPECT_TRUE(o.server_side_dedup);
  EXPECT_EQ(o.compression_method, COMPR_LZ4);
  // Set again from the definition, the limits are not shared twice.
  EXPECT_TRUE(set_options_by_job_def(o, definition_with_limits(), 2));
  EXPECT_EQ(o.rate_limits, (Rate_Limits{500, 5}));
}

TEST(Backoff_Range, StartsAtTheSlotStaysUnderTheCapAndEnds)
{
  struct Case {
    unsigned slot, retries, cap;
    bool jitter;
  };
  for (const Case& c : {Case{1, 30, 120, false}, Case{1, 11, 3, false}, Case{1, 100, 30, true}}) {
    SCOPED_TRACE(testing::Message() << c.slot << "," << c.retries << "," << c.cap << "," << c.jitter);
    std::vector<unsigned> delays;
    for (unsigned d : exponential_backoff(c.slot, c.retries, c.cap, c.jitter)) delays.push_back(d);
    ASSERT_FALSE(delays.empty());
    EXPECT_LE(delays.size(), c.retries);
    if (!c.jitter) {
      EXPECT_EQ(delays.front(), c.slot);
      EXPECT_TRUE(std::is_sorted(delays.begin(), delays.end()));
    }
    for (unsigned d : delays) {
      EXPECT_GE(d, c.slot);
      EXPECT_LE(d, c.cap);
    }
  }
  // The range from a given iterator runs to the same end.
  Exponential_Backoff_Iterator it(1, 4, 8, false);
  ++it;
  std::vector<unsigned> rest;
  for (unsigned d : exponential_backoff(it)) rest.push_back(d);
  EXPECT_EQ(rest, (std::vector<unsigned>{2, 4, 8}));
}

}  // namespace
