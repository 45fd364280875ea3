#include "platform/storage/client_io_base.h"

#include <gtest/gtest.h>

#include "platform/http/json_restful_client.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/storage/backup_set_storage_selector.h"
#include "platform/storage/pool_info.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

Value parse(const std::string& text)
{
  Value v;
  EXPECT_TRUE(json_spirit::parse(text, v)) << text;
  return v;
}

TEST(Compression, NamesValuesAndSuffixes)
{
  struct Case {
    const char* name;
    int value;
    const char* suffix;
  };
  for (const Case& c : {Case{"none", COMPR_NONE, ""}, Case{"auto", COMPR_AUTO, ""}, Case{"lz4", COMPR_LZ4, ".lz4"},
                        Case{"zstd", COMPR_ZSTD, ".zst"}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compression_name_to_value(c.name, -1), c.value);
    EXPECT_STREQ(compression_value_to_name(c.value), c.name);
    EXPECT_STREQ(compression_value_to_suffix(c.value), c.suffix);
  }
  for (const char* bad : {"NONE", "lz", "zstd ", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(compression_name_to_value(bad, -1), -1) << (bad ? bad : "(null)");
  EXPECT_EQ(compression_name_to_value("gzip", 7), 7);
  EXPECT_EQ(compression_value_to_name(-1), nullptr);
  EXPECT_EQ(compression_value_to_name(4), nullptr);
  EXPECT_STREQ(compression_value_to_suffix(99), "");
}

TEST(Rate_Limits, SharedAmongChannelsInEveryCallForm)
{
  struct Case {
    std::uint64_t dest, src;
    unsigned channels;
    std::uint64_t want_dest, want_src;
  };
  const Case cases[] = {
      {1000, 3000, 3, 333, 1000},  // rounded down
      {0, 500, 4, 0, 125},         // unlimited stays unlimited
      {5, 2, 8, 1, 1},             // a limited transfer stays limited
      {700, 900, 1, 700, 900},
      {700, 900, 0, 700, 900},  // no channel: unchanged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dest << "/" << c.src << " over " << c.channels);
    Rate_Limits a{c.dest, c.src}, b = a, d = a;
    a.set_rate_limits_by_channels(c.channels);
    Rate_Limits::set_rate_limits_by_channels(b, c.channels);
    set_rate_limits_by_channels(d, c.channels);
    for (const Rate_Limits* r : {&a, &b, &d}) {
      EXPECT_EQ(r->dest_rate_limits, c.want_dest);
      EXPECT_EQ(r->src_rate_limits, c.want_src);
    }
  }
}

Client_IO_Base::Options full_options()
{
  Client_IO_Base::Options o;
  o.compression_method = COMPR_ZSTD;
  o.compression_level = -3;
  o.max_seconds_retry = 600;
  o.resumption_buffer_size = 18446744073709551615ull;
  o.rate_limits = Rate_Limits{1 << 20, 2 << 20};
  o.server_side_dedup = true;
  o.d2t_access_mode = D2T_Access_RPC;
  o.server_side_encryption = true;
  o.cipher = ENCRYPTION_AES_256_CBC;
  o.key = "k";
  o.iv = "iv";
  o.tenant_access_key = "tenant";
  o.dedup_backend_type = "cas";
  o.set_extra_option("X-Access-Key", "secret");
  o.set_extra_option("X-Access-Key", "replaced");
  o.set_extra_option("Other", "");
  return o;
}

TEST(Client_IO_Options, JsonFormRoundTripsThroughText)
{
  const Client_IO_Base::Options o = full_options();
  const std::string text = JSON_Dump(o.dump()).str();
  EXPECT_EQ(text,
            "{\"cipher\":2,\"compression_level\":-3,\"compression_method\":3,\"d2t_access_mode\":2,"
            "\"dedup_backend_type\":\"cas\",\"extra_options\":{\"Other\":\"\",\"X-Access-Key\":\"replaced\"},"
            "\"iv\":\"iv\",\"key\":\"k\",\"max_seconds_retry\":600,\"rate_limits\":{\"dest_rate_limits\":1048576,"
            "\"src_rate_limits\":2097152},\"resumption_buffer_size\":18446744073709551615,"
            "\"server_side_dedup\":true,\"server_side_encryption\":true,\"tenant_access_key\":\"tenant\"}");
  Client_IO_Base::Options back;
  ASSERT_TRUE(back.load(parse(text)));
  EXPECT_TRUE(back == o);

  // The defaults survive the trip too, and an empty object gives the defaults.
  Client_IO_Base::Options d;
  ASSERT_TRUE(back.load(Value(Client_IO_Base::Options().dump())));
  EXPECT_TRUE(back == d);
  ASSERT_TRUE(back.load(parse("{\"unknown\": [1, 2]}")));
  EXPECT_TRUE(back == d);
}

TEST(Client_IO_Options, MaskedFormHidesKeysForLogLines)
{
  Value v(full_options().dump());
  v.get_obj()["extra_options"].get_obj()["Bad"] = 3;
  v.get_obj()["unknown"] = "hidden-unknown";
  const std::string text = JSON_Dump(Client_IO_Base::Options::masked(v)).str();
  for (const char* secret : {"\"k\"", "\"iv\":\"iv\"", "tenant\"", "replaced", "\"Bad\":3", "hidden-unknown"})
    EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << text;
  EXPECT_NE(text.find("\"X-Access-Key\":\"******\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"compression_method\":3"), std::string::npos) << "other members stay";
  EXPECT_EQ(JSON_Dump(Client_IO_Base::Options::masked(Value("text"))).str(), "\"text\"");
}

TEST(Client_IO_Options, LoadReportsMistypedMembersAndKeepsTheRecord)
{
  struct Case {
    const char* json;
    const char* why;
  };
  const Case cases[] = {
      {"[]", "options are not an object"},
      {"{\"compression_method\": \"zstd\"}", "compression_method is not a 32-bit integer"},
      {"{\"compression_level\": 4294967296}", "compression_level is not a 32-bit integer"},
      {"{\"max_seconds_retry\": 1.5}", "max_seconds_retry is not a 32-bit integer"},
      {"{\"resumption_buffer_size\": -1}", "resumption_buffer_size is not a non-negative integer"},
      {"{\"server_side_dedup\": 1}", "server_side_dedup is not a boolean"},
      {"{\"d2t_access_mode\": 3}", "d2t_access_mode is not 0, 1 or 2"},
      {"{\"key\": null}", "key is not a string"},
      {"{\"rate_limits\": 5}", "rate_limits is not an object"},
      {"{\"rate_limits\": {\"src_rate_limits\": -2}}", "rate_limits.src_rate_limits is not a non-negative integer"},
      {"{\"extra_options\": {\"X-Access-Key\": 1}}", "extra_options.X-Access-Key is not a string"},
      {"{\"extra_options\": []}", "extra_options is not an object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Client_IO_Base::Options o = full_options();
    std::string why;
    EXPECT_FALSE(o.load(parse(c.json), &why));
    EXPECT_EQ(why, c.why);
    EXPECT_TRUE(o == full_options()) << "a failed load changed the record";
  }
}

TEST(Pool_Info, DefaultsAndRegistryLookupInBothForms)
{
  const Pool_Info d;
  EXPECT_TRUE(d.uuid.empty() && d.name.empty() && d.host_uuid.empty() && d.url.empty());
  EXPECT_TRUE(d.device_exists);
  EXPECT_FALSE(d.multidevice || d.server_side_encryption || d.s3_enabled);
  EXPECT_EQ(d.cipher, ENCRYPTION_NONE);
  EXPECT_TRUE(d.key.empty() && d.iv.empty() && d.preferred_source_address.empty() && d.tenant_access_key.empty() &&
              d.dedup_backend_type.empty());
  EXPECT_TRUE(d.ext_attrs.empty() && d.node_addrs.empty() && d.default_s3.empty());

  Standin_Env env;
  const std::string second_url = env.add_pool("5e7a1d00-0000-4000-8000-0000000000b2", "second");
  ASSERT_TRUE(env.set("pool.5e7a1d00-0000-4000-8000-0000000000c3.url", "file://" + env.path("pools/never-made")));

  Pool_Info info;
  ASSERT_TRUE(get_pool_info(Standin_Env::DEFAULT_POOL_UUID, "device-0", info, false, 0, nullptr, true, nullptr, nullptr,
                            false));
  EXPECT_EQ(info.uuid, Standin_Env::DEFAULT_POOL_UUID);
  EXPECT_EQ(info.name, "default-pool");
  EXPECT_EQ(info.url, "file://" + env.default_pool_dir());
  EXPECT_TRUE(info.device_exists);

  // The servants' form, through their client of the backup server.
  JSON_RESTful_Client upstream;
  ASSERT_TRUE(upstream.reset("127.0.0.1", 8443, false));
  Pool_Info second;
  ASSERT_TRUE(get_pool_info(upstream, "5e7a1d00-0000-4000-8000-0000000000b2", nullptr, second, false, nullptr, 0, -1,
                            true, nullptr, nullptr, false));
  EXPECT_EQ(second.name, "second");
  EXPECT_EQ(second.url, second_url);

  Pool_Info missing_dir;
  ASSERT_TRUE(get_pool_info("5e7a1d00-0000-4000-8000-0000000000c3", "", missing_dir));
  EXPECT_FALSE(missing_dir.device_exists);

  Log_Capture log(true);
  Pool_Info untouched = info;
  std::string why;
  EXPECT_FALSE(get_pool_info("no-such-pool", "", untouched, false, 0, nullptr, true, &why));
  EXPECT_EQ(untouched.uuid, info.uuid);
  EXPECT_EQ(why, "storage pool 'no-such-pool' is not registered");
  EXPECT_EQ(log.texts(LM_ERROR), std::vector<std::string>{"Storage pool 'no-such-pool' is not registered.\n"});
}

TEST(Pool_Info, OptionsCompletedByPool)
{
  Pool_Info info;
  info.uuid = "p";
  info.url = "file:///x";
  info.server_side_encryption = true;
  info.cipher = ENCRYPTION_AES_128_CBC;
  info.key = "key";
  info.iv = "iv";
  info.tenant_access_key = "tenant";
  Client_IO_Base::Options o;
  o.compression_method = COMPR_AUTO;
  o.set_extra_option("X-Access-Key", "a");
  ASSERT_TRUE(set_options_by_pool(o, info));
  EXPECT_TRUE(o.server_side_encryption);
  EXPECT_EQ(o.cipher, ENCRYPTION_AES_128_CBC);
  EXPECT_EQ(o.key, "key");
  EXPECT_EQ(o.iv, "iv");
  EXPECT_EQ(o.tenant_access_key, "tenant");
  EXPECT_EQ(o.compression_method, COMPR_AUTO) << "fields of the job are kept";
  EXPECT_EQ(o.extra_options.at("X-Access-Key"), "a");

  Log_Capture log(true);
  EXPECT_FALSE(set_options_by_pool(o, Pool_Info()));
  EXPECT_TRUE(log.contains("has no URL"));
}

TEST(Backup_Set_Storage_Selector, PicksTheFirstRegisteredPool)
{
  Standin_Env env;
  env.add_pool("pool-b", "b");
  auto storage = [](const char* uuid) {
    Object s;
    s["pool_uuid"] = uuid;
    s["size"] = 10;
    return Value(s);
  };
  struct Case {
    const char* name;
    Array storages;
    int mode;
    std::string want;
  };
  const Case cases[] = {
      {"registered after unknown", {storage("gone"), Value(5), storage("pool-b"), storage(Standin_Env::DEFAULT_POOL_UUID)}, 1, "pool-b"},
      {"none registered", {storage("gone"), storage("")}, 1, ""},
      {"empty list", {}, 1, ""},
      {"first listed", {Value("x"), storage("gone"), storage("pool-b")}, 0, "gone"},
      {"unknown mode", {storage("pool-b")}, 9, ""},
  };
  Log_Capture log(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Backup_Set_Storage_Selector(c.storages, c.mode).pool_uuid(), c.want);
  }
}

}  // namespace
