// The servant alerter: the id and parameters of every alert, the activity fields it
// carries, and what happens when an alert cannot be sent.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "backup/rhv/job/rhv_alerter.h"
#include "backup/rhv/job/rhv_params.h"
#include "platform/job/job_types.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

std::vector<json_spirit::Object> read_alerts(const std::string& sink)
{
  std::vector<json_spirit::Object> out;
  std::ifstream in(sink);
  std::string line;
  while (std::getline(in, line)) {
    json_spirit::Value v;
    EXPECT_TRUE(json_spirit::parse(line, v, nullptr)) << line;
    if (v.type() == json_spirit::obj_type)
      out.push_back(v.get_obj());
  }
  return out;
}

RHV_Params sample_params()
{
  RHV_Params p;
  p.backupd_host = "127.0.0.1";
  p.backupd_port = 8443;
  p.access_key = "key-1";
  p.job_revision = 12;
  p.host_uuid = "host-uuid-1";
  p.resource_uuid = "resource-1";
  p.def_id = "def-1";
  return p;
}

TEST(RHV_Alert_Ids, carry_level_block_and_code)
{
  EXPECT_EQ(AGENT_RHEV_ERROR_FAILED_TO_LOGIN_RHV, 0x7000003290000001ULL);
  EXPECT_EQ(AGENT_RHEV_WARNING_NO_BACKUP_TARGET, 0x5000003290000003ULL);
  EXPECT_EQ(AGENT_RHEV_INFO_SUCCEED_TO_REMOVE_SNAPSHOT, 0x300000329000000aULL);
  EXPECT_EQ(AGENT_RHEV_ERROR_FAILED_TO_SUBMIT_CATALOG, 0x700000329000001cULL);
  EXPECT_EQ(AGENT_RHEV_INFO_SUCCEED_TO_BACKUP_VM, 0x300000329000001fULL);
  EXPECT_EQ(AGENT_RHEV_WARNING_POWERON_FAILED, 0x5000003290000020ULL);
}

TEST(RHV_Servant_Alerter, each_alert_has_its_id_and_parameters)
{
  Standin_Env env;
  RHV_Params params = sample_params();
  RHV_Servant_Alerter alerter;
  ASSERT_TRUE(alerter.init(&params, nullptr));

  const std::string a = "a", b = "b";
  struct Row {
    std::function<void()> raise;
    uint64_t id;
    const char* params;
  };
  const std::vector<Row> rows = {
    {[&] { alerter.failed_to_login_rhv("admin@internal", "engine.local", 443); }, 0x7000003290000001ULL,
     R"(["admin@internal","engine.local",443])"},
    {[&] { alerter.no_backup_disks("web-01"); }, 0x7000003290000005ULL, R"(["web-01"])"},
    {[&] { alerter.datastore_space_not_enough(); }, 0x7000003290000006ULL, "[]"},
    {[&] { alerter.failed_to_create_snapshot("web-01", "snap"); }, 0x7000003290000007ULL, R"(["web-01","snap"])"},
    {[&] { alerter.succeed_to_create_snapshot("web-01", "snap"); }, 0x3000003290000008ULL, R"(["web-01","snap"])"},
    {[&] { alerter.failed_to_remove_snapshot("web-01", "snap"); }, 0x7000003290000009ULL, R"(["web-01","snap"])"},
    {[&] { alerter.succeed_to_remove_snapshot("web-01", "snap"); }, 0x300000329000000aULL, R"(["web-01","snap"])"},
    {[&] { alerter.failed_to_create_backup(a, b); }, 0x700000329000000bULL, R"(["a","b"])"},
    {[&] { alerter.succeed_to_create_backup(a, b); }, 0x300000329000000cULL, R"(["a","b"])"},
    {[&] { alerter.failed_to_finalize_backup(a, b); }, 0x700000329000000dULL, R"(["a","b"])"},
    {[&] { alerter.succeed_to_finalize_backup(a, b); }, 0x300000329000000eULL, R"(["a","b"])"},
    {[&] { alerter.failed_to_create_transfer(a); }, 0x700000329000000fULL, R"(["a"])"},
    {[&] { alerter.succeed_to_create_transfer(a); }, 0x3000003290000010ULL, R"(["a"])"},
    {[&] { alerter.failed_to_finalize_transfer(a); }, 0x7000003290000011ULL, R"(["a"])"},
    {[&] { alerter.succeed_to_finalize_transfer(a); }, 0x3000003290000012ULL, R"(["a"])"},
    {[&] { alerter.failed_to_attach_disk("agent", "disk-1"); }, 0x7000003290000013ULL, R"(["agent","disk-1"])"},
    {[&] { alerter.succeed_to_attach_disk("agent", "disk-1"); }, 0x3000003290000014ULL, R"(["agent","disk-1"])"},
    {[&] { alerter.failed_to_detach_disk("agent", "disk-1"); }, 0x7000003290000015ULL, R"(["agent","disk-1"])"},
    {[&] { alerter.succeed_to_detach_disk("agent", "disk-1"); }, 0x3000003290000016ULL, R"(["agent","disk-1"])"},
    {[&] { alerter.failed_to_create_disk("disk-1"); }, 0x7000003290000017ULL, R"(["disk-1"])"},
    {[&] { alerter.succeed_to_create_disk("disk-1"); }, 0x3000003290000018ULL, R"(["disk-1"])"},
    {[&] { alerter.failed_to_create_vm("web-01"); }, 0x7000003290000019ULL, R"(["web-01"])"},
    {[&] { alerter.succeed_to_create_vm("web-01"); }, 0x300000329000001aULL, R"(["web-01"])"},
    {[&] { alerter.failed_to_get_catalog(); }, 0x700000329000001bULL, "[]"},
    {[&] { alerter.failed_to_submit_catalog(); }, 0x700000329000001cULL, "[]"},
    {[&] { alerter.no_base_full_backup_set_exist(a); }, 0x700000329000001dULL, R"(["a"])"},
    {[&] { alerter.failed_to_restore_data(); }, 0x700000329000001eULL, "[]"},
    {[&] { alerter.failed_to_poweron_vm("web-01"); }, 0x5000003290000020ULL, R"(["web-01"])"},
  };
  for (const Row& row : rows)
    row.raise();

  std::vector<json_spirit::Object> alerts = read_alerts(env.alert_sink());
  ASSERT_EQ(alerts.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(alerts[i].at("id").get_uint64(), rows[i].id);
    EXPECT_EQ(alerts[i].at("level").get_int64(), static_cast<int64_t>(rows[i].id >> 60));
    EXPECT_EQ(alerts[i].at("code").get_int64(), static_cast<int64_t>(rows[i].id & 0xfffffff));
    EXPECT_EQ(JSON_Dump(alerts[i].at("params")).str(), rows[i].params);
    EXPECT_EQ(alerts[i].at("revision").get_int64(), 12);
    EXPECT_EQ(JSON_Dump(alerts[i].at("uuids")).str(),
              R"({"def_id":"def-1","host_uuid":"host-uuid-1","resource_uuid":"resource-1"})");
    EXPECT_EQ(alerts[i].at("activity").get_str(), "");
    EXPECT_EQ(alerts[i].at("start").get_int64(), 0);
    EXPECT_EQ(alerts[i].at("end").get_int64(), 0);
  }
}

TEST(RHV_Servant_Alerter, activity_fields_follow_the_job_state)
{
  Standin_Env env;
  RHV_Params params = sample_params();
  Job_Activity act;
  std::memset(static_cast<void*>(&act), 0, sizeof act);
  for (int i = 0; i < 16; ++i)
    act.id[i] = static_cast<uint8_t>(0x10 + i);
  act.start_time = 1700000000;
  act.last_run_time = 1700000500;

  RHV_Servant_Alerter alerter;
  ASSERT_TRUE(alerter.init(&params, &act));
  // The end time is only given once the job has ended (completed, canceled or failed).
  const std::vector<std::pair<int, int64_t>> rows = {
    {JOB_STATE_RUNNING, 0},          {JOB_STATE_COMPLETED, 1700000500}, {JOB_STATE_CANCELING, 0},
    {JOB_STATE_CANCELED, 1700000500}, {JOB_STATE_ERROR, 1700000500},     {JOB_STATE_ABORTING, 0},
  };
  for (const auto& row : rows) {
    act.state = row.first;
    alerter.failed_to_get_catalog();
  }
  std::vector<json_spirit::Object> alerts = read_alerts(env.alert_sink());
  ASSERT_EQ(alerts.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].first);
    EXPECT_EQ(alerts[i].at("activity").get_str(), "10111213-1415-1617-1819-1a1b1c1d1e1f");
    EXPECT_EQ(alerts[i].at("start").get_int64(), 1700000000);
    EXPECT_EQ(alerts[i].at("end").get_int64(), rows[i].second);
  }
}

TEST(RHV_Servant_Alerter, failures_are_logged_and_nothing_is_sent)
{
  Standin_Env env;
  RHV_Params params = sample_params();

  // Before init: only the check message.
  {
    Log_Capture log(true);
    RHV_Servant_Alerter alerter;
    alerter.failed_to_submit_catalog();
    std::vector<Log_Capture::Line> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, LM_EMERGENCY);
    EXPECT_EQ(lines[0].text.rfind("Unexpected error in backup/rhv/job/rhv_alerter.cpp:", 0), 0u) << lines[0].text;
    EXPECT_NE(lines[0].text.find(", rhv_params_ is NULL:\n"), std::string::npos) << lines[0].text;
    EXPECT_FALSE(alerter.init(nullptr, nullptr));
    EXPECT_NE(log.dump().find(", params is NULL:\n"), std::string::npos);
  }
  EXPECT_TRUE(read_alerts(env.alert_sink()).empty());

  // A sink that cannot be written: a warning with the level and code, the flow goes on.
  ASSERT_TRUE(env.set("alert_sink", env.path("sink-is-a-folder")));
  ASSERT_EQ(::mkdir(env.path("sink-is-a-folder").c_str(), 0750), 0);
  Log_Capture log(true);
  RHV_Servant_Alerter alerter;
  ASSERT_TRUE(alerter.init(&params, nullptr));
  alerter.failed_to_detach_disk("agent", "disk-1");
  EXPECT_EQ(log.texts(LM_WARNING), (std::vector<std::string>{"Failed to send RHV alert level 7, code 21.\n"}));
}

}  // namespace
