#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_IMPL_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_IMPL_H

// The inside of the engine simulator, shared by its source files:
//   engine_simulator.cpp         server, request pipeline (log, faults, headers, auth),
//                                timer
//   engine_simulator_seed.cpp    seeding, run-time changes and inspection
//   engine_simulator_routes.cpp  the REST resources: API root, infrastructure, VMs, NICs;
//                                the list of the engine's rules
//   engine_simulator_storage.cpp disks, disk attachments, snapshots
//   engine_simulator_state.cpp   lookups, locks, snapshot copies, devices
//   engine_simulator_render.cpp  the engine's JSON for each record; body and query parsing
//   engine_simulator_files.cpp   backing files, sparse copies and device links
//
// Everything here runs with `mutex` held unless a function says otherwise.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/json/json_spirit.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/test_http_server.h"

namespace test_support {
namespace engine_sim {

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;
using Clock = std::chrono::steady_clock;

// What a route answers: a status and a JSON body (an object, or null for no body).
struct Reply {
  int status = 200;
  Value body;
};

// One REST call, as the routes see it.
struct Call {
  std::string method;
  std::vector<std::string> ids;               // the "*" segments of the route, decoded
  std::map<std::string, std::string> params;  // decoded query parameters
  Object body;                                // the parsed body of a POST; empty otherwise
};

// Fault bodies: {"reason", "detail"}.
Reply fault(int status, const std::string& reason, const std::string& detail);
// 409, the engine's answer to an operation its rules refuse.
Reply conflict(const std::string& detail);
// 404 with an empty body: the engine's answer to a path whose id, or sub-resource of a
// known entity, names nothing. `what` and `id` name it for the reader of the route only.
Reply not_found(const std::string& what, const std::string& id);
// 404 with a fault body: an entity named inside a request body does not exist.
Reply unknown_in_body(const std::string& what, const std::string& id);
// 400 for a malformed request.
Reply bad_request(const std::string& detail);

// Successful replies: `o` with a status; {"status": "complete"} (removals); a list wrapper
// {"<element>": [items]}, {} when there are none.
Reply ok(Object o, int status = 200);
Reply complete();
Reply list_reply(const std::string& element, Array items);

// ---- parsing (engine_simulator_render.cpp) ----

// Splits and decodes "a=1&b=x+y" into {a: "1", b: "x y"}.
std::map<std::string, std::string> parse_query(const std::string& query);
// "true"/"1" -> true, "false"/"0" -> false; other texts fail.
bool parse_bool_param(const std::string& text, bool& out);
// Body fields as the engine writes them: numbers and flags as JSON strings. Each returns
// false for a present member of the wrong form (left `out` unchanged); absent members
// return true and leave `out` unchanged.
bool body_text(const Object& o, const std::string& key, std::string& out);
bool body_number(const Object& o, const std::string& key, int64_t& out);
bool body_flag(const Object& o, const std::string& key, bool& out);
// The "id" of a link member ({"id": ...}); false when the member is present without a text id.
bool body_link_id(const Object& o, const std::string& key, std::string& out);
// The elements of a list member {"<key>": {"<element>": [{...}, ...]}}; an absent member or
// an empty wrapper gives none. False when the shape is wrong.
bool body_list(const Object& o, const std::string& key, const std::string& element,
               std::vector<Object>& out);

// The "follow" parameter: comma-separated paths. False (with the offending item) when an
// item is not among `allowed`.
bool parse_follow(const std::string& text, const std::set<std::string>& allowed,
                  std::set<std::string>& out, std::string& bad);

// The engine's search: terms "field=value" joined by " and "; values may hold "*" wildcards
// and be quoted.
struct Search_Term {
  std::string field;
  std::string pattern;
};
bool parse_search(const std::string& text, std::vector<Search_Term>& out, std::string& error);
bool wildcard_match(const std::string& pattern, const std::string& text, bool case_sensitive);

// Query parameters of a call, each answering 400 in `error` when malformed:
// a boolean (absent: `fallback`); "follow" checked against `allowed`; "search" (terms on
// `fields` only) with "case_sensitive" (default true).
bool bool_param(const Call& c, const std::string& name, bool fallback, bool& out, Reply& error);
bool follow_param(const Call& c, const std::set<std::string>& allowed, std::set<std::string>& out, Reply& error);
struct Search {
  std::vector<Search_Term> terms;
  bool case_sensitive = true;
};
bool search_param(const Call& c, const std::set<std::string>& fields, Search& s, Reply& error);
// Whether every term matches; value_of(field) gives the record's text for a field.
template <class Value_Of>
bool search_match(const Search& s, Value_Of value_of)
{
  for (const Search_Term& t : s.terms)
    if (!wildcard_match(t.pattern, value_of(t.field), s.case_sensitive))
      return false;
  return true;
}

// ---- files (engine_simulator_files.cpp) ----

bool make_dirs(const std::string& path);
// A sparse file of `size` bytes (replaces any file there).
bool create_sparse_file(const std::string& path, int64_t size, std::string& error);
// Copies `src` to `dst` keeping holes: only the data ranges are copied (copy_file_range, or
// read/write where the kernel cannot), the rest stays unallocated.
bool sparse_copy(const std::string& src, const std::string& dst, std::string& error);
// Bytes allocated to the file (its blocks), -1 when it cannot be read.
int64_t allocated_bytes(const std::string& path);
bool write_at(const std::string& path, uint64_t offset, const std::string& bytes);
std::string read_file(const std::string& path);
// SHA-256 in hex, "" when the file cannot be read.
std::string sha256_of_file(const std::string& path);
// Makes `link` a symbolic link to `target`, replacing what is there.
bool make_link(const std::string& target, const std::string& link);
void remove_path(const std::string& path);
void remove_tree(const std::string& path);

// The backups, checkpoints and image transfers (engine_simulator_backup.cpp).
struct Backup_State;

// A new random id in the engine's form (lower-case 8-4-4-4-12).
std::string new_id();
int64_t now_ms();

// Records of one kind in the order they were added, indexed by a key: their id, or the VM
// of an attachment. They change only through push_back() and erase() (which keep the
// index), and a record's key is never changed in place.
template <class T, std::string T::*Key = &T::id>
class Records {
public:
  using iterator = typename std::vector<T>::iterator;
  using const_iterator = typename std::vector<T>::const_iterator;

  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  T& front() { return items_.front(); }
  const T& front() const { return items_.front(); }
  T& operator[](size_t i) { return items_[i]; }
  const T& operator[](size_t i) const { return items_[i]; }
  operator const std::vector<T>&() const { return items_; }

  void push_back(const T& item)
  {
    items_.push_back(item);
    if (!stale_)
      by_key_[item.*Key].push_back(items_.size() - 1);
  }
  iterator erase(iterator first, iterator last)
  {
    stale_ = true;
    return items_.erase(first, last);
  }

  // The positions of the records with this key, in order.
  const std::vector<size_t>& positions(const std::string& key) const
  {
    static const std::vector<size_t> none;
    if (stale_) {
      by_key_.clear();
      for (size_t i = 0; i < items_.size(); ++i)
        by_key_[items_[i].*Key].push_back(i);
      stale_ = false;
    }
    auto it = by_key_.find(key);
    return it != by_key_.end() ? it->second : none;
  }
  // The first record with this key; null when there is none.
  T* find(const std::string& key)
  {
    const std::vector<size_t>& at = positions(key);
    return at.empty() ? nullptr : &items_[at.front()];
  }

private:
  std::vector<T> items_;
  mutable std::unordered_map<std::string, std::vector<size_t>> by_key_;
  mutable bool stale_ = false;
};

}  // namespace engine_sim

struct Engine_Simulator::Impl {
  using Reply = engine_sim::Reply;
  using Call = engine_sim::Call;
  using Object = engine_sim::Object;
  using Handler = std::function<Reply(Impl&, const Call&)>;

  struct Route {
    std::string method;
    std::vector<std::string> segments;  // "*" matches one segment
    Handler handler;
  };

  struct Fault_Entry {
    int id = 0;
    Engine_Fault fault;
    std::regex re;
    int seen = 0;   // matching calls since it was added
    int hits = 0;   // calls it made misbehave
  };

  struct Event {
    std::string key;               // cancel() drops every event of a key
    std::function<void()> fire;    // runs with `mutex` held
  };

  explicit Impl(Engine_Config c);
  ~Impl();

  // ---- pipeline (engine_simulator.cpp) ----
  void handle(const httplib::Request& req, httplib::Response& res);
  void answer_token(const Engine_Request& request, httplib::Response& res, int& status);
  bool authorized(const Engine_Request& request, std::string& why) const;
  Reply route(const std::string& method, const std::vector<std::string>& segments,
              const Engine_Request& request);

  // ---- timer ----
  // Runs `fire` after `delay`; at once (within the caller) when the delay is 0.
  void schedule(std::chrono::milliseconds delay, const std::string& key, std::function<void()> fire);
  void cancel(const std::string& key);
  void timer_loop();

  // ---- routes (engine_simulator_routes.cpp: infrastructure, VMs, NICs;
  //      engine_simulator_storage.cpp: disks, attachments, snapshots) ----
  void install_routes();
  void install_storage_routes();
  void install_backup_routes();  // engine_simulator_backup.cpp
  void add_route(const std::string& method, const std::string& pattern, Handler handler);

  // ---- state helpers (engine_simulator_state.cpp) ----
  Sim_Data_Center* find_dc(const std::string& id);
  Sim_Cluster* find_cluster(const std::string& id);
  Sim_Host* find_host(const std::string& id);
  Sim_Network* find_network(const std::string& id);
  Sim_VNIC_Profile* find_profile(const std::string& id);
  Sim_Storage_Domain* find_domain(const std::string& id);
  Sim_VM* find_vm(const std::string& id);
  Sim_Disk* find_disk(const std::string& id);
  Sim_NIC* find_nic(const std::string& vm_id, const std::string& id);
  Sim_Snapshot* find_snapshot(const std::string& vm_id, const std::string& id);
  Sim_Disk_Attachment* find_attachment(const std::string& vm_id, const std::string& disk_id);
  // The VM's name, or its id when there is no such VM (for messages).
  std::string vm_name(const std::string& vm_id);

  // A snapshot of the VM is being created or removed.
  const Sim_Snapshot* snapshot_in_progress(const std::string& vm_id) const;
  // The VM is locked: "image_locked", or a snapshot operation runs on it.
  bool vm_locked(const Sim_VM& vm) const;
  // The disk's status as the engine reports it: "locked" also while a snapshot that holds
  // the disk is created or removed.
  std::string disk_status(const Sim_Disk& disk) const;
  // The disk of an attachment: the snapshot's copy for a snapshot disk.
  const Sim_Disk* attached_disk(const Sim_Disk_Attachment& a);

  std::string disk_file(const std::string& disk_id) const;
  std::string snapshot_dir(const std::string& snapshot_id) const;

  // Devices of disks attached to the agent VM.
  void plug(const Sim_Disk_Attachment& a);
  void unplug(const std::string& disk_id);
  std::string logical_name(const std::string& disk_id) const;  // "" when none reported

  std::string new_mac();
  void erase_snapshot(const std::string& vm_id, const std::string& snapshot_id);
  void erase_disk(const std::string& disk_id);
  Sim_Snapshot take_snapshot(const Sim_VM& vm, const std::vector<std::string>& disk_ids,
                             const std::string& description, std::string& error);

  // ---- rendering (engine_simulator_render.cpp) ----
  std::string href(const std::string& relative) const;
  Object link(const std::string& relative, const std::string& id) const;
  Object render_data_center(const Sim_Data_Center& dc) const;
  Object render_cluster(const Sim_Cluster& c) const;
  Object render_host(const Sim_Host& h) const;
  Object render_network(const Sim_Network& n) const;
  Object render_profile(const Sim_VNIC_Profile& p) const;
  Object render_domain(const Sim_Storage_Domain& d) const;
  Object render_vm(const Sim_VM& vm, const std::set<std::string>& follow);
  Object render_disk(const Sim_Disk& d) const;
  Object render_attachment(const Sim_Disk_Attachment& a, bool follow_disk);
  Object render_nic(const Sim_NIC& n, bool follow_profile);
  Object render_snapshot(const Sim_Snapshot& s) const;
  Object render_active_snapshot(const Sim_VM& vm) const;
  Object render_api_root() const;

  // ---- members ----
  Engine_Config config;
  std::string host = "127.0.0.1";
  std::string ca_file;
  std::unique_ptr<Test_Http_Server> server;

  mutable std::mutex mutex;
  std::condition_variable timer_cv;
  std::thread timer;
  bool timer_stop = false;
  std::multimap<engine_sim::Clock::time_point, Event> events;

  std::map<std::string, std::string> users;  // name -> password
  std::set<std::string> tokens;
  size_t tokens_issued = 0;
  Sim_Version version;
  bool product_info = true;
  Engine_Timing timing;
  bool logical_names = false;
  bool devices_appear = true;

  std::vector<Fault_Entry> faults;
  int next_fault_id = 1;
  std::vector<Engine_Request> log;
  size_t log_base = 0;  // how many requests clear_requests() dropped before log[0]

  engine_sim::Records<Sim_Data_Center> dcs;
  engine_sim::Records<Sim_Cluster> clusters;
  engine_sim::Records<Sim_Host> hosts;
  engine_sim::Records<Sim_Network> networks;
  engine_sim::Records<Sim_VNIC_Profile> profiles;
  engine_sim::Records<Sim_Storage_Domain> domains;
  engine_sim::Records<Sim_VM> vms;
  engine_sim::Records<Sim_Disk> disks;
  engine_sim::Records<Sim_Disk_Attachment, &Sim_Disk_Attachment::vm_id> attachments;  // by VM
  engine_sim::Records<Sim_NIC> nics;
  engine_sim::Records<Sim_Snapshot> snapshots;
  std::map<std::string, std::string> logical_links;  // disk id -> <logical_name_dir>/vd<x>
  uint32_t mac_counter = 0;

  std::shared_ptr<engine_sim::Backup_State> backup;

  std::vector<Route> routes;
};

}  // namespace test_support

#endif
