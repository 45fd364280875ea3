// Backup, checkpoint and image-transfer records, their phase tables, and the services of
// the engine's backup API against the engine simulator.

#include "backup/rhv/api/rhv_defs_backup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_backup_service.h"
#include "backup/rhv/api/rhv_client.h"
#include "backup/rhv/api/rhv_image_io.h"
#include "tests/backup/rhv/api/engine_fixture.h"
#include "tests/backup/rhv/api/record_test_helpers.h"
#include "tests/support/engine_simulator_backup.h"
#include "tests/support/imageio_server.h"

using json_spirit::Object;
using namespace record_test;
using Lines = std::vector<std::string>;

namespace {

const char* const BACKUP_ID = "b0000000-0000-4000-8000-000000000001";
const char* const VM_ID = "e0000000-0000-4000-8000-000000000001";

}  // namespace

// ---------------------------------------------------------------------------------------
// Phase tables

TEST(Backup_Phase, names_and_values_in_both_directions)
{
  struct Row {
    const char* name;
    RHV_Backup_Phase phase;
  } const rows[] = {{"failed", RHV_Backup_Phase::FAILED},           {"finalizing", RHV_Backup_Phase::FINALIZING},
                    {"initializing", RHV_Backup_Phase::INITIALIZING}, {"ready", RHV_Backup_Phase::READY},
                    {"starting", RHV_Backup_Phase::STARTING},       {"succeeded", RHV_Backup_Phase::SUCCEEDED}};
  int expected_value = 0;
  for (const Row& r : rows) {
    EXPECT_EQ(static_cast<int>(r.phase), expected_value++) << r.name;
    EXPECT_EQ(name_to_backup_phase(r.name), r.phase) << r.name;
    ASSERT_NE(backup_phase_to_name(r.phase), nullptr) << r.name;
    EXPECT_STREQ(backup_phase_to_name(r.phase), r.name);
  }
  EXPECT_EQ(static_cast<int>(RHV_Backup_Phase::NONE), 6);
  EXPECT_EQ(backup_phase_to_name(RHV_Backup_Phase::NONE), nullptr);
  EXPECT_EQ(backup_phase_to_name(static_cast<RHV_Backup_Phase>(42)), nullptr);
  EXPECT_EQ(backup_phase_table[6].key, nullptr);
  EXPECT_EQ(backup_phase_table[6].value, RHV_Backup_Phase::NONE);
}

TEST(Transfer_Phase, names_and_values_in_both_directions)
{
  const char* const names[] = {"finalizing_cleanup", "finalizing_failure", "finalizing_success", "finished_cleanup",
                               "finished_failure",   "finished_success",   "initializing",       "paused_system",
                               "paused_user",        "resuming",           "transferring",       "unknown"};
  for (int i = 0; i < 12; ++i) {
    RHV_Image_Transfer_Phase phase = static_cast<RHV_Image_Transfer_Phase>(i);
    EXPECT_EQ(name_to_transfer_phase(names[i]), phase) << names[i];
    ASSERT_NE(transfer_phase_to_name(phase), nullptr) << i;
    EXPECT_STREQ(transfer_phase_to_name(phase), names[i]);
    EXPECT_EQ(transfer_phase_table[i].len, std::string(names[i]).size());
  }
  EXPECT_EQ(static_cast<int>(RHV_Image_Transfer_Phase::NONE), 12);
  EXPECT_EQ(transfer_phase_to_name(RHV_Image_Transfer_Phase::NONE), nullptr);
  EXPECT_EQ(transfer_phase_table[12].key, nullptr);
}

TEST(Backup_Phase, lookups_compare_length_and_bytes_exactly)
{
  struct Row {
    const char* name;
    int length;
    RHV_Backup_Phase expected;
  } const rows[] = {
    {"ready", 0, RHV_Backup_Phase::READY},
    {"ready", 5, RHV_Backup_Phase::READY},
    {"ready", 3, RHV_Backup_Phase::NONE},           // "rea" is no name
    {"readyX", 5, RHV_Backup_Phase::READY},         // only the first five bytes count
    {"readyX", 0, RHV_Backup_Phase::NONE},
    {"Ready", 0, RHV_Backup_Phase::NONE},           // letter case counts
    {"READY", 0, RHV_Backup_Phase::NONE},
    {"", 0, RHV_Backup_Phase::NONE},
    {nullptr, 0, RHV_Backup_Phase::NONE},
    {nullptr, 5, RHV_Backup_Phase::NONE},
    {"succeeded", 0, RHV_Backup_Phase::SUCCEEDED},
  };
  for (const Row& r : rows)
    EXPECT_EQ(name_to_backup_phase(r.name, r.length), r.expected)
        << (r.name ? r.name : "(null)") << " length " << r.length;
  EXPECT_EQ(name_to_transfer_phase("transferring", 0), RHV_Image_Transfer_Phase::TRANSFERRING);
  EXPECT_EQ(name_to_transfer_phase("finished", 0), RHV_Image_Transfer_Phase::NONE);
  EXPECT_EQ(name_to_transfer_phase("finished_success_", 16), RHV_Image_Transfer_Phase::FINISHED_SUCCESS);
  EXPECT_EQ(name_to_transfer_phase(nullptr), RHV_Image_Transfer_Phase::NONE);
}

// ---------------------------------------------------------------------------------------
// Records

TEST(Backup_Record, loads_an_engine_backup_with_its_disks_and_dumps_it_back)
{
  Object in = obj(R"({"id": "b0000000-0000-4000-8000-000000000001", "name": "nightly", "href": "/x",
    "creation_date": 1700000000123, "from_checkpoint_id": "c1", "to_checkpoint_id": "c2", "phase": "ready",
    "vm": {"id": "e0000000-0000-4000-8000-000000000001", "href": "/vms/e1"},
    "snapshot": {"id": "s1"},
    "disks": {"disk": [{"id": "d1", "provisioned_size": "1073741824", "format": "cow", "backup": "incremental"},
                       {"id": "d2", "sparse": "true"}]}})");
  RHV_Backup b;
  ASSERT_TRUE(b.load(in));
  EXPECT_EQ(b.id, BACKUP_ID);
  EXPECT_EQ(b.name, "nightly");
  EXPECT_EQ(b.creation_date, 1700000000123L);
  EXPECT_EQ(b.from_checkpoint_id, "c1");
  EXPECT_EQ(b.to_checkpoint_id, "c2");
  EXPECT_EQ(b.phase, RHV_Backup_Phase::READY);
  EXPECT_EQ(b.vm.id, VM_ID);
  EXPECT_EQ(b.snapshot.id, "s1");
  ASSERT_EQ(b.disks.size(), 2u);
  EXPECT_EQ(b.disks[0].provisioned_size, 1073741824L);
  EXPECT_EQ(b.disks[0].backup, "incremental");
  EXPECT_EQ(b.disks[1].id, "d2");
  EXPECT_EQ(dump_text(b),
            R"({"creation_date":1700000000123,"disks":{"disk":[{"backup":"incremental","format":"cow","id":"d1",)"
            R"("provisioned_size":"1073741824"},{"id":"d2","sparse":"true"}]},"from_checkpoint_id":"c1",)"
            R"("id":"b0000000-0000-4000-8000-000000000001","name":"nightly","phase":"ready",)"
            R"("snapshot":{"id":"s1"},"to_checkpoint_id":"c2","vm":{"id":"e0000000-0000-4000-8000-000000000001"}})");
}

TEST(Backup_Record, defaults_dump_nothing_and_unknown_phases_load_as_none)
{
  RHV_Backup empty;
  EXPECT_EQ(dump_text(empty), "{}");
  EXPECT_EQ(empty.phase, RHV_Backup_Phase::NONE);

  // A phase that differs only in letter case, and one that the table does not know.
  for (const char* phase : {"Ready", "READY", "paused", ""}) {
    RHV_Backup b;
    ASSERT_TRUE(b.load(obj(std::string(R"({"id": "b1", "phase": ")") + phase + "\"}"))) << phase;
    EXPECT_EQ(b.phase, RHV_Backup_Phase::NONE) << phase;
    EXPECT_EQ(dump_text(b), R"({"id":"b1"})") << phase;
  }
  // A second load resets what the first one set.
  RHV_Backup b;
  ASSERT_TRUE(b.load(obj(R"({"id": "b1", "phase": "failed", "creation_date": 5, "disks": {"disk": [{"id": "d"}]}})")));
  ASSERT_TRUE(b.load(obj(R"({"id": "b2"})")));
  EXPECT_EQ(dump_text(b), R"({"id":"b2"})");
}

TEST(Backup_Records, failed_loads_log_each_level_and_leave_the_record_untouched)
{
  const std::string seed = R"({"id": "seed", "phase": "starting", "to_checkpoint_id": "c0"})";
  struct Row {
    const char* what;
    std::string input;
    Lines lines;  // "{id:<object>}" stands for the base record's exception line about <object>
  };
  const Row rows[] = {
    {"no id", R"({"name": "x"})", {"{id:{\"name\":\"x\"}}", "Invalid object format: '{\"name\":\"x\"}'.\n"}},
    {"vm link without id",
     R"({"id": "b", "vm": {"name": "v"}})",
     {"{id:{\"name\":\"v\"}}", "Invalid vm format: '{\"name\":\"v\"}'.\n"}},
    {"snapshot link without id",
     R"({"id": "b", "vm": {"id": "v"}, "snapshot": {"href": "/s"}})",
     {"{id:{\"href\":\"/s\"}}", "Invalid snapshot format: '{\"href\":\"/s\"}'.\n"}},
    {"a disk without id",
     R"({"id": "b", "disks": {"disk": [{"id": "d1"}, {"name": "d2"}]}})",
     {"{id:{\"name\":\"d2\"}}", "Invalid object format: '{\"name\":\"d2\"}'.\n",
      "Invalid disk format: '{\"name\":\"d2\"}'.\n",
      "Invalid disks format: '{\"disk\":[{\"id\":\"d1\"},{\"name\":\"d2\"}]}'.\n"}},
    {"a disk with a bad size",
     R"({"id": "b", "disks": {"disk": [{"id": "d1", "provisioned_size": "big"}]}})",
     {"Invalid provisioned size format: 'big'.\n",
      "Invalid disk format: '{\"id\":\"d1\",\"provisioned_size\":\"big\"}'.\n",
      "Invalid disks format: '{\"disk\":[{\"id\":\"d1\",\"provisioned_size\":\"big\"}]}'.\n"}},
  };
  for (const Row& r : rows) {
    Outcome o = try_load<RHV_Backup>(obj(seed), obj(r.input));
    EXPECT_FALSE(o.ok) << r.what;
    EXPECT_EQ(o.after, o.before) << r.what;
    Lines expected;
    for (const std::string& line : r.lines)
      expected.push_back(line.compare(0, 4, "{id:") == 0 ? id_exception_line(line.substr(4, line.size() - 5)) : line);
    EXPECT_EQ(o.lines, expected) << r.what;
  }
}

TEST(Image_Transfer_Record, loads_and_dumps_every_field)
{
  Object in = obj(R"({"id": "t1", "phase": "transferring", "proxy_url": "https://engine:54323/images/tk",
    "transfer_url": "https://host:54322/images/tk", "direction": "download", "format": "raw",
    "timeout_policy": "legacy", "inactivity_timeout": "60", "transferred": "1048576", "shallow": "false",
    "backup": {"id": "b1"}, "disk": {"id": "d1"}, "host": {"id": "h1", "href": "/h"}, "image": {"id": "i1"},
    "actions": {"link": []}})");
  RHV_Image_Transfer t;
  ASSERT_TRUE(t.load(in));
  EXPECT_EQ(t.phase, RHV_Image_Transfer_Phase::TRANSFERRING);
  EXPECT_EQ(t.inactivity_timeout, 60);
  EXPECT_EQ(t.transferred, 1048576L);
  ASSERT_TRUE(t.shallow);
  EXPECT_FALSE(*t.shallow);
  EXPECT_EQ(t.host.id, "h1");
  EXPECT_EQ(dump_text(t),
            R"({"backup":{"id":"b1"},"direction":"download","disk":{"id":"d1"},"format":"raw",)"
            R"("host":{"id":"h1"},"id":"t1","image":{"id":"i1"},"inactivity_timeout":"60",)"
            R"("phase":"transferring","proxy_url":"https://engine:54323/images/tk","shallow":"false",)"
            R"("timeout_policy":"legacy","transfer_url":"https://host:54322/images/tk","transferred":"1048576"})");

  // The body that asks for a transfer: only what is set goes out.
  RHV_Image_Transfer request;
  request.disk.id = "d1";
  request.backup.id = "b1";
  request.direction = "download";
  request.format = "raw";
  request.shallow = true;
  EXPECT_EQ(dump_text(request),
            R"({"backup":{"id":"b1"},"direction":"download","disk":{"id":"d1"},"format":"raw","shallow":"true"})");
}

TEST(Image_Transfer_Record, numbers_must_be_whole_decimal_texts)
{
  const std::string seed = R"({"id": "seed", "transferred": "7", "inactivity_timeout": "30"})";
  struct Row {
    const char* input;
    bool ok;
    const char* line;  // the LM_ERROR line of a failure
  } const rows[] = {
    {R"({"id": "t", "transferred": "12x"})", false, "Invalid transferred format: '12x'.\n"},
    {R"({"id": "t", "transferred": ""})", false, "Invalid transferred format: ''.\n"},
    {R"({"id": "t", "transferred": "-"})", false, "Invalid transferred format: '-'.\n"},
    {R"({"id": "t", "transferred": "99999999999999999999"})", false,
     "Invalid transferred format: '99999999999999999999'.\n"},
    {R"({"id": "t", "inactivity_timeout": "4294967296"})", false, "Invalid inactivity_timeout format: '4294967296'.\n"},
    {R"({"id": "t", "inactivity_timeout": " 5"})", false, "Invalid inactivity_timeout format: ' 5'.\n"},
    {R"({"id": "t", "inactivity_timeout": "x", "transferred": "y"})", false,
     "Invalid inactivity_timeout format: 'x'.\n"},
    {R"({"id": "t", "transferred": "8589934592"})", true, nullptr},
    {R"({"id": "t", "inactivity_timeout": "-1", "transferred": "-5"})", true, nullptr},
  };
  for (const Row& r : rows) {
    Outcome o = try_load<RHV_Image_Transfer>(obj(seed), obj(r.input));
    EXPECT_EQ(o.ok, r.ok) << r.input;
    if (r.ok) {
      EXPECT_TRUE(o.lines.empty()) << r.input;
    } else {
      EXPECT_EQ(o.after, o.before) << r.input;
      EXPECT_EQ(o.lines, Lines{r.line}) << r.input;
    }
  }
  RHV_Image_Transfer t;
  ASSERT_TRUE(t.load(obj(R"({"id": "t", "transferred": "8589934592", "inactivity_timeout": "-1"})")));
  EXPECT_EQ(t.transferred, 8589934592L);
  // A negative timeout (and the default -1) is not written.
  EXPECT_EQ(dump_text(t), R"({"id":"t","transferred":"8589934592"})");
}

TEST(Image_Transfer_Record, flags_links_and_phases)
{
  RHV_Image_Transfer t;
  ASSERT_TRUE(t.load(obj(R"({"id": "t", "shallow": "yes", "phase": "Transferring"})")));
  ASSERT_TRUE(t.shallow);
  EXPECT_FALSE(*t.shallow);  // any text but "true" is false
  EXPECT_EQ(t.phase, RHV_Image_Transfer_Phase::NONE);
  EXPECT_EQ(dump_text(t), R"({"id":"t","shallow":"false"})");

  const char* const links[] = {"backup", "disk", "host", "image"};
  for (const char* link : links) {
    std::string input = std::string(R"({"id": "t", ")") + link + R"(": {"name": "n"}})";
    Outcome o = try_load<RHV_Image_Transfer>(obj(R"({"id": "seed"})"), obj(input));
    EXPECT_FALSE(o.ok) << link;
    EXPECT_EQ(o.after, o.before) << link;
    EXPECT_EQ(o.lines, (Lines{id_exception_line(R"({"name": "n"})"),
                              std::string("Invalid ") + link + " format: '{\"name\":\"n\"}'.\n"}))
        << link;
  }
}

TEST(Checkpoint_Record, loads_and_dumps)
{
  RHV_Checkpoint c;
  ASSERT_TRUE(c.load(obj(R"({"id": "c2", "parent_id": "c1", "state": "created", "creation_date": 1700000000000,
                             "vm": {"id": "v"}, "disks": {"disk": [{"id": "d"}]}})")));
  EXPECT_EQ(c.parent_id, "c1");
  EXPECT_EQ(c.state, "created");
  EXPECT_EQ(c.creation_date, 1700000000000L);
  EXPECT_EQ(dump_text(c), R"({"creation_date":1700000000000,"id":"c2","parent_id":"c1","state":"created"})");
  RHV_Checkpoint none;
  ASSERT_TRUE(none.load(obj(R"({"id": "c3", "creation_date": 0})")));
  EXPECT_EQ(dump_text(none), R"({"id":"c3"})");
  Outcome o = try_load<RHV_Checkpoint>(obj(R"({"id": "seed", "state": "created"})"), obj(R"({"state": "x"})"));
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.after, o.before);
  EXPECT_EQ(o.lines.size(), 2u);
}

TEST(Backup_Lists, wrappers_under_their_element_keys)
{
  RHV_Backups backups;
  ASSERT_TRUE(load_rhv_backups(obj(R"({"backup": [{"id": "b1", "phase": "ready"}, {"id": "b2"}]})"), backups));
  ASSERT_EQ(backups.size(), 2u);
  EXPECT_EQ(text(dump_rhv_backups(backups)), R"({"backup":[{"id":"b1","phase":"ready"},{"id":"b2"}]})");
  ASSERT_TRUE(load_rhv_backups(obj("{}"), backups));
  EXPECT_TRUE(backups.empty());
  EXPECT_EQ(text(dump_rhv_backups(backups)), "{}");

  RHV_Image_Transfers transfers;
  ASSERT_TRUE(load_rhv_image_transfers(obj(R"({"image_transfer": [{"id": "t1", "transferred": "3"}]})"), transfers));
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].transferred, 3L);
  EXPECT_EQ(text(dump_rhv_image_transfers(transfers)), R"({"image_transfer":[{"id":"t1","transferred":"3"}]})");
  {
    Log_Capture log(true);
    EXPECT_FALSE(load_rhv_image_transfers(obj(R"({"image_transfer": [{"id": "t2", "transferred": "1x"}]})"),
                                          transfers));
    EXPECT_EQ(log.texts(LM_ERROR),
              (Lines{"Invalid transferred format: '1x'.\n",
                     "Invalid image_transfer format: '{\"id\":\"t2\",\"transferred\":\"1x\"}'.\n"}));
  }
  EXPECT_EQ(transfers[0].id, "t1");

  RHV_Checkpoints checkpoints;
  ASSERT_TRUE(load_rhv_checkpoints(obj(R"({"checkpoint": [{"id": "c1"}, {"id": "c2", "parent_id": "c1"}]})"),
                                   checkpoints));
  EXPECT_EQ(text(dump_rhv_checkpoints(checkpoints)), R"({"checkpoint":[{"id":"c1"},{"id":"c2","parent_id":"c1"}]})");
}

// ---------------------------------------------------------------------------------------
// Services against the engine simulator

namespace {

using namespace engine_test;

const std::string A = "/ovirt-engine/api";

// The LM_ERROR lines of one call.
template <class F>
Lines error_lines(F&& call, bool& result)
{
  Log_Capture log(true);
  result = call();
  return log.texts(LM_ERROR);
}

}  // namespace

TEST(Backup_Services, a_full_backup_and_a_disk_download_send_their_exact_requests)
{
  Engine_Fixture f;
  test_support::Engine_Backup_Control control(f.engine());
  std::vector<std::string> tickets;
  control.set_daemon_url("https://127.0.0.1:1");
  control.set_ticket_handler([&tickets](const test_support::Sim_Transfer_Ticket& t, bool added) {
    tickets.push_back((added ? "+" : "-") + t.ticket + (t.readable ? " r" : "") + (t.writable ? " w" : ""));
  });
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_WEB1);
  EXPECT_EQ(backups.vm_id(), VM_WEB1);
  EXPECT_EQ(backups.service(), "/vms/" + VM_WEB1 + "/backups");

  // Start: the record's dump goes out, the engine's answer comes back into it.
  RHV_Backup backup;
  RHV_Disk disk;
  disk.id = WEB1_DISK;
  backup.disks.push_back(disk);
  ASSERT_TRUE(backups.add(backup));
  EXPECT_FALSE(backup.id.empty());
  EXPECT_EQ(backup.phase, RHV_Backup_Phase::INITIALIZING);
  EXPECT_FALSE(backup.to_checkpoint_id.empty());
  EXPECT_EQ(backup.vm.id, VM_WEB1);
  std::vector<test_support::Engine_Request> sent = f.take_api_requests();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].path, A + "/vms/" + VM_WEB1 + "/backups");
  EXPECT_EQ(sent[0].query, "");
  EXPECT_EQ(sent[0].body, "{\"disks\":{\"disk\":[{\"id\":\"" + WEB1_DISK + "\"}]}}");
  EXPECT_EQ(sent[0].status, 201);

  RHV_Backup read;
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::READY);
  EXPECT_TRUE(read.disks.empty());
  ASSERT_TRUE(backups.get(backup.id, read, RHV_FOLLOW_DISKS));
  ASSERT_EQ(read.disks.size(), 1u);
  EXPECT_EQ(read.disks[0].id, WEB1_DISK);
  RHV_Backups all;
  ASSERT_TRUE(backups.list(all, RHV_FOLLOW_DISKS | RHV_FOLLOW_DISK | RHV_FOLLOW_NICS));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].disks.size(), 1u);
  ASSERT_TRUE(backups.list(all, RHV_FOLLOW_DISK_ATTACHMENTS));
  RHV_Backup_Disk_Service disks = backups.disk_service(backup.id);
  EXPECT_EQ(disks.vm_id(), VM_WEB1);
  EXPECT_EQ(disks.backup_id(), backup.id);
  RHV_Disks backup_disks;
  ASSERT_TRUE(disks.list(backup_disks));
  ASSERT_EQ(backup_disks.size(), 1u);
  RHV_Disk one;
  ASSERT_TRUE(disks.get(WEB1_DISK, one));
  EXPECT_EQ(one.provisioned_size, 1L << 20);

  // Download the disk through a transfer on the backup.
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();
  EXPECT_EQ(transfers.service(), "/imagetransfers");
  RHV_Image_Transfer transfer;
  transfer.disk.id = WEB1_DISK;
  transfer.backup.id = backup.id;
  transfer.direction = "download";
  transfer.format = "raw";
  transfer.inactivity_timeout = 120;
  ASSERT_TRUE(transfers.add(transfer));
  EXPECT_EQ(transfer.phase, RHV_Image_Transfer_Phase::INITIALIZING);
  EXPECT_TRUE(transfer.transfer_url.empty());
  RHV_Image_Transfer now;
  ASSERT_TRUE(transfers.get(transfer.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::TRANSFERRING);
  std::vector<test_support::Sim_Image_Transfer> sim = control.transfers();
  ASSERT_EQ(sim.size(), 1u);
  EXPECT_EQ(now.transfer_url, "https://127.0.0.1:1/images/" + sim[0].ticket);
  EXPECT_EQ(now.inactivity_timeout, 120);
  EXPECT_EQ(now.backup.id, backup.id);
  RHV_Image_Transfers listed;
  ASSERT_TRUE(transfers.list(listed));
  EXPECT_EQ(listed.size(), 1u);
  ASSERT_TRUE(transfers.finalize(transfer.id));
  ASSERT_TRUE(transfers.get(transfer.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::FINISHED_SUCCESS);
  EXPECT_EQ(tickets, (Lines{"+" + sim[0].ticket + " r", "-" + sim[0].ticket + " r"}));

  ASSERT_TRUE(backups.finalize(backup.id));
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::SUCCEEDED);

  // The backup left its checkpoint behind.
  RHV_Checkpoint_Service checkpoints = c.vm_service().checkpoint_service(VM_WEB1);
  EXPECT_EQ(checkpoints.vm_id(), VM_WEB1);
  RHV_Checkpoints cps;
  ASSERT_TRUE(checkpoints.list(cps));
  ASSERT_EQ(cps.size(), 1u);
  EXPECT_EQ(cps[0].id, backup.to_checkpoint_id);
  EXPECT_EQ(cps[0].state, "created");
  EXPECT_NE(cps[0].creation_date, 0);
  RHV_Checkpoint cp;
  ASSERT_TRUE(checkpoints.get(backup.to_checkpoint_id, cp));
  ASSERT_TRUE(checkpoints.remove(backup.to_checkpoint_id));
  ASSERT_TRUE(checkpoints.list(cps));
  EXPECT_TRUE(cps.empty());

  const std::string B = A + "/vms/" + VM_WEB1 + "/backups/" + backup.id;
  const std::string T = A + "/imagetransfers/" + transfer.id;
  EXPECT_EQ(f.take_request_lines(),
            (Lines{"GET " + B, "GET " + B + "?follow=disks", "GET " + A + "/vms/" + VM_WEB1 + "/backups?follow=disks",
                   "GET " + A + "/vms/" + VM_WEB1 + "/backups", "GET " + B + "/disks",
                   "GET " + B + "/disks/" + WEB1_DISK, "POST " + A + "/imagetransfers", "GET " + T,
                   "GET " + A + "/imagetransfers", "POST " + T + "/finalize", "GET " + T, "POST " + B + "/finalize",
                   "GET " + B, "GET " + A + "/vms/" + VM_WEB1 + "/checkpoints",
                   "GET " + A + "/vms/" + VM_WEB1 + "/checkpoints/" + backup.to_checkpoint_id,
                   "DELETE " + A + "/vms/" + VM_WEB1 + "/checkpoints/" + backup.to_checkpoint_id,
                   "GET " + A + "/vms/" + VM_WEB1 + "/checkpoints"}));
}

TEST(Backup_Services, bodies_of_the_transfer_and_the_actions)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();
  RHV_Image_Transfer transfer;
  transfer.disk.id = SPARE_DISK;
  transfer.direction = "upload";
  transfer.shallow = false;
  f.take_api_requests();
  ASSERT_TRUE(transfers.add(transfer));
  ASSERT_TRUE(transfers.finalize(transfer.id));
  std::vector<test_support::Engine_Request> sent = f.take_api_requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].body, "{\"direction\":\"upload\",\"disk\":{\"id\":\"" + SPARE_DISK + "\"},\"shallow\":\"false\"}");
  EXPECT_EQ(sent[1].path, A + "/imagetransfers/" + transfer.id + "/finalize");
  EXPECT_EQ(sent[1].body, "{}");
  EXPECT_EQ(sent[1].header("Content-Type"), "application/json");
  EXPECT_EQ(sent[1].header("Version"), "4");
}

TEST(Backup_Services, failures_log_the_engine_fault_then_the_service_line_and_keep_records)
{
  Engine_Fixture f;
  test_support::Engine_Backup_Control control(f.engine());
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_WEB1);
  RHV_Checkpoint_Service checkpoints = c.vm_service().checkpoint_service(VM_WEB1);
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();
  const std::string root = control.add_checkpoint(VM_WEB1, "", {WEB1_DISK});
  const std::string child = control.add_checkpoint(VM_WEB1, root, {WEB1_DISK});

  RHV_Backup started;
  RHV_Disk disk;
  disk.id = WEB1_DISK;
  started.disks.push_back(disk);
  ASSERT_TRUE(backups.add(started));

  RHV_Backup kept;
  ASSERT_TRUE(kept.load(obj(R"({"id": "kept", "phase": "failed"})")));
  RHV_Backup second;
  second.disks.push_back(disk);
  RHV_Backup stranger;
  RHV_Disk spare;
  spare.id = SPARE_DISK;
  stranger.disks.push_back(spare);
  RHV_Image_Transfer t;
  t.disk.id = WEB1_DISK;
  t.backup.id = "nope";
  RHV_Backups list_kept(1);
  list_kept[0].id = "kept";
  RHV_Checkpoints cps_kept(1);
  cps_kept[0].id = "kept";

  // An id in the path that names nothing is answered 404 with no body.
  const std::string NOT_FOUND = "Failed to extract data from result.\n";
  const std::string BS = "/vms/" + VM_WEB1 + "/backups";
  const std::string CS = "/vms/" + VM_WEB1 + "/checkpoints";
  struct Row {
    const char* what;
    std::function<bool()> call;
    std::string fault;    // the engine's fault line
    std::string service;  // the service's own line
  } const rows[] = {
    {"get unknown backup", [&] { return backups.get("missing", kept); },
     NOT_FOUND,
     "Failed to call 'GET " + BS + "/missing'.\n"},
    {"second backup of a VM", [&] { return backups.add(second); },
     "Failed to call api, Operation Failed: [Cannot backup VM. The VM is during a backup operation.].\n",
     "Failed to call 'POST " + BS + "', data {\"disks\":{\"disk\":[{\"id\":\"" + WEB1_DISK + "\"}]}}.\n"},
    {"finalize twice", [&] { return backups.finalize(started.id) && backups.finalize(started.id); },
     "Failed to call api, Operation Failed: [Cannot stop VM backup. The backup is in phase succeeded.].\n",
     "Failed to call 'finalize " + BS + "/" + started.id + "'.\n"},
    {"backup of a disk the VM lacks", [&] { return backups.add(stranger); },
     "Failed to call api, Operation Failed: [Cannot backup VM. Disk " + SPARE_DISK + " is not attached to VM web1.].\n",
     "Failed to call 'POST " + BS + "', data {\"disks\":{\"disk\":[{\"id\":\"" + SPARE_DISK + "\"}]}}.\n"},
    {"remove a parent checkpoint", [&] { return checkpoints.remove(root); },
     "Failed to call api, Operation Failed: [Cannot remove checkpoint " + root +
         ": it is not the VM's first checkpoint.].\n",
     "Failed to call 'DELETE " + CS + "/" + root + "'.\n"},
    {"transfer on an unknown backup", [&] { return transfers.add(t); },
     "Failed to call api, Operation Failed: Entity not found: backup: id=nope.\n",
     "Failed to call 'POST /imagetransfers', data {\"backup\":{\"id\":\"nope\"},\"disk\":{\"id\":\"" + WEB1_DISK +
         "\"}}.\n"},
    {"finalize an unknown transfer", [&] { return transfers.finalize("gone"); },
     NOT_FOUND,
     "Failed to call 'finalize /imagetransfers/gone'.\n"},
    {"list backups of an unknown VM", [&] { return c.vm_service().backup_service("vm-x").list(list_kept); },
     NOT_FOUND, "Failed to call 'GET /vms/vm-x/backups'.\n"},
    {"list checkpoints of an unknown VM", [&] { return c.vm_service().checkpoint_service("vm-x").list(cps_kept); },
     NOT_FOUND,
     "Failed to call 'GET /vms/vm-x/checkpoints'.\n"},
    {"backup disks of an unknown backup", [&] { return backups.disk_service("b-x").get(WEB1_DISK, disk); },
     NOT_FOUND,
     "Failed to call 'GET " + BS + "/b-x/disks/" + WEB1_DISK + "'.\n"},
  };
  for (const Row& r : rows) {
    bool ok = true;
    Lines lines = error_lines(r.call, ok);
    EXPECT_FALSE(ok) << r.what;
    ASSERT_GE(lines.size(), 2u) << r.what;
    EXPECT_EQ(lines[lines.size() - 2], r.fault) << r.what;
    EXPECT_EQ(lines.back(), r.service) << r.what;
  }
  EXPECT_EQ(kept.id, "kept");
  EXPECT_EQ(kept.phase, RHV_Backup_Phase::FAILED);
  EXPECT_EQ(list_kept.size(), 1u);
  EXPECT_EQ(cps_kept.size(), 1u);
  EXPECT_EQ(t.id, "");
  EXPECT_EQ(checkpoints.get(child, cps_kept[0]), true);
}

TEST(Backup_Services, empty_lists_and_bad_replies)
{
  Engine_Fixture f;
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_DB1);
  RHV_Backups list(2);
  ASSERT_TRUE(backups.list(list));  // the engine answers {}
  EXPECT_TRUE(list.empty());
  RHV_Image_Transfers transfers(1);
  ASSERT_TRUE(c.image_transfer_service().list(transfers));
  EXPECT_TRUE(transfers.empty());

  // A reply element that is no valid record fails the list and keeps the vector.
  RHV_Checkpoints cps(1);
  cps[0].id = "kept";
  f.answer("GET", f.api("/vms/" + VM_DB1 + "/checkpoints"), 200, R"({"checkpoint": [{"id": "c1"}, {"state": "x"}]})");
  bool ok = true;
  Lines lines = error_lines([&] { return c.vm_service().checkpoint_service(VM_DB1).list(cps); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], "Invalid checkpoint format: '{\"state\":\"x\"}'.\n");
  ASSERT_EQ(cps.size(), 1u);
  EXPECT_EQ(cps[0].id, "kept");

  // A transfer reply with a broken number fails the get through the record's line.
  f.answer("GET", f.api("/imagetransfers/t1"), 200, R"({"id": "t1", "transferred": "12x"})");
  RHV_Image_Transfer t;
  lines = error_lines([&] { return c.image_transfer_service().get("t1", t); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Invalid transferred format: '12x'.\n"});
  EXPECT_EQ(t.id, "");

  // A service made from a client that never logged in.
  RHV_Client none;
  lines = error_lines([&] { return none.image_transfer_service().finalize("t"); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, (Lines{"Invalid RHV session.\n", "Failed to call 'finalize /imagetransfers/t'.\n"}));
}

TEST(Backup_Services, ids_from_outside_the_engine_stay_one_path_segment)
{
  Engine_Fixture f;
  test_support::Engine_Backup_Control control(f.engine());
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  f.take_api_requests();
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_WEB1);
  RHV_Checkpoint_Service checkpoints = c.vm_service().checkpoint_service(VM_WEB1);
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();
  const std::string V = A + "/vms/" + VM_WEB1;
  RHV_Backup backup;
  RHV_Backups backup_list;
  RHV_Disk disk;
  RHV_Disks disks;
  RHV_Checkpoint checkpoint;
  RHV_Checkpoints checkpoint_list;
  RHV_Image_Transfer transfer;
  struct Row {
    std::function<bool()> call;
    std::string request;
  } const rows[] = {
    {[&] { return backups.get("x/../../datacenters", backup); }, "GET " + V + "/backups/x%2f..%2f..%2fdatacenters"},
    {[&] { return backups.get("..", backup, RHV_FOLLOW_DISKS); }, "GET " + V + "/backups/%2e%2e?follow=disks"},
    {[&] { return backups.finalize("../../" + VM_WEB1); }, "POST " + V + "/backups/..%2f..%2f" + VM_WEB1 + "/finalize"},
    {[&] { return c.vm_service().backup_service("..").list(backup_list); }, "GET " + A + "/vms/%2e%2e/backups"},
    {[&] { return c.vm_service().backup_service("v/1").add(backup); }, "POST " + A + "/vms/v%2f1/backups"},
    {[&] { return backups.disk_service("b/../..").list(disks); }, "GET " + V + "/backups/b%2f..%2f../disks"},
    {[&] { return backups.disk_service(".").get("d/2", disk); }, "GET " + V + "/backups/%2e/disks/d%2f2"},
    {[&] { return c.vm_service().backup_service("a b").disk_service("c?d").get("e#f", disk); },
     "GET " + A + "/vms/a%20b/backups/c%3fd/disks/e%23f"},
    {[&] { return checkpoints.get("c/..", checkpoint); }, "GET " + V + "/checkpoints/c%2f.."},
    {[&] { return checkpoints.remove(".."); }, "DELETE " + V + "/checkpoints/%2e%2e"},
    {[&] { return c.vm_service().checkpoint_service("../vms").list(checkpoint_list); },
     "GET " + A + "/vms/..%2fvms/checkpoints"},
    {[&] { return transfers.get("t/../x", transfer); }, "GET " + A + "/imagetransfers/t%2f..%2fx"},
    {[&] { return transfers.finalize("."); }, "POST " + A + "/imagetransfers/%2e/finalize"},
    {[&] { return transfers.finalize("a&b=c%"); }, "POST " + A + "/imagetransfers/a%26b%3dc%25/finalize"},
  };
  for (const Row& r : rows) {
    Log_Capture log(true);
    r.call();
    EXPECT_EQ(f.take_request_lines(), Lines{r.request});
  }
  EXPECT_EQ(backups.disk_service("b/../..").backup_id(), "b/../..");
  EXPECT_EQ(c.vm_service().checkpoint_service("../vms").vm_id(), "../vms");
}

TEST(Backup_Services, phases_move_only_when_the_engine_gets_to_them)
{
  Engine_Fixture f;
  test_support::Engine_Backup_Control control(f.engine());
  test_support::Backup_Timing slow;
  slow.backup_start = slow.backup_finalize = slow.transfer_start = slow.transfer_finalize = std::chrono::hours(1);
  control.set_timing(slow);
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_WEB1);
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();

  RHV_Backup backup;
  RHV_Disk disk;
  disk.id = WEB1_DISK;
  backup.disks.push_back(disk);
  ASSERT_TRUE(backups.add(backup));
  RHV_Backup read;
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::INITIALIZING);
  // No transfer before the backup is ready.
  RHV_Image_Transfer early;
  early.disk.id = WEB1_DISK;
  early.backup.id = backup.id;
  bool ok = true;
  Lines lines = error_lines([&] { return transfers.add(early); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "Failed to call api, Operation Failed: [Cannot transfer Virtual Disk. The backup is in phase "
            "initializing.].\n");
  f.engine().run_pending();
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::READY);

  RHV_Image_Transfer t;
  t.disk.id = WEB1_DISK;
  t.backup.id = backup.id;
  ASSERT_TRUE(transfers.add(t));
  RHV_Image_Transfer now;
  ASSERT_TRUE(transfers.get(t.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::INITIALIZING);
  EXPECT_TRUE(now.transfer_url.empty());
  f.engine().run_pending();
  ASSERT_TRUE(transfers.get(t.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::TRANSFERRING);
  EXPECT_FALSE(now.proxy_url.empty());
  ASSERT_TRUE(transfers.finalize(t.id));
  ASSERT_TRUE(transfers.get(t.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::FINALIZING_SUCCESS);
  f.engine().run_pending();
  ASSERT_TRUE(transfers.get(t.id, now));
  EXPECT_EQ(now.phase, RHV_Image_Transfer_Phase::FINISHED_SUCCESS);

  ASSERT_TRUE(backups.finalize(backup.id));
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::FINALIZING);
  EXPECT_TRUE(control.checkpoints(VM_WEB1).empty());
  f.engine().run_pending();
  ASSERT_TRUE(backups.get(backup.id, read));
  EXPECT_EQ(read.phase, RHV_Backup_Phase::SUCCEEDED);
  ASSERT_EQ(control.checkpoints(VM_WEB1).size(), 1u);

  // An incremental backup from that checkpoint needs disks enabled for it.
  RHV_Backup incremental;
  incremental.from_checkpoint_id = backup.to_checkpoint_id;
  incremental.disks.push_back(disk);
  lines = error_lines([&] { return backups.add(incremental); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "Failed to call api, Operation Failed: [Cannot backup VM. Disk web1-data is not enabled for incremental "
            "backup.].\n");
}

TEST(Backup_Services, a_backup_disk_downloads_through_its_transfer_url)
{
  Engine_Fixture f;
  test_support::Engine_Backup_Control control(f.engine());
  test_support::Imageio_Server daemon;
  ASSERT_TRUE(daemon.start());
  control.set_daemon_url(daemon.base_url());
  control.set_ticket_handler([&daemon](const test_support::Sim_Transfer_Ticket& t, bool added) {
    if (!added) {
      daemon.remove_ticket(t.ticket);
      return;
    }
    test_support::Imageio_Ticket image;
    image.path = t.path;
    image.size = static_cast<uint64_t>(t.size);
    image.readable = t.readable;
    image.writable = t.writable;
    daemon.add_ticket(t.ticket, image);
  });
  const std::string data(100000, 'd');
  ASSERT_TRUE(f.engine().write_disk(WEB1_DISK, 300000, data));
  RHV_Client c;
  ASSERT_TRUE(f.login(c));
  RHV_Backup_Service backups = c.vm_service().backup_service(VM_WEB1);
  RHV_Backup backup;
  RHV_Disk disk;
  disk.id = WEB1_DISK;
  backup.disks.push_back(disk);
  ASSERT_TRUE(backups.add(backup));
  RHV_Image_Transfer_Service transfers = c.image_transfer_service();
  RHV_Image_Transfer t;
  t.disk.id = WEB1_DISK;
  t.backup.id = backup.id;
  t.direction = "download";
  ASSERT_TRUE(transfers.add(t));
  ASSERT_TRUE(transfers.get(t.id, t));
  ASSERT_EQ(t.phase, RHV_Image_Transfer_Phase::TRANSFERRING);

  auto io = std::make_shared<RHV_Image_IO>();
  ASSERT_TRUE(io->init(t.transfer_url));
  EXPECT_EQ(io->max_writers(), 1u);  // offered, as the daemon does, though a download refuses writes
  std::string image;
  RHV_Image_Reader reader(io, 65536);
  ASSERT_TRUE(reader.open(0, 1 << 20));
  for (;;) {
    void* p = nullptr;
    long n = 0;
    ASSERT_TRUE(reader.read(p, n));
    if (n == 0)
      break;
    image.append(static_cast<const char*>(p), static_cast<size_t>(n));
  }
  EXPECT_TRUE(image == f.engine().read_disk(WEB1_DISK));
  RHV_Image_Writer writer(io);
  ASSERT_TRUE(writer.open(0, 1, false));
  EXPECT_FALSE(writer.write("x", 1) && writer.close());
  EXPECT_TRUE(image == f.engine().read_disk(WEB1_DISK));

  ASSERT_TRUE(transfers.finalize(t.id));
  RHV_Image_IO gone;
  EXPECT_FALSE(gone.init(t.transfer_url));  // the ticket went with the transfer
  ASSERT_TRUE(backups.finalize(backup.id));
}
