#include "platform/catalog/restful_catalog_operator.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

// A set as the backup servant fills it.
RHV_Backup_Set make_set(const std::string& set_uuid, const std::string& vm_id, const std::string& resource,
                        std::int64_t end_time, std::size_t n_pieces = 1, const std::string& vm_name = "vm-name")
{
  RHV_Backup_Set s;
  s.set_data_center_id("dc-1");
  s.set_cluster_id("cl-1");
  s.set_rhv_vm_id(vm_id);
  s.set_rhv_vm_name(vm_name);
  Object vm;
  vm["id"] = vm_id;
  vm["name"] = vm_name;
  s.set_vm(vm);
  Object version;
  version["major"] = "4";
  s.set_version(version);
  Object att;
  att["id"] = "att-1";
  Object disk;
  disk["id"] = "disk-1";
  att["disk"] = disk;
  s.add_disk_attachment(att);
  s.add_nic(Object{{"name", Value("nic1")}});

  s.set_name("set name");
  s.set_agent("agent");
  s.set_format_version("1.0");
  s.set_backup_method("nfc");
  s.set_host_uuid("host-uuid");
  s.set_uri("host-uuid");
  s.set_set_uuid(set_uuid);
  s.set_full_set_uuid(set_uuid);
  s.add_set_uuid(set_uuid);
  s.set_activity_uid("act-uid");
  s.set_activity_id("act-id");
  s.set_start_time(end_time - 100);
  s.set_def_id("def-1");
  s.set_resource_uuid(resource);
  s.set_vm_name(vm_name);
  s.set_vm_id(vm_id);
  s.set_subtype("full");
  s.set_set_size(1024 * n_pieces);
  s.set_source_size(1024 * n_pieces);
  s.set_end_time(end_time);
  s.add_storage("pool-1", 999, Object{{"code_name", Value("reborn")}});
  s.reserve_pieces(n_pieces);
  for (std::size_t i = 0; i < n_pieces; ++i) {
    Backup_Piece p;
    p.set_size(1024);
    p.set_object("disk-1");
    p.set_path("RHV/" + vm_id + "/nfc_disk-1_piece" + std::to_string(i));
    p.set_attributes(Object{{"index", Value(static_cast<int>(i + 1))}, {"offset", Value(0)},
                            {"source_size", Value(1024)}, {"block_size", Value(8388608)}});
    s.add_piece(std::move(p));
  }
  return s;
}

RESTful_Catalog_Operator catalog()
{
  return RESTful_Catalog_Operator("127.0.0.1", 8443, false, "key", -1, -1);
}

Object filter(const std::string& resource, const std::string& vm_id, const std::string& set_uuid)
{
  Object f;
  f["resource_uuid"] = resource;
  f["vm_id"] = vm_id;
  f["set_uuid"] = set_uuid;
  return f;
}

std::vector<std::string> set_uuids_of(const Value& view)
{
  std::vector<std::string> out;
  for (const Value& e : view.get_array()) out.push_back(e.get_obj().at("set_uuid").get_str());
  return out;
}

// Runs `fn` in a child process; its exit status is fn's result (0 success).
int in_child(const std::function<int()>& fn)
{
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(RESTful_Catalog_Operator, CommittedSetIsViewedByAnotherProcess)
{
  Standin_Env env;
  // The backup side commits in one process ...
  ASSERT_EQ(in_child([] { return catalog().commit(make_set("set-1", "vm-1", "res-1", 2000, 2), true) ? 0 : 1; }), 0);

  // ... the restore side reads it in another.
  Value view;
  ASSERT_TRUE(catalog().get_view("rhev", "restore", filter("res-1", "vm-1", "set-1"), view));
  ASSERT_EQ(view.type(), json_spirit::array_type);
  ASSERT_EQ(view.get_array().size(), 1u);
  const Object& e = view.get_array()[0].get_obj();
  EXPECT_EQ(JSON_Dump(e.at("vm_profile")).str(), "{\"id\":\"vm-1\",\"name\":\"vm-name\"}");
  EXPECT_EQ(JSON_Dump(e.at("disks_profile")).str(), "[{\"disk\":{\"id\":\"disk-1\"},\"id\":\"att-1\"}]");
  EXPECT_EQ(JSON_Dump(e.at("storages")).str(), "[{\"attrs\":{\"code_name\":\"reborn\"},\"pool_uuid\":\"pool-1\",\"size\":999}]");
  EXPECT_EQ(e.at("uri").get_str(), "host-uuid");
  EXPECT_EQ(e.at("source_size").get_uint64(), 2048u);
  ASSERT_EQ(e.at("pieces").get_array().size(), 2u);
  EXPECT_EQ(JSON_Dump(e.at("pieces").get_array()[1]).str(),
            "{\"extended_attrs\":{\"block_size\":8388608,\"index\":2,\"offset\":0,\"source_size\":1024},"
            "\"object\":\"disk-1\",\"path\":\"RHV/vm-1/nfc_disk-1_piece1\",\"size\":1024}");

  // And the other way round: a set committed here is seen by a child.
  ASSERT_TRUE(catalog().commit(make_set("set-2", "vm-1", "res-1", 3000), true));
  EXPECT_EQ(in_child([] {
              Value v;
              if (!catalog().get_view("rhev", "restore", filter("res-1", "vm-1", "set-2"), v)) return 1;
              return v.get_array().size() == 1 && v.get_array()[0].get_obj().at("set_uuid").get_str() == "set-2" ? 0 : 2;
            }),
            0);

  // The stored file is the set's own form and loads back unchanged.
  std::ifstream in(env.catalog_dir() + "/set-1.json");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Value stored;
  ASSERT_TRUE(json_spirit::parse(text, stored));
  RHV_Backup_Set back;
  ASSERT_TRUE(back.load(stored));
  EXPECT_EQ(JSON_Dump(back.dump()).str(), JSON_Dump(make_set("set-1", "vm-1", "res-1", 2000, 2).dump()).str());
}

TEST(RESTful_Catalog_Operator, ViewMatchesEveryFilterKeyExactlyNewestFirst)
{
  Standin_Env env;
  auto op = catalog();
  ASSERT_TRUE(op.commit(make_set("a-old", "vm-1", "res-1", 1000), true));
  ASSERT_TRUE(op.commit(make_set("b-new", "vm-1", "res-1", 5000), true));
  ASSERT_TRUE(op.commit(make_set("c-mid", "vm-1", "res-1", 3000), true));
  ASSERT_TRUE(op.commit(make_set("d-other-vm", "vm-10", "res-1", 4000), true));
  ASSERT_TRUE(op.commit(make_set("e-other-res", "vm-1", "res-2", 4000), true));

  // Files that are not sets of this view are left out.
  std::ofstream(env.catalog_dir() + "/broken.json") << "{\"app\": \"rhev\", \"set_uuid\": ";
  std::ofstream(env.catalog_dir() + "/other-app.json") << "{\"app\": \"vmware\", \"vm_id\": \"vm-1\"}";
  std::ofstream(env.catalog_dir() + "/.hidden.json.tmp123") << "{";
  std::ofstream(env.catalog_dir() + "/notes.txt") << "x";

  struct Case {
    const char* name;
    Object filter;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"by vm and resource", Object{{"vm_id", Value("vm-1")}, {"resource_uuid", Value("res-1")}}, {"b-new", "c-mid", "a-old"}},
      {"all three keys", filter("res-1", "vm-1", "c-mid"), {"c-mid"}},
      {"vm id is not a prefix match", Object{{"vm_id", Value("vm-")}}, {}},
      {"no key: every set", Object{}, {"b-new", "d-other-vm", "e-other-res", "c-mid", "a-old"}},
      {"value of another type", Object{{"vm_id", Value(1)}}, {}},
      {"unknown key", Object{{"nothing", Value("x")}}, {}},
      {"resource", Object{{"resource_uuid", Value("res-2")}}, {"e-other-res"}},
  };
  Log_Capture log(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value view;
    ASSERT_TRUE(op.get_view("rhev", "restore", c.filter, view));
    EXPECT_EQ(set_uuids_of(view), c.want);
  }
  EXPECT_TRUE(log.contains("Skipping catalog file '" + env.catalog_dir() + "/broken.json'")) << log.dump();

  Value view;
  EXPECT_FALSE(op.get_view("vmware", "restore", Object(), view));
  EXPECT_FALSE(op.get_view("rhev", "backup", Object(), view));
  EXPECT_TRUE(log.contains("Unknown catalog view 'rhev/backup'.\n"));
}

TEST(RESTful_Catalog_Operator, EmptyOrMissingCatalogGivesAnEmptyArray)
{
  Standin_Env env({{"catalog_dir", "/tmp/.does-not-exist-" + std::to_string(::getpid())}});
  Value view = Value("not replaced");
  ASSERT_TRUE(catalog().get_view("rhev", "restore", filter("r", "v", "s"), view));
  ASSERT_EQ(view.type(), json_spirit::array_type);
  EXPECT_TRUE(view.get_array().empty());
}

TEST(RESTful_Catalog_Operator, CommitRefusesBadUuidsAndKeepsExistingSetsWhenAsked)
{
  Standin_Env env;
  auto op = catalog();
  Log_Capture log(true);
  for (const char* bad : {"", ".", "..", "../escape", "a/b", "a b", "set\n"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(op.commit(make_set(bad, "vm", "res", 1), true));
    EXPECT_EQ(errno, EINVAL);
  }
  EXPECT_EQ(log.count("Invalid backup set uuid"), 7u);

  ASSERT_TRUE(op.commit(make_set("s", "vm", "res", 1, 1, "first"), false));
  EXPECT_FALSE(op.commit(make_set("s", "vm", "res", 1, 1, "second"), false));
  EXPECT_TRUE(log.contains("Failed to link catalog file of backup set 's', errno=17"));
  Value view;
  ASSERT_TRUE(op.get_view("rhev", "restore", Object(), view));
  ASSERT_EQ(view.get_array().size(), 1u);
  EXPECT_EQ(view.get_array()[0].get_obj().at("vm_name").get_str(), "first");
  ASSERT_TRUE(op.commit(make_set("s", "vm", "res", 1, 1, "second"), true));
  ASSERT_TRUE(op.get_view("rhev", "restore", Object(), view));
  EXPECT_EQ(view.get_array()[0].get_obj().at("vm_name").get_str(), "second");

  // Only the committed files remain: no temporary file left behind.
  std::vector<std::string> names;
  DIR* d = ::opendir(env.catalog_dir().c_str());
  while (struct dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  ::closedir(d);
  EXPECT_EQ(names, std::vector<std::string>{"s.json"});
  // A catalog directory that cannot exist.
  std::ofstream(env.path("file")) << "x";
  ASSERT_TRUE(env.set("catalog_dir", env.path("file/catalog")));
  EXPECT_FALSE(op.commit(make_set("t", "vm", "res", 1), true));
  EXPECT_TRUE(log.contains("Failed to create catalog directory")) << log.dump();
}

TEST(RESTful_Catalog_Operator, ReadersNeverSeeAPartialSetEvenWhenTheWriterDies)
{
  Standin_Env env;
  ASSERT_TRUE(catalog().commit(make_set("busy", "vm", "res", 1, 400, "A"), true));

  // A writer process keeps replacing the set with versions of different sizes until it
  // is killed, at whatever point of a commit it happens to be.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t writer = ::fork();
  if (writer == 0) {
    ::close(ready[0]);
    const RHV_Backup_Set a = make_set("busy", "vm", "res", 1, 400, "A");
    const RHV_Backup_Set b = make_set("busy", "vm", "res", 2, 80, "B");
    auto op = catalog();
    for (unsigned i = 0;; ++i) {
      if (!op.commit(i % 2 ? a : b, true)) ::_exit(1);
      if (i == 4) (void)!::write(ready[1], "r", 1);
    }
  }
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);

  Log_Capture log(true);
  auto op = catalog();
  std::size_t seen_a = 0, seen_b = 0;
  for (int i = 0; i < 120; ++i) {
    Value view;
    ASSERT_TRUE(op.get_view("rhev", "restore", filter("res", "vm", "busy"), view));
    ASSERT_EQ(view.get_array().size(), 1u) << "round " << i;
    const Object& e = view.get_array()[0].get_obj();
    const std::string& name = e.at("vm_name").get_str();
    const std::size_t pieces = e.at("pieces").get_array().size();
    ASSERT_TRUE((name == "A" && pieces == 400) || (name == "B" && pieces == 80)) << name << " with " << pieces;
    (name == "A" ? seen_a : seen_b)++;
    if (i == 60) ::kill(writer, SIGKILL);
  }
  int status;
  ::waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed a commit";
  EXPECT_EQ(log.count("Skipping"), 0u) << log.dump();
  EXPECT_GT(seen_a + seen_b, 0u);

  // After the crash the set is still whole, and a new commit still works.
  Value view;
  ASSERT_TRUE(op.get_view("rhev", "restore", Object(), view));
  ASSERT_EQ(view.get_array().size(), 1u);
  ASSERT_TRUE(op.commit(make_set("busy", "vm", "res", 3, 1, "C"), true));
  ASSERT_TRUE(op.get_view("rhev", "restore", Object(), view));
  EXPECT_EQ(view.get_array()[0].get_obj().at("vm_name").get_str(), "C");
}

TEST(Backup_Set, LoadRefusesMistypedRecordsAndKeepsItself)
{
  const RHV_Backup_Set good = make_set("s", "vm", "res", 10, 2);
  const std::string good_text = JSON_Dump(good.dump()).str();
  struct Case {
    const char* name;
    std::function<void(Object&)> damage;
  };
  const Case cases[] = {
      {"not an object", [](Object& o) { o.clear(); o["x"] = Value(Array()); }},
      {"other application", [](Object& o) { o["app"] = "vmware"; }},
      {"set size negative", [](Object& o) { o["set_size"] = -1; }},
      {"start time a string", [](Object& o) { o["start_time"] = "10"; }},
      {"uuid list of numbers", [](Object& o) { o["set_uuids"] = Array{Value(1)}; }},
      {"piece without path", [](Object& o) { o["pieces"].get_array()[0].get_obj().erase("path"); }},
      {"rhev part not an object", [](Object& o) { o["rhev"] = 3; }},
      {"vm profile an array", [](Object& o) { o["rhev"].get_obj()["vm"] = Array(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Object o = good.dump();
    c.damage(o);
    RHV_Backup_Set s = good;
    if (std::string(c.name) == "not an object") {
      EXPECT_FALSE(s.load(Value(Array())));
    } else {
      EXPECT_FALSE(s.load(Value(o)));
    }
    EXPECT_EQ(JSON_Dump(s.dump()).str(), good_text);
  }
}

}  // namespace
