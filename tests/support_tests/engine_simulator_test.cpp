// The engine simulator, driven over real HTTP with libcurl: the engine's JSON shapes, the
// header and authentication checks, the rules it enforces, the fault table, the devices of
// disks plugged into the agent VM, and TLS.

#include "tests/support/engine_simulator.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/json/json_spirit.h"
#include "tests/support/sample_inventory.h"

using namespace test_support;
using namespace sample_inventory;
using json_spirit::Object;
using json_spirit::Value;

namespace {

std::string base64(const std::string& in)
{
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6)
      out.push_back(alphabet[(v >> s) & 63]);
  }
  if (i + 1 == in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    out += std::string{alphabet[v >> 18], alphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
    out += std::string{alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], '='};
  }
  return out;
}

struct Http_Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string content_type;
  std::string body;
  Value json;  // null when the body is not JSON

  const Object& obj() const
  {
    static const Object empty;
    return json.type() == json_spirit::obj_type ? json.get_obj() : empty;
  }
  // The text at a JSON pointer, "" when absent or not a string.
  std::string str(const std::string& pointer) const
  {
    const Value* v = at(pointer);
    return v != nullptr && v->type() == json_spirit::str_type ? v->get_str() : std::string();
  }
  const Value* at(const std::string& pointer) const
  {
    const Value* v = &json;
    size_t pos = 1;
    while (pos <= pointer.size() && pointer.size() > 1) {
      size_t slash = pointer.find('/', pos);
      std::string key = pointer.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
      if (v->type() == json_spirit::obj_type) {
        auto it = v->get_obj().find(key);
        if (it == v->get_obj().end())
          return nullptr;
        v = &it->second;
      } else if (v->type() == json_spirit::array_type) {
        size_t index = std::stoul(key);
        if (index >= v->get_array().size())
          return nullptr;
        v = &v->get_array()[index];
      } else {
        return nullptr;
      }
      if (slash == std::string::npos)
        break;
      pos = slash + 1;
    }
    return v;
  }
};

size_t collect(char* data, size_t size, size_t n, void* out)
{
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

// One HTTP exchange. `headers` are complete header lines; an entry "Name:" removes a header.
Http_Reply http(const std::string& method, const std::string& url, const std::vector<std::string>& headers,
                const std::string& body, const std::string& ca_file = "")
{
  Http_Reply r;
  CURL* curl = curl_easy_init();
  curl_slist* list = nullptr;
  for (const std::string& h : headers)
    list = curl_slist_append(list, h.c_str());
  list = curl_slist_append(list, "Expect:");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
  if (!ca_file.empty())
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
  if (method == "POST" || !body.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  if (method != "GET" && method != "POST")
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  r.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
  char* type = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr)
    r.content_type = type;
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  if (!json_spirit::parse(r.body, r.json))
    r.json = Value();
  return r;
}

// `length` bytes of a file from `offset` (fewer at its end).
std::string file_part(const std::string& path, long offset, size_t length)
{
  std::string out(length, '\0');
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr)
    return std::string();
  std::fseek(f, offset, SEEK_SET);
  out.resize(std::fread(&out[0], 1, length, f));
  std::fclose(f);
  return out;
}

bool exists(const std::string& path)
{
  return ::access(path.c_str(), F_OK) == 0;
}

class Engine_Simulator_Test : public ::testing::Test {
protected:
  void SetUp() override { start(sample_inventory::config(dir_.path())); }

  void start(Engine_Config config)
  {
    config_ = config;
    engine_ = std::make_unique<Engine_Simulator>(config);
    ASSERT_TRUE(load(*engine_));
    ASSERT_TRUE(engine_->start());
  }

  std::vector<std::string> headers() const
  {
    return {"Version: 4", "Accept: application/json", "Content-Type: application/json",
            "Authorization: Basic " + base64(config_.username + ":" + config_.password)};
  }

  Http_Reply call(const std::string& method, const std::string& api_relative, const std::string& body = "")
  {
    return http(method, engine_->url(engine_->api_path(api_relative)), headers(), body, engine_->ca_file());
  }
  Http_Reply get(const std::string& r) { return call("GET", r); }
  Http_Reply post(const std::string& r, const std::string& body) { return call("POST", r, body); }
  Http_Reply del(const std::string& r) { return call("DELETE", r); }

  // Attaches a disk (of a snapshot when snapshot_id is given) to the agent VM.
  Http_Reply attach_to_agent(const std::string& disk_id, const std::string& snapshot_id = "")
  {
    std::string disk = "{\"id\":\"" + disk_id + "\"" +
                       (snapshot_id.empty() ? "" : ",\"snapshot\":{\"id\":\"" + snapshot_id + "\"}") + "}";
    return post(std::string("/vms/") + AGENT_VM_ID + "/diskattachments",
                "{\"active\":\"true\",\"bootable\":\"false\",\"interface\":\"virtio\",\"disk\":" + disk + "}");
  }

  std::string snapshot_of(const std::string& vm_id, const std::string& disk_ids_json = "")
  {
    std::string body = "{\"description\":\"tessera3-agent-test-1\",\"persist_memorystate\":\"false\"" +
                       (disk_ids_json.empty() ? "" : ",\"disk_attachments\":{\"disk_attachment\":" + disk_ids_json + "}") +
                       "}";
    Http_Reply r = post("/vms/" + vm_id + "/snapshots", body);
    EXPECT_EQ(r.status, 201) << r.body;
    return r.str("/id");
  }

  Temp_Dir dir_;
  Engine_Config config_;
  std::unique_ptr<Engine_Simulator> engine_;
};

TEST_F(Engine_Simulator_Test, RepliesUseTheEnginesJsonShapes)
{
  Http_Reply vm = get(std::string("/vms/") + VM_WEB_ID + "?follow=disk_attachments.disk%2cnics");
  ASSERT_EQ(vm.status, 200) << vm.body;
  EXPECT_EQ(vm.content_type, "application/json");
  struct Case {
    const char* pointer;
    json_spirit::Value_type type;
    const char* text;  // expected text of a string, or null
  };
  const Case cases[] = {
    {"/id", json_spirit::str_type, VM_WEB_ID},
    {"/name", json_spirit::str_type, "web-01"},
    {"/memory", json_spirit::str_type, "2147483648"},           // numbers are strings
    {"/creation_time", json_spirit::int_type, nullptr},         // dates are integers
    {"/cpu/topology/sockets", json_spirit::str_type, "2"},
    {"/bios/boot_menu/enabled", json_spirit::str_type, "false"},  // flags are strings
    {"/cluster/id", json_spirit::str_type, CLUSTER_EAST_PROD_ID},
    {"/cluster/href", json_spirit::str_type, "/ovirt-engine/api/clusters/02000001-5a1e-4d00-9000-000000000000"},
    {"/template/id", json_spirit::str_type, BLANK_TEMPLATE_ID},
    {"/disk_attachments/disk_attachment/0/id", json_spirit::str_type, DISK_WEB_OS_ID},
    {"/disk_attachments/disk_attachment/0/bootable", json_spirit::str_type, "true"},
    {"/disk_attachments/disk_attachment/0/interface", json_spirit::str_type, "virtio_scsi"},
    {"/disk_attachments/disk_attachment/0/disk/provisioned_size", json_spirit::str_type, "16777216"},
    {"/disk_attachments/disk_attachment/0/disk/format", json_spirit::str_type, "cow"},
    {"/disk_attachments/disk_attachment/0/disk/status", json_spirit::str_type, "ok"},
    {"/disk_attachments/disk_attachment/0/disk/storage_domains/storage_domain/0/id", json_spirit::str_type,
     SD_EAST_NFS_ID},
    {"/disk_attachments/disk_attachment/1/disk/sparse", json_spirit::str_type, "true"},
    {"/nics/nic/1/name", json_spirit::str_type, "nic2"},
    {"/nics/nic/1/mac/address", json_spirit::str_type, "56:6f:5a:1e:00:03"},
    {"/nics/nic/1/vnic_profile/id", json_spirit::str_type, PROFILE_EAST_BACKEND_ID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pointer);
    const Value* v = vm.at(c.pointer);
    ASSERT_NE(v, nullptr) << vm.body;
    EXPECT_EQ(v->type(), c.type);
    if (c.text != nullptr) {
      EXPECT_EQ(v->get_str(), c.text);
    }
  }
  // The actual size is what the sparse backing file holds: far below the provisioned size.
  int64_t actual = std::stoll(vm.str("/disk_attachments/disk_attachment/0/disk/actual_size"));
  EXPECT_GT(actual, 0);
  EXPECT_LT(actual, 16 * MiB);

  // Without follow, a link; a VM that is down has no host; an empty list is {}.
  Http_Reply app = get(std::string("/vms/") + VM_APP_ID);
  EXPECT_EQ(app.at("/disk_attachments"), nullptr);
  EXPECT_EQ(app.at("/host"), nullptr);
  EXPECT_EQ(app.str("/status"), "down");
  EXPECT_EQ(get(std::string("/vms/") + VM_EMPTY_ID + "/diskattachments").body, "{}");
  EXPECT_EQ(get(std::string("/vms/") + VM_EMPTY_ID + "/nics").body, "{}");
  Http_Reply empty = get(std::string("/vms/") + VM_EMPTY_ID + "?follow=disk_attachments,nics");
  EXPECT_EQ(JSON_Dump(*empty.at("/disk_attachments")).str(), "{}");

  // Lists are wrappers under the singular key.
  Http_Reply list = get("/storagedomains");
  ASSERT_NE(list.at("/storage_domain"), nullptr);
  EXPECT_EQ(list.at("/storage_domain")->get_array().size(), 5u);
  EXPECT_EQ(list.str("/storage_domain/1/available"), std::to_string(18 * GiB));
  EXPECT_EQ(list.str("/storage_domain/1/storage/type"), "iscsi");
  EXPECT_EQ(list.str("/storage_domain/1/data_centers/data_center/0/id"), DC_EAST_ID);

  // An unknown id in the path: 404 with no body; an unknown entity named in a body: 404 with
  // the fault body.
  Http_Reply missing = get("/vms/no-such-vm");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "");
  Http_Reply unknown = attach_to_agent("no-such-disk");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_NE(unknown.str("/detail").find("no-such-disk"), std::string::npos);
}

TEST_F(Engine_Simulator_Test, EveryReadRouteAnswersWithItsWrapper)
{
  const std::string snapshot = snapshot_of(VM_WEB_ID);
  const std::string web = std::string("/vms/") + VM_WEB_ID;
  struct Case {
    std::string path;
    const char* element;  // the list's element key; null for a single record
    size_t count;         // elements, or 0 for a single record
    const char* id;       // the id of the record (or of the first element)
  };
  const Case cases[] = {
    {"/datacenters", "data_center", 2, DC_EAST_ID},
    {std::string("/datacenters/") + DC_WEST_ID, nullptr, 0, DC_WEST_ID},
    {std::string("/datacenters/") + DC_EAST_ID + "/clusters", "cluster", 2, CLUSTER_EAST_PROD_ID},
    {std::string("/datacenters/") + DC_EAST_ID + "/networks", "network", 2, NETWORK_EAST_MGMT_ID},
    {std::string("/datacenters/") + DC_EAST_ID + "/storagedomains", "storage_domain", 4, SD_EAST_NFS_ID},
    {std::string("/datacenters/") + DC_WEST_ID + "/storagedomains/" + SD_WEST_NFS_ID, nullptr, 0, SD_WEST_NFS_ID},
    {"/clusters", "cluster", 3, CLUSTER_EAST_PROD_ID},
    {std::string("/clusters/") + CLUSTER_WEST_PROD_ID, nullptr, 0, CLUSTER_WEST_PROD_ID},
    {"/hosts", "host", 3, HOST_EAST_1_ID},
    {std::string("/hosts/") + HOST_WEST_1_ID, nullptr, 0, HOST_WEST_1_ID},
    {"/networks", "network", 3, NETWORK_EAST_MGMT_ID},
    {std::string("/networks/") + NETWORK_EAST_BACKEND_ID + "/vnicprofiles", "vnic_profile", 2,
     PROFILE_EAST_BACKEND_ID},
    {"/vnicprofiles", "vnic_profile", 4, PROFILE_EAST_MGMT_ID},
    {std::string("/vnicprofiles/") + PROFILE_EAST_MIRROR_ID, nullptr, 0, PROFILE_EAST_MIRROR_ID},
    {"/storagedomains", "storage_domain", 5, SD_EAST_NFS_ID},
    {"/vms", "vm", 6, AGENT_VM_ID},
    {"/disks", "disk", 9, DISK_AGENT_OS_ID},
    {std::string("/disks/") + DISK_SHARED_ID, nullptr, 0, DISK_SHARED_ID},
    {web + "/diskattachments", "disk_attachment", 2, DISK_WEB_OS_ID},
    {web + "/diskattachments/" + DISK_WEB_DATA_ID, nullptr, 0, DISK_WEB_DATA_ID},
    {web + "/nics", "nic", 2, NIC_WEB_1_ID},
    {web + "/nics/" + NIC_WEB_2_ID, nullptr, 0, NIC_WEB_2_ID},
    {web + "/snapshots/" + snapshot + "/disks", "disk", 2, DISK_WEB_OS_ID},
    {web + "/snapshots/" + snapshot + "/disks/" + DISK_WEB_DATA_ID, nullptr, 0, DISK_WEB_DATA_ID},
    {web + "/snapshots/" + snapshot + "/nics", "nic", 2, NIC_WEB_1_ID},
    {web + "/snapshots/" + snapshot + "/nics/" + NIC_WEB_2_ID, nullptr, 0, NIC_WEB_2_ID},
    // Path segments are percent-decoded: an id sent encoded names the same VM.
    {"/vms/07000002%2D5a1e%2d4d00-9000-000000000000", nullptr, 0, VM_WEB_ID},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    Http_Reply r = get(c.path);
    ASSERT_EQ(r.status, 200) << r.body;
    if (c.element == nullptr) {
      EXPECT_EQ(r.str("/id"), c.id);
      EXPECT_EQ(r.str("/href").rfind("/ovirt-engine/api/", 0), 0u);
      continue;
    }
    EXPECT_EQ(r.obj().size(), 1u) << r.body;  // the wrapper holds the list only
    const Value* list = r.at(std::string("/") + c.element);
    ASSERT_NE(list, nullptr) << r.body;
    EXPECT_EQ(list->get_array().size(), c.count);
    EXPECT_EQ(r.str(std::string("/") + c.element + "/0/id"), c.id);
  }
}

TEST_F(Engine_Simulator_Test, ApiRootCarriesTheVersionWhenAsked)
{
  Sim_Version v;
  v.full_version = "4.4.10.7-1.el8";
  v.major = 4;
  v.minor = 4;
  v.build = 7;
  v.revision = 10;
  engine_->set_version(v);
  Http_Reply root = get("");
  ASSERT_EQ(root.status, 200) << root.body;
  EXPECT_EQ(root.str("/product_info/version/full_version"), "4.4.10.7-1.el8");
  EXPECT_EQ(root.str("/product_info/version/major"), "4");
  EXPECT_EQ(root.str("/product_info/version/revision"), "10");
  EXPECT_EQ(root.str("/summary/vms/total"), "6");

  engine_->set_product_info(false);
  EXPECT_EQ(get("").at("/product_info"), nullptr);
}

TEST_F(Engine_Simulator_Test, EveryApiRequestMustNameVersionAndJson)
{
  const std::string auth = "Authorization: Basic " + base64(config_.username + ":" + config_.password);
  struct Case {
    std::vector<std::string> headers;
    long status;
    const char* detail;  // part of the fault detail
  };
  const Case cases[] = {
    {{"Version: 4", "Accept: application/json", "Content-Type: application/json"}, 200, nullptr},
    {{"Version: 4", "Accept: application/json", "Content-Type: application/json; charset=utf-8"}, 200, nullptr},
    {{"Accept: application/json", "Content-Type: application/json"}, 400, "'Version'"},
    {{"Version: 3", "Accept: application/json", "Content-Type: application/json"}, 400, "'Version'"},
    {{"Version: 4", "Accept: application/xml", "Content-Type: application/json"}, 400, "'Accept'"},
    {{"Version: 4", "Content-Type: application/json", "Accept:"}, 400, "'Accept'"},
    {{"Version: 4", "Accept: application/json"}, 400, "'Content-Type'"},
    {{"Version: 4", "Accept: application/json", "Content-Type: text/plain"}, 400, "'Content-Type'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> h = c.headers;
    h.push_back(auth);
    for (const char* method : {"GET", "DELETE"}) {
      SCOPED_TRACE(std::string(method) + " " + JSON_Dump(Value(json_spirit::Array(h.begin(), h.end()))).str());
      // DELETE of an unknown snapshot: 404 when the headers pass.
      std::string path = std::string(method) == "GET" ? "/datacenters"
                                                       : std::string("/vms/") + VM_WEB_ID + "/snapshots/none";
      Http_Reply r = http(method, engine_->url(engine_->api_path(path)), h, "");
      long expected = c.status == 200 && std::string(method) == "DELETE" ? 404 : c.status;
      EXPECT_EQ(r.status, expected) << r.body;
      if (c.detail != nullptr) {
        EXPECT_NE(r.str("/detail").find(c.detail), std::string::npos) << r.body;
      }
    }
  }
}

TEST_F(Engine_Simulator_Test, BasicAuthenticationChecksUserAndPassword)
{
  const std::vector<std::string> base = {"Version: 4", "Accept: application/json", "Content-Type: application/json"};
  engine_->set_user("backup@internal", "p:w");  // a colon in a password belongs to it
  struct Case {
    std::string authorization;
    long status;
  };
  const Case cases[] = {
    {"Basic " + base64("admin@internal:engine-password"), 200},
    {"basic " + base64("admin@internal:engine-password"), 200},
    {"Basic " + base64("backup@internal:p:w"), 200},
    {"Basic " + base64("admin@internal:wrong"), 401},
    {"Basic " + base64("admin:engine-password"), 401},
    {"Basic " + base64("admin@internal"), 401},
    {"Basic !!!", 401},
    {"Bearer not-a-token", 401},
    {"Negotiate abc", 401},
    {"", 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.authorization);
    std::vector<std::string> h = base;
    if (!c.authorization.empty())
      h.push_back("Authorization: " + c.authorization);
    Http_Reply r = http("GET", engine_->url(engine_->api_path()), h, "");
    EXPECT_EQ(r.status, c.status) << r.body;
    if (c.status == 401) {
      EXPECT_EQ(r.str("/reason"), "Unauthorized");
      EXPECT_FALSE(r.str("/detail").empty());
    }
  }
}

TEST_F(Engine_Simulator_Test, TokenEndpointIssuesBearerTokensThatExpire)
{
  const std::string token_url = engine_->url(engine_->token_path());
  const std::vector<std::string> form = {"Content-Type: application/x-www-form-urlencoded", "Accept: application/json"};
  auto ask = [&](const std::string& body, const std::vector<std::string>& h) { return http("POST", token_url, h, body); };

  struct Case {
    std::string body;
    std::vector<std::string> headers;
    long status;
    const char* error_code;
  };
  const std::string good = "grant_type=password&scope=ovirt-app-api&username=admin%40internal&password=engine-password";
  const Case cases[] = {
    {"grant_type=password&scope=ovirt-app-api&username=admin%40internal&password=wrong", form, 401, "access_denied"},
    {"grant_type=client_credentials&scope=ovirt-app-api&username=admin%40internal&password=engine-password", form,
     400, "unsupported_grant_type"},
    {"grant_type=password&scope=openid&username=admin%40internal&password=engine-password", form, 400,
     "invalid_scope"},
    {good, {"Content-Type: application/json", "Accept: application/json"}, 400, "invalid_request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Http_Reply r = ask(c.body, c.headers);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.str("/error_code"), c.error_code);
    EXPECT_FALSE(r.str("/error").empty());
    EXPECT_EQ(r.at("/access_token"), nullptr);
  }
  EXPECT_EQ(engine_->tokens_issued(), 0u);

  // Form values are URL-encoded: '+' is a space, %XX a byte.
  engine_->set_user("ops user@internal", "s3cret&=+");
  Http_Reply t = ask("grant_type=password&scope=ovirt-app-api&username=ops+user%40internal&password=s3cret%26%3d%2b",
                     form);
  ASSERT_EQ(t.status, 200) << t.body;
  EXPECT_EQ(t.str("/token_type"), "bearer");
  const std::string token = t.str("/access_token");
  ASSERT_FALSE(token.empty());

  std::vector<std::string> api = {"Version: 4", "Accept: application/json", "Content-Type: application/json",
                                  "Authorization: Bearer " + token};
  EXPECT_EQ(http("GET", engine_->url(engine_->api_path("/vms")), api, "").status, 200);

  engine_->expire_tokens();
  Http_Reply refused = http("GET", engine_->url(engine_->api_path("/vms")), api, "");
  EXPECT_EQ(refused.status, 401);
  Http_Reply again = ask(good, form);
  ASSERT_EQ(again.status, 200);
  EXPECT_NE(again.str("/access_token"), token);
  api.back() = "Authorization: Bearer " + again.str("/access_token");
  EXPECT_EQ(http("GET", engine_->url(engine_->api_path("/vms")), api, "").status, 200);
  EXPECT_EQ(engine_->tokens_issued(), 2u);
}

TEST_F(Engine_Simulator_Test, SearchAndFollowFollowTheEnginesSyntax)
{
  struct Case {
    std::string query;
    long status;
    std::vector<std::string> names;
  };
  const Case cases[] = {
    {"search=name%3dweb%2a&case_sensitive=0", 200, {"web-01"}},
    {"search=name%3dWEB%2a&case_sensitive=0", 200, {"web-01"}},
    {"search=name%3dWEB%2a&case_sensitive=1", 200, {}},
    {"search=name%3dWEB%2a", 200, {}},  // case-sensitive unless told otherwise
    {"search=name%3d%2a0%2a&case_sensitive=false", 200, {"web-01", "db-01", "app-02", "west-01", "empty-01"}},
    {"search=name%3d%2a-0%2a+and+status%3ddown&case_sensitive=0", 200, {"app-02", "empty-01"}},
    {"search=cluster%3deast-dev", 200, {"app-02", "empty-01"}},
    {"search=name%3d%22db-01%22", 200, {"db-01"}},
    {"search=name", 400, {}},
    {"search=owner%3dadmin", 400, {}},
    {"search=name%3dweb%2a&case_sensitive=maybe", 400, {}},
    {"follow=disks", 400, {}},
    {"follow=disk_attachments.disk%2cnics&search=name%3ddb-01", 200, {"db-01"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Http_Reply r = get("/vms?" + c.query);
    ASSERT_EQ(r.status, c.status) << r.body;
    if (c.status != 200) {
      EXPECT_FALSE(r.str("/detail").empty());
      continue;
    }
    std::vector<std::string> names;
    if (const Value* list = r.at("/vm"))
      for (const Value& vm : list->get_array())
        names.push_back(vm.get_obj().at("name").get_str());
    EXPECT_EQ(names, c.names);
  }
  Http_Reply db = get("/vms?follow=disk_attachments.disk%2cnics&search=name%3ddb-01");
  EXPECT_EQ(db.str("/vm/0/disk_attachments/disk_attachment/3/disk/shareable"), "true");
  EXPECT_EQ(db.str("/vm/0/nics/nic/0/vnic_profile/id"), PROFILE_EAST_BACKEND_ID);

  Http_Reply clusters = get("/clusters?search=name%3d%2aprod%2a&case_sensitive=0");
  ASSERT_EQ(clusters.status, 200);
  EXPECT_EQ(clusters.at("/cluster")->get_array().size(), 2u);
  EXPECT_EQ(get("/clusters?search=datacenter%3dwest").str("/cluster/0/name"), "west-prod");
  EXPECT_EQ(get(std::string("/vms/") + VM_DB_ID + "/diskattachments?follow=disk").str(
                "/disk_attachment/1/disk/name"),
            "db-01_data");
  EXPECT_EQ(get(std::string("/vms/") + VM_DB_ID + "/diskattachments?follow=nics").status, 400);
}

TEST_F(Engine_Simulator_Test, RulesOfTheEngineAnswerConflict)
{
  const std::string web = std::string("/vms/") + VM_WEB_ID;
  const std::string agent = std::string("/vms/") + AGENT_VM_ID;
  Engine_Timing slow_snapshots;
  slow_snapshots.snapshot_create = std::chrono::hours(1);
  engine_->set_timing(slow_snapshots);
  const std::string locked_snapshot = snapshot_of(VM_WEB_ID);
  ASSERT_FALSE(locked_snapshot.empty());
  engine_->set_timing(Engine_Timing());
  const std::string db_snapshot = snapshot_of(VM_DB_ID, "[{\"disk\":{\"id\":\"" + std::string(DISK_DB_LOG_ID) + "\"}}]");
  ASSERT_EQ(attach_to_agent(DISK_DB_LOG_ID, db_snapshot).status, 201);
  ASSERT_TRUE(engine_->set_disk_status(DISK_APP_OS_ID, "locked"));
  Sim_VM db;
  ASSERT_TRUE(engine_->find_vm(VM_DB_ID, db));

  struct Case {
    const char* what;
    std::string method;
    std::string path;
    std::string body;
    const char* detail;  // part of the fault detail
  };
  const std::string agent_attach = "{\"active\":\"true\",\"bootable\":\"false\",\"interface\":\"virtio\",\"disk\":";
  const Case cases[] = {
    {"second snapshot while one is created", "POST", web + "/snapshots", "{\"description\":\"x\"}",
     "currently being created"},
    {"removal while a snapshot is created", "DELETE", web + "/snapshots/" + locked_snapshot, "",
     "currently being created"},
    {"snapshot disk attached elsewhere", "DELETE", std::string("/vms/") + VM_DB_ID + "/snapshots/" + db_snapshot, "",
     "is attached to VM tessera3-agent"},
    {"the Active VM snapshot", "DELETE", std::string("/vms/") + VM_DB_ID + "/snapshots/" + db.active_snapshot_id, "",
     "Active VM"},
    {"snapshot of a shareable disk", "POST", std::string("/vms/") + VM_DB_ID + "/snapshots",
     "{\"description\":\"x\",\"disk_attachments\":{\"disk_attachment\":[{\"disk\":{\"id\":\"" +
         std::string(DISK_SHARED_ID) + "\"}}]}}",
     "shareable"},
    {"snapshot of another VM's disk", "POST", std::string("/vms/") + VM_DB_ID + "/snapshots",
     "{\"description\":\"x\",\"disk_attachments\":{\"disk_attachment\":[{\"disk\":{\"id\":\"" +
         std::string(DISK_WEB_OS_ID) + "\"}}]}}",
     "not attached"},
    {"attach a locked disk", "POST", agent + "/diskattachments",
     agent_attach + "{\"id\":\"" + DISK_APP_OS_ID + "\"}}", "is locked"},
    {"attach the disk of a locked snapshot", "POST", agent + "/diskattachments",
     agent_attach + "{\"id\":\"" + DISK_WEB_OS_ID + "\",\"snapshot\":{\"id\":\"" + locked_snapshot + "\"}}}",
     "currently being created"},
    {"attach a disk of a locked VM", "POST", web + "/diskattachments",
     agent_attach + "{\"id\":\"" + DISK_WEST_OS_ID + "\"}}", "VM web-01 is locked"},
    {"attach a disk plugged elsewhere", "POST", std::string("/vms/") + VM_EMPTY_ID + "/diskattachments",
     agent_attach + "{\"id\":\"" + DISK_WEST_OS_ID + "\"}}", "not shareable"},
    {"detach the agent's own disk", "DELETE", agent + "/diskattachments/" + DISK_AGENT_OS_ID + "?detach_only=1", "",
     "belongs to the agent VM"},
    {"remove the agent VM", "DELETE", agent + "?detach_only=1&force=1", "", "backup agent"},
    {"remove a running VM", "DELETE", std::string("/vms/") + VM_WEST_ID + "?detach_only=1&force=0", "", "running"},
    {"start a running VM", "POST", std::string("/vms/") + VM_WEST_ID + "/start", "{}", "running"},
    {"a taken VM name", "POST", "/vms", "{\"name\":\"db-01\",\"cluster\":{\"id\":\"" + std::string(CLUSTER_EAST_DEV_ID) + "\"}}",
     "name is already in use"},
    {"raw sparse disk on iSCSI", "POST", "/disks",
     "{\"provisioned_size\":\"1048576\",\"format\":\"raw\",\"sparse\":\"true\",\"storage_domains\":"
     "{\"storage_domain\":[{\"id\":\"" + std::string(SD_EAST_ISCSI_ID) + "\"}]}}",
     "RAW Sparse"},
    {"preallocated disk larger than the space", "POST", "/disks",
     "{\"provisioned_size\":\"" + std::to_string(13 * GiB) + "\",\"format\":\"raw\",\"sparse\":\"false\","
     "\"storage_domains\":{\"storage_domain\":[{\"id\":\"" + std::string(SD_EAST_LOW_ID) + "\"}]}}",
     "Low disk space"},
    {"remove a disk plugged into the agent", "DELETE", std::string("/disks/") + DISK_AGENT_OS_ID, "", "detach it"},
    {"a MAC in use", "POST", std::string("/vms/") + VM_EMPTY_ID + "/nics",
     "{\"name\":\"nic1\",\"mac\":{\"address\":\"56:6f:5a:1e:00:02\"}}", "already in use"},
    {"a profile of another data center", "POST", std::string("/vms/") + VM_EMPTY_ID + "/nics",
     "{\"name\":\"nic1\",\"vnic_profile\":{\"id\":\"" + std::string(PROFILE_WEST_MGMT_ID) + "\"}}",
     "not in the data center"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Http_Reply r = call(c.method, c.path, c.body);
    EXPECT_EQ(r.status, 409) << r.body;
    EXPECT_EQ(r.str("/reason"), "Operation Failed");
    if (c.detail != nullptr) {
      EXPECT_NE(r.str("/detail").find(c.detail), std::string::npos) << r.body;
    }
  }

  // Once the snapshot is done and the disk detached, the same operations go through.
  engine_->run_pending();
  EXPECT_EQ(get(web + "/snapshots/" + locked_snapshot).str("/snapshot_status"), "ok");
  EXPECT_EQ(del(agent + "/diskattachments/" + DISK_DB_LOG_ID).status, 200);
  EXPECT_EQ(del(std::string("/vms/") + VM_DB_ID + "/snapshots/" + db_snapshot).status, 200);
  EXPECT_EQ(del(web + "/snapshots/" + locked_snapshot).status, 200);
  EXPECT_TRUE(engine_->snapshots().empty());
}

TEST_F(Engine_Simulator_Test, SnapshotsLockThenSettleAndRemovalsTakeTime)
{
  Engine_Timing t;
  t.snapshot_create = std::chrono::hours(1);
  t.snapshot_remove = std::chrono::hours(1);
  engine_->set_timing(t);
  const std::string vm = std::string("/vms/") + VM_WEB_ID;
  const std::string id = snapshot_of(VM_WEB_ID);

  EXPECT_EQ(get(vm + "/snapshots/" + id).str("/snapshot_status"), "locked");
  EXPECT_EQ(get(std::string("/disks/") + DISK_WEB_OS_ID).str("/status"), "locked");  // disks lock with it
  Http_Reply list = get(vm + "/snapshots");
  EXPECT_EQ(list.str("/snapshot/0/snapshot_type"), "active");
  EXPECT_EQ(list.str("/snapshot/0/description"), "Active VM");
  EXPECT_EQ(list.str("/snapshot/1/id"), id);
  ASSERT_NE(list.at("/snapshot/1/date"), nullptr);
  EXPECT_EQ(list.at("/snapshot/1/date")->type(), json_spirit::int_type);
  EXPECT_EQ(engine_->pending(), 1u);

  engine_->run_pending();
  EXPECT_EQ(get(vm + "/snapshots/" + id).str("/snapshot_status"), "ok");
  EXPECT_EQ(get(std::string("/disks/") + DISK_WEB_OS_ID).str("/status"), "ok");
  Http_Reply disks = get(vm + "/snapshots/" + id + "/disks");
  ASSERT_EQ(disks.at("/disk")->get_array().size(), 2u);
  EXPECT_EQ(disks.str("/disk/0/snapshot/id"), id);

  ASSERT_EQ(del(vm + "/snapshots/" + id).status, 200);
  EXPECT_EQ(get(vm + "/snapshots/" + id).str("/snapshot_status"), "locked");
  EXPECT_EQ(post(vm + "/snapshots", "{\"description\":\"next\"}").status, 409);  // one operation at a time
  ASSERT_EQ(engine_->snapshots(VM_WEB_ID).size(), 1u);
  const std::string copies = engine_->snapshots(VM_WEB_ID)[0].disks[0].path;
  EXPECT_TRUE(exists(copies));

  engine_->run_pending();
  EXPECT_EQ(get(vm + "/snapshots/" + id).status, 404);
  EXPECT_TRUE(engine_->snapshots().empty());
  EXPECT_FALSE(exists(copies));
}

TEST_F(Engine_Simulator_Test, SnapshotDiskDeviceShowsTheDataAsOfTheSnapshot)
{
  const std::string before = engine_->disk_digest(DISK_WEB_DATA_ID);
  const std::string snapshot = snapshot_of(VM_WEB_ID);
  ASSERT_TRUE(engine_->write_disk(DISK_WEB_DATA_ID, 0, "written after the snapshot"));

  // The copy keeps the holes of the original.
  Sim_Snapshot s = engine_->snapshots(VM_WEB_ID).at(0);
  struct stat st;
  ASSERT_EQ(::stat(s.disks[1].path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 8 * MiB);
  EXPECT_LT(st.st_blocks * 512, 2 * MiB);

  Http_Reply attached = attach_to_agent(DISK_WEB_DATA_ID, snapshot);
  ASSERT_EQ(attached.status, 201) << attached.body;
  EXPECT_EQ(attached.str("/id"), DISK_WEB_DATA_ID);
  EXPECT_EQ(attached.at("/logical_name"), nullptr);  // logical names are off by default
  const std::string device = engine_->device_path(DISK_WEB_DATA_ID);
  EXPECT_EQ(device, config_.device_dir + "/virtio-08000003-5a1e-4d00-9");
  EXPECT_EQ(file_digest(device), before);
  EXPECT_NE(engine_->disk_digest(DISK_WEB_DATA_ID), before);
  EXPECT_EQ(file_part(engine_->device_path(DISK_WEB_DATA_ID), 0, 26), pattern(3, 0, 26));  // not the new bytes

  Http_Reply followed = get(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_WEB_DATA_ID +
                            "?follow=disk");
  EXPECT_EQ(followed.str("/disk/snapshot/id"), snapshot);

  ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_WEB_DATA_ID + "?detach_only=1").status,
            200);
  EXPECT_FALSE(exists(device));
  EXPECT_EQ(engine_->attachments(AGENT_VM_ID).size(), 1u);  // its own disk only
}

TEST_F(Engine_Simulator_Test, DevicesAppearAfterTheirDelayAndGoOnDetach)
{
  Engine_Timing t;
  t.device_appear = std::chrono::hours(1);
  engine_->set_timing(t);
  engine_->set_logical_names(true);
  const std::string snapshot = snapshot_of(VM_DB_ID);
  const std::string device = engine_->device_path(DISK_DB_OS_ID);

  ASSERT_EQ(attach_to_agent(DISK_DB_OS_ID, snapshot).status, 201);
  EXPECT_FALSE(exists(device));
  // No device yet, so no logical name either (as right after a hot-plug).
  EXPECT_EQ(get(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_DB_OS_ID).at("/logical_name"),
            nullptr);
  engine_->run_pending();
  ASSERT_TRUE(exists(device));
  Http_Reply a = get(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_DB_OS_ID);
  const std::string logical = a.str("/logical_name");
  EXPECT_EQ(logical, config_.data_dir + "/dev/vdb");  // vda is the agent's own disk
  EXPECT_EQ(file_digest(logical), file_digest(device));
  EXPECT_EQ(file_part(device, 0, 4096), pattern(4, 0, 4096));

  ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_DB_OS_ID).status, 200);
  EXPECT_FALSE(exists(device));
  EXPECT_FALSE(exists(logical));

  // A detach before the device appeared cancels it.
  ASSERT_EQ(attach_to_agent(DISK_DB_OS_ID, snapshot).status, 201);
  ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + DISK_DB_OS_ID).status, 200);
  engine_->run_pending();
  EXPECT_FALSE(exists(device));

  // A device that never comes.
  engine_->set_devices_appear(false);
  ASSERT_EQ(attach_to_agent(DISK_DB_OS_ID, snapshot).status, 201);
  engine_->run_pending();
  EXPECT_FALSE(exists(device));
  EXPECT_EQ(engine_->devices(), std::vector<std::string>({"virtio-08000001-5a1e-4d00-9"}));
}

TEST_F(Engine_Simulator_Test, NewDisksAreSparseFilesLockedUntilReady)
{
  Engine_Timing t;
  t.disk_create = std::chrono::hours(1);
  engine_->set_timing(t);
  Sim_Storage_Domain before;
  ASSERT_TRUE(engine_->find_storage_domain(SD_EAST_ISCSI_ID, before));
  Http_Reply made = post("/disks",
                         "{\"name\":\"restored\",\"provisioned_size\":\"4194304\",\"format\":\"raw\","
                         "\"sparse\":\"false\",\"storage_domains\":{\"storage_domain\":[{\"id\":\"" +
                             std::string(SD_EAST_ISCSI_ID) + "\"}]}}");
  ASSERT_EQ(made.status, 201) << made.body;
  const std::string id = made.str("/id");
  EXPECT_EQ(made.str("/status"), "locked");
  EXPECT_EQ(made.str("/provisioned_size"), "4194304");
  EXPECT_EQ(attach_to_agent(id).status, 409);  // locked

  Sim_Storage_Domain after;
  ASSERT_TRUE(engine_->find_storage_domain(SD_EAST_ISCSI_ID, after));
  EXPECT_EQ(after.available, before.available - 4 * MiB);
  EXPECT_EQ(after.used, before.used + 4 * MiB);
  EXPECT_EQ(get("/storagedomains/" + std::string(SD_EAST_ISCSI_ID)).str("/available"),
            std::to_string(after.available));

  engine_->run_pending();
  EXPECT_EQ(get("/disks/" + id).str("/status"), "ok");
  Sim_Disk disk;
  ASSERT_TRUE(engine_->find_disk(id, disk));
  struct stat st;
  ASSERT_EQ(::stat(disk.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4 * MiB);
  EXPECT_EQ(st.st_blocks, 0);

  // Written through the agent's device, read back from the disk.
  ASSERT_EQ(attach_to_agent(id).status, 201);
  const std::string device = engine_->device_path(id);
  FILE* f = std::fopen(device.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fseek(f, 65536, SEEK_SET), 0);
  ASSERT_EQ(std::fwrite("restored bytes", 1, 14, f), 14u);
  std::fclose(f);
  EXPECT_EQ(engine_->read_disk(id).substr(65536, 14), "restored bytes");
  EXPECT_EQ(del("/disks/" + id).status, 409);  // still plugged into the agent
  ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + id + "?detach_only=1").status, 200);
  ASSERT_EQ(del("/disks/" + id).status, 200);
  EXPECT_FALSE(exists(disk.path));
  ASSERT_TRUE(engine_->find_storage_domain(SD_EAST_ISCSI_ID, after));
  EXPECT_EQ(after.available, before.available);
}

TEST_F(Engine_Simulator_Test, FaultTableMakesChosenCallsMisbehave)
{
  const std::string vms = engine_->api_path("/vms");
  Engine_Fault second;
  second.method = "GET";
  second.path = vms;
  second.nth = 2;
  second.status_code = 503;
  second.detail = "[Engine is busy]";
  const int id = engine_->add_fault(second);

  EXPECT_EQ(get("/vms").status, 200);
  EXPECT_EQ(post("/vms", "{}").status, 400);  // another method: not counted
  Http_Reply failed = get("/vms");
  EXPECT_EQ(failed.status, 503);
  EXPECT_EQ(failed.str("/reason"), "Operation Failed");
  EXPECT_EQ(failed.str("/detail"), "[Engine is busy]");
  EXPECT_EQ(get("/vms").status, 200);
  EXPECT_EQ(engine_->fault_hits(id), 1);
  engine_->clear_faults();

  struct Case {
    Engine_Fault::Kind kind;
    int status;
    CURLcode code;
    const char* content_type;
  };
  const Case cases[] = {
    {Engine_Fault::unauthorized, 401, CURLE_OK, "application/json"},
    {Engine_Fault::close_connection, 0, CURLE_GOT_NOTHING, ""},
    {Engine_Fault::garbage, 200, CURLE_OK, "application/json"},
    {Engine_Fault::html, 502, CURLE_OK, "text/html"},
    {Engine_Fault::custom, 200, CURLE_OK, "text/plain"},
    {Engine_Fault::slow, 200, CURLE_OK, "application/json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    Engine_Fault f;
    f.path = engine_->api_path("/vms/[^/]+/snapshots");
    f.kind = c.kind;
    f.status_code = c.status;
    f.body = "plain words";
    f.content_type = "text/plain";
    f.delay = std::chrono::milliseconds(20);
    engine_->add_fault(f);
    engine_->clear_requests();
    Http_Reply r = get(std::string("/vms/") + VM_WEB_ID + "/snapshots");
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.content_type, c.content_type);
    if (c.kind == Engine_Fault::garbage || c.kind == Engine_Fault::html) {
      EXPECT_TRUE(r.json.is_null()) << r.body;
    }
    if (c.kind == Engine_Fault::custom) {
      EXPECT_EQ(r.body, "plain words");
    }
    if (c.kind == Engine_Fault::slow) {
      EXPECT_EQ(r.str("/snapshot/0/snapshot_type"), "active");
    }
    ASSERT_EQ(engine_->requests().size(), 1u);
    EXPECT_EQ(engine_->requests()[0].status, c.status);
    // The fault fired once; the next call is answered normally.
    EXPECT_EQ(get(std::string("/vms/") + VM_WEB_ID + "/snapshots").status, 200);
    engine_->clear_faults();
  }

  // count < 0: every call from the nth on.
  Engine_Fault always;
  always.path = engine_->api_path("/datacenters");
  always.count = -1;
  always.status_code = 500;
  const int all = engine_->add_fault(always);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(get("/datacenters").status, 500);
  EXPECT_EQ(engine_->fault_hits(all), 3);
}

TEST_F(Engine_Simulator_Test, RequestLogKeepsWhatWasSent)
{
  engine_->clear_requests();
  post(std::string("/vms/") + VM_WEB_ID + "/snapshots", "{\"description\":\"logged\"}");
  get("/vms?search=name%3dweb%2a&case_sensitive=0&follow=disk_attachments.disk%2cnics");
  del(std::string("/vms/") + VM_WEB_ID + "/diskattachments/x?detach_only=1");
  std::vector<Engine_Request> log = engine_->requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].method, "POST");
  EXPECT_EQ(log[0].path, "/ovirt-engine/api/vms/" + std::string(VM_WEB_ID) + "/snapshots");
  EXPECT_EQ(log[0].body, "{\"description\":\"logged\"}");
  EXPECT_EQ(log[0].status, 201);
  EXPECT_EQ(log[0].header("version"), "4");
  EXPECT_TRUE(log[0].header("Authorization").rfind("Basic ", 0) == 0);
  EXPECT_EQ(log[1].query, "search=name%3dweb%2a&case_sensitive=0&follow=disk_attachments.disk%2cnics");
  EXPECT_EQ(log[1].param("search"), "name=web*");
  EXPECT_EQ(log[1].param("follow"), "disk_attachments.disk,nics");
  EXPECT_EQ(log[2].method, "DELETE");
  EXPECT_EQ(log[2].param("detach_only"), "1");
  EXPECT_EQ(log[2].status, 404);
  EXPECT_EQ(engine_->count_requests("GET", engine_->api_path("/vms")), 1u);
  EXPECT_EQ(engine_->count_requests("*", engine_->api_path("/vms/.*")), 2u);
}

// The steps a backup takes, with everything left as it was at the end.
TEST_F(Engine_Simulator_Test, BackupRoadLeavesNothingBehind)
{
  Engine_Timing t;
  t.snapshot_create = std::chrono::milliseconds(30);
  t.snapshot_remove = std::chrono::milliseconds(30);
  t.device_appear = std::chrono::milliseconds(30);
  engine_->set_timing(t);
  const std::string vm = std::string("/vms/") + VM_DB_ID;
  const std::vector<std::string> disks = {DISK_DB_OS_ID, DISK_DB_DATA_ID, DISK_DB_LOG_ID};
  std::map<std::string, std::string> originals;
  for (const std::string& d : disks)
    originals[d] = engine_->disk_digest(d);

  std::string chosen = "[";
  for (const std::string& d : disks)
    chosen += std::string(chosen.size() > 1 ? "," : "") + "{\"disk\":{\"id\":\"" + d + "\"}}";
  const std::string snapshot = snapshot_of(VM_DB_ID, chosen + "]");
  while (get(vm + "/snapshots/" + snapshot).str("/snapshot_status") != "ok")
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Http_Reply listed = get(vm + "/snapshots/" + snapshot + "/disks");
  ASSERT_EQ(listed.at("/disk")->get_array().size(), 3u);

  for (const std::string& d : disks) {
    ASSERT_EQ(attach_to_agent(d, snapshot).status, 201);
    const std::string device = engine_->device_path(d);
    while (!exists(device))
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(file_digest(device), originals[d]) << d;
    ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + d + "?detach_only=1").status, 200);
  }
  ASSERT_EQ(del(vm + "/snapshots/" + snapshot).status, 200);
  while (get(vm + "/snapshots/" + snapshot).status != 404)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  EXPECT_TRUE(engine_->snapshots().empty());
  EXPECT_EQ(engine_->attachments(AGENT_VM_ID).size(), 1u);
  EXPECT_EQ(engine_->devices(), std::vector<std::string>({"virtio-08000001-5a1e-4d00-9"}));
  EXPECT_EQ(engine_->pending(), 0u);
  for (const std::string& d : disks)
    EXPECT_EQ(engine_->disk_digest(d), originals[d]);
}

// The steps a restore takes: disks, VM, NICs, data through the agent, attach, start.
TEST_F(Engine_Simulator_Test, RestoreRoadBuildsAWorkingVm)
{
  Http_Reply disk = post("/disks",
                         "{\"name\":\"web-01_data_20260101000000\",\"provisioned_size\":\"8388608\",\"format\":\"cow\","
                         "\"sparse\":\"true\",\"backup\":\"incremental\",\"storage_domains\":{\"storage_domain\":"
                         "[{\"id\":\"" + std::string(SD_EAST_ISCSI_ID) + "\"}]}}");
  ASSERT_EQ(disk.status, 201) << disk.body;
  const std::string disk_id = disk.str("/id");
  Http_Reply vm = post("/vms",
                       "{\"name\":\"web-01-restored\",\"cluster\":{\"id\":\"" + std::string(CLUSTER_EAST_DEV_ID) +
                           "\"},\"memory\":\"1073741824\",\"cpu\":{\"topology\":{\"cores\":\"2\",\"sockets\":\"1\","
                           "\"threads\":\"1\"}},\"status\":\"up\",\"nics\":{\"nic\":[{\"id\":\"x\"}]}}");
  ASSERT_EQ(vm.status, 201) << vm.body;
  const std::string vm_id = vm.str("/id");
  EXPECT_EQ(vm.str("/status"), "down");
  EXPECT_EQ(vm.str("/cpu/topology/cores"), "2");
  EXPECT_EQ(get("/vms/" + vm_id + "/nics").body, "{}");  // NICs of the body are not made

  Http_Reply nic = post("/vms/" + vm_id + "/nics",
                        "{\"name\":\"nic1\",\"interface\":\"virtio\",\"linked\":\"true\",\"vnic_profile\":{\"id\":\"" +
                            std::string(PROFILE_EAST_BACKEND_ID) + "\"}}");
  ASSERT_EQ(nic.status, 201) << nic.body;
  EXPECT_EQ(nic.str("/mac/address").size(), 17u);

  ASSERT_EQ(attach_to_agent(disk_id).status, 201);
  const std::string data = pattern(99, 0, 300000);
  FILE* f = std::fopen(engine_->device_path(disk_id).c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
  std::fclose(f);
  ASSERT_EQ(del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + disk_id + "?detach_only=1").status, 200);

  Http_Reply attached = post("/vms/" + vm_id + "/diskattachments",
                             "{\"active\":\"true\",\"bootable\":\"true\",\"interface\":\"virtio_scsi\",\"disk\":{\"id\":\"" +
                                 disk_id + "\"}}");
  ASSERT_EQ(attached.status, 201) << attached.body;
  EXPECT_FALSE(exists(engine_->device_path(disk_id)));  // only the agent's disks show up here
  Http_Reply started = post("/vms/" + vm_id + "/start", "{}");
  ASSERT_EQ(started.status, 200) << started.body;
  Http_Reply running = get("/vms/" + vm_id);
  EXPECT_EQ(running.str("/status"), "up");
  EXPECT_EQ(running.str("/host/id"), HOST_EAST_2_ID);
  EXPECT_EQ(engine_->read_disk(disk_id).substr(0, data.size()), data);

  // Removal with force and without detach_only takes the disk along.
  ASSERT_EQ(del("/vms/" + vm_id + "?detach_only=0&force=1").status, 200);
  Sim_Disk gone;
  EXPECT_FALSE(engine_->find_disk(disk_id, gone));
  EXPECT_TRUE(engine_->nics(vm_id).empty());
  EXPECT_TRUE(engine_->attachments(vm_id).empty());
}

TEST_F(Engine_Simulator_Test, MalformedBodiesAreRefused)
{
  struct Case {
    std::string path;
    std::string body;
  };
  const std::string storage = "\"storage_domains\":{\"storage_domain\":[{\"id\":\"" + std::string(SD_EAST_NFS_ID) + "\"}]}";
  const Case cases[] = {
    {"/disks", "not json"},
    {"/disks", "[1,2]"},
    {"/disks", "{\"provisioned_size\":1048576,\"format\":\"raw\"," + storage + "}"},   // a number, not a string
    {"/disks", "{\"provisioned_size\":\"1048576\",\"format\":\"raw\",\"sparse\":true," + storage + "}"},  // a bool
    {"/disks", "{\"provisioned_size\":\"1048576\"," + storage + "}"},                  // no format
    {"/disks", "{\"provisioned_size\":\"1048576\",\"format\":\"qcow\"," + storage + "}"},
    {"/vms", "{\"name\":\"x\"}"},                                                        // no cluster
    {"/vms", "{\"name\":\"x\",\"cluster\":{\"id\":\"" + std::string(CLUSTER_EAST_DEV_ID) +
                 "\"},\"disk_attachments\":{\"disk_attachment\":[{\"disk\":{\"id\":\"" + DISK_WEB_OS_ID + "\"}}]}}"},
    {std::string("/vms/") + AGENT_VM_ID + "/diskattachments", "{\"interface\":\"virtio\"}"},
    {std::string("/vms/") + AGENT_VM_ID + "/diskattachments",
     "{\"interface\":\"scsi\",\"disk\":{\"id\":\"" + std::string(DISK_WEST_OS_ID) + "\"}}"},
    {std::string("/vms/") + VM_WEB_ID + "/snapshots", "{\"persist_memorystate\":\"false\"}"},
    {std::string("/vms/") + VM_WEB_ID + "/snapshots", "{\"description\":\"x\",\"disk_attachments\":[]}"},
    {std::string("/vms/") + VM_EMPTY_ID + "/nics", "{\"name\":\"n\",\"mac\":{\"address\":\"56:6f:zz:00:00:01\"}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    Http_Reply r = post(c.path, c.body);
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_FALSE(r.str("/detail").empty());
  }
  EXPECT_TRUE(engine_->snapshots().empty());
  EXPECT_EQ(engine_->disks().size(), 9u);
  EXPECT_EQ(engine_->vms().size(), 6u);
  EXPECT_EQ(get("/no/such/collection").status, 404);
  EXPECT_EQ(call("PUT", "/vms", "{}").status, 405);
}

TEST_F(Engine_Simulator_Test, ConcurrentClientsSeeAConsistentEngine)
{
  // Each thread backs up its own VM's disks while others list the inventory.
  const std::vector<std::pair<std::string, std::string>> work = {
    {VM_WEB_ID, DISK_WEB_OS_ID}, {VM_DB_ID, DISK_DB_LOG_ID}, {VM_APP_ID, DISK_APP_OS_ID}};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (const auto& w : work)
    threads.emplace_back([&, w] {
      for (int round = 0; round < 5; ++round) {
        std::string snapshot = snapshot_of(w.first, "[{\"disk\":{\"id\":\"" + w.second + "\"}}]");
        bool ok = attach_to_agent(w.second, snapshot).status == 201 && exists(engine_->device_path(w.second)) &&
                  del(std::string("/vms/") + AGENT_VM_ID + "/diskattachments/" + w.second).status == 200 &&
                  del("/vms/" + w.first + "/snapshots/" + snapshot).status == 200;
        failures += ok ? 0 : 1;
      }
    });
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      for (int round = 0; round < 20; ++round)
        failures += get("/vms?follow=disk_attachments.disk%2cnics").status == 200 ? 0 : 1;
    });
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(engine_->snapshots().empty());
  EXPECT_EQ(engine_->attachments(AGENT_VM_ID).size(), 1u);
}

TEST(Engine_Simulator_Tls, ServesHttpsWithACertificateMadeAtTestTime)
{
  Temp_Dir dir;
  Engine_Config config = sample_inventory::config(dir.path());
  config.tls = true;
  config.url_prefix = "engine";
  Engine_Simulator engine(config);
  ASSERT_TRUE(load(engine));
  ASSERT_TRUE(engine.start());
  ASSERT_FALSE(engine.ca_file().empty());
  EXPECT_EQ(engine.url().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_EQ(engine.api_path("/vms"), "/engine/api/vms");

  const std::vector<std::string> h = {"Version: 4", "Accept: application/json", "Content-Type: application/json",
                                      "Authorization: Basic " + base64("admin@internal:engine-password")};
  Http_Reply trusted = http("GET", engine.url("/engine/api/datacenters"), h, "", engine.ca_file());
  ASSERT_EQ(trusted.code, CURLE_OK);
  EXPECT_EQ(trusted.status, 200);
  EXPECT_EQ(trusted.str("/data_center/0/name"), "east");

  // Without the test CA (the system's CAs only) the certificate is not trusted.
  Http_Reply untrusted = http("GET", engine.url("/engine/api/datacenters"), h, "");
  EXPECT_EQ(untrusted.code, CURLE_PEER_FAILED_VERIFICATION);
  // The default prefix is not served.
  EXPECT_EQ(http("GET", engine.url("/ovirt-engine/api"), h, "", engine.ca_file()).status, 404);
}

}  // namespace
