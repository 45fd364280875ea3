#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_H

// A stateful, in-memory oVirt engine for tests: it serves the engine's REST API (version 4,
// JSON) and its OAuth token endpoint on 127.0.0.1, on an ephemeral port, over plain HTTP or
// TLS, and speaks the engine's JSON as the engine writes it: numbers and flags as JSON
// strings, dates as JSON integers (milliseconds), lists as wrapper objects under the singular
// key ({"vm": [...]}), an empty list as {}, links as {"href", "id"}, absent rather than empty
// fields, and faults as {"reason", "detail"}; but an id in the path that names nothing is
// answered 404 with an empty body, as the engine answers it.
//
//   test_support::Temp_Dir dir;
//   test_support::Engine_Config config;
//   config.data_dir = dir.file("data");        // disk backing files (made on demand)
//   config.device_dir = dir.file("by-id");     // where hot-plugged disks appear
//   config.agent_vm_id = sample_inventory::AGENT_VM_ID;
//   test_support::Engine_Simulator engine(config);
//   sample_inventory::load(engine);
//   ASSERT_TRUE(engine.start());
//   ... log in to 127.0.0.1:engine.port() as config.username / config.password ...
//   EXPECT_TRUE(engine.snapshots().empty());  // nothing left behind
//
// What it holds: data centers, clusters, hosts, logical networks, vNIC profiles, storage
// domains, VMs with their disk attachments, NICs and snapshots, and disks backed by sparse
// files under data_dir. The agent VM (the VM the module runs on) is the VM whose id the
// configuration names.
//
// Behaviour that the module must cope with, reproducible on demand:
// - new disks and new snapshots are "locked" for a settable time, then "ok", and new VMs
//   "image_locked", then "down"; a removed snapshot stays "locked" for a settable time,
//   then disappears (Engine_Timing);
// - attaching a disk (or a snapshot's disk) to the agent VM makes its data readable at
//   <device_dir>/virtio-<first 20 characters of the disk id> after a settable time; the
//   attachment reply carries "logical_name" or not, as the test chooses; detaching removes
//   the device;
// - the engine's own rules answer 409 with a fault body: removing a snapshot while one of its
//   disks is attached to another VM; a second snapshot operation on a VM while one runs;
//   attaching, detaching or starting with a locked disk or VM; detaching a disk that belongs
//   to the agent VM; snapshots of shareable disks; and more (see engine_simulator_routes.cpp);
// - a fault table fails the Nth call of a route with a status and a fault body, answers 401,
//   closes the connection, answers slowly, or answers garbage or HTML (Engine_Fault); or it
//   carries the call out and loses the answer: the connection closes instead, or the answer
//   comes only after a delay (past the client's time-out), as when a real engine's reply
//   is lost on the way; and it can act beside a call, as another client would at that
//   moment (make disks of the same name, say);
// - every request is checked for "Version: 4" and for Accept and Content-Type
//   "application/json" (400 otherwise), and authenticated with Basic credentials or a bearer
//   token from the token endpoint (401 otherwise).
//
// Nothing waits by default: every delay is 0. Delayed transitions happen on a timer thread of
// the simulator, or at once when the test calls run_pending().
//
// Thread safety: every member may be called from any thread while the server runs. The
// records that the inspection functions return are copies.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_tls.h"

namespace test_support {

// The id of the engine's "Blank" template, which every VM made without a template links to.
extern const char* const BLANK_TEMPLATE_ID;

struct Sim_Data_Center {
  std::string id;  // empty: the simulator makes one
  std::string name;
  std::string description;
  std::string status = "up";
  bool local = false;
};

struct Sim_Cluster {
  std::string id;
  std::string name;
  std::string description;
  std::string data_center_id;
  std::string cpu_architecture = "x86_64";
  std::string cpu_type = "Intel Nehalem Family";
};

struct Sim_Host {
  std::string id;
  std::string name;
  std::string address;
  std::string cluster_id;
  std::string status = "up";
};

struct Sim_Network {
  std::string id;
  std::string name;
  std::string description;
  std::string data_center_id;
};

struct Sim_VNIC_Profile {
  std::string id;
  std::string name;
  std::string description;
  std::string network_id;
  std::string pass_through_mode = "disabled";
  bool port_mirroring = false;
  std::string network_filter_id;  // empty: none
};

struct Sim_Storage_Domain {
  std::string id;
  std::string name;
  std::string description;
  std::string type = "data";          // "data", "iso", "export"
  std::string storage_type = "nfs";   // "nfs", "iscsi", "fcp", "glusterfs", ...
  std::string storage_format = "v5";
  std::string status = "active";
  int64_t available = -1;             // bytes; -1: not reported
  int64_t used = -1;
  int64_t committed = -1;
  std::vector<std::string> data_center_ids;
};

struct Sim_VM {
  std::string id;
  std::string name;
  std::string description;
  std::string cluster_id;
  std::string host_id;                // the host it runs on; empty while down
  std::string template_id;            // empty: the Blank template
  std::string status = "down";        // "up", "down", "image_locked", ...
  int64_t memory = 1073741824;
  int64_t memory_guaranteed = -1;
  int64_t memory_max = -1;
  int cpu_cores = 1;
  int cpu_sockets = 1;
  int cpu_threads = 1;
  std::string cpu_architecture = "x86_64";
  std::string os_type = "other_linux";
  std::string bios_type = "q35_sea_bios";
  bool boot_menu = false;
  std::string custom_emulated_machine;
  int64_t creation_time = 0;          // milliseconds since the epoch; 0: now
  std::string active_snapshot_id;     // the "Active VM" snapshot; made when empty
};

struct Sim_Disk {
  std::string id;
  std::string name;
  std::string description;
  std::string storage_domain_id;
  int64_t provisioned_size = 0;       // bytes
  std::string format = "raw";         // "raw" or "cow"
  bool sparse = true;
  bool shareable = false;
  std::string storage_type = "image";
  std::string content_type = "data";
  std::string backup = "none";        // "none" or "incremental"
  std::string status = "ok";          // "ok", "locked", "illegal"
  std::string path;                   // the backing file (set by the simulator)
  std::string snapshot_id;            // set on the disks of a snapshot only
};

// A disk plugged into a VM. Its id is the disk's id, as with the engine, so a disk is
// attached at most once to one VM.
struct Sim_Disk_Attachment {
  std::string vm_id;
  std::string disk_id;
  std::string snapshot_id;            // the snapshot whose disk is attached; empty: the disk itself
  std::string interface = "virtio_scsi";
  bool active = true;
  bool bootable = false;
  bool read_only = false;
  bool pass_discard = false;
  // A disk of the agent VM itself (seeded, not attached through the API): never detachable.
  bool agent_own = false;
};

struct Sim_NIC {
  std::string id;
  std::string vm_id;
  std::string name;
  std::string interface = "virtio";
  std::string mac;                    // empty: the simulator makes one
  std::string vnic_profile_id;        // empty: no network
  bool linked = true;
  bool plugged = true;
};

struct Sim_Snapshot {
  std::string id;
  std::string vm_id;
  std::string description;
  std::string status = "ok";          // "locked" while created or removed, then "ok"
  std::string type = "regular";
  int64_t date = 0;                   // milliseconds since the epoch
  bool persist_memorystate = false;
  bool removing = false;              // a removal runs: it disappears when done
  std::vector<Sim_Disk> disks;        // the disks as they were, with the copies of their data
  std::vector<Sim_NIC> nics;
};

struct Sim_Version {
  std::string full_version = "4.5.5-1.el8";
  int major = 4;
  int minor = 5;
  int build = 5;
  int revision = 0;
};

// Delays of the engine's asynchronous work; all 0 by default (done within the request).
struct Engine_Timing {
  std::chrono::milliseconds disk_create{0};      // a new disk is "locked" this long
  std::chrono::milliseconds vm_create{0};        // a new VM is "image_locked" this long
  std::chrono::milliseconds snapshot_create{0};  // a new snapshot is "locked" this long
  std::chrono::milliseconds snapshot_remove{0};  // a removed snapshot lingers this long
  std::chrono::milliseconds device_appear{0};    // an attached disk's device appears after this
};

struct Engine_Request;

// A misbehaviour of the engine for the calls of one route.
//
// A call matches when its method equals `method` ("*" for any) and `path` (an ECMAScript
// regular expression) matches its whole path as sent, without the query: use
// Engine_Simulator::api_path() to build it. Counting starts when the fault is added: matching
// calls number nth, nth + 1, ..., nth + count - 1 misbehave (count < 0: every call from the
// nth on). When several faults fire on one call, the one added first applies.
struct Engine_Fault {
  enum Kind {
    error_status,      // answer `status_code` with the fault body {"reason", "detail"}
    unauthorized,      // answer 401 with a fault body (a token renewal must follow)
    close_connection,  // close the connection without answering (the call is not carried out)
    slow,              // wait `delay`, then carry the call out and answer normally
    done_then_close,   // carry the call out, then close the connection without answering
    done_then_late,    // carry the call out, then answer after `delay`
    garbage,           // answer `status_code` with bytes that are not JSON, as application/json
    html,              // answer `status_code` with an HTML page, as text/html
    custom,            // answer `status_code` with `body` as `content_type`
    pass               // carry the call out and answer normally (for `beside`)
  };

  std::string method = "*";
  std::string path = ".*";
  int nth = 1;
  int count = 1;
  Kind kind = error_status;
  int status_code = 500;
  std::string reason = "Operation Failed";
  std::string detail = "[Internal Engine Error]";
  std::chrono::milliseconds delay{0};
  std::string content_type = "application/json";
  std::string body;
  // When set, runs as the call misbehaves, before anything else is done with it and
  // without the simulator's lock held (it may use the simulator): what another client
  // does at that moment.
  std::function<void(const Engine_Request&)> beside;
};

// One request as the simulator received it.
struct Engine_Request {
  std::string method;
  std::string path;                   // as sent, without the query
  std::string query;                  // as sent, without "?"; "" when there is none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::map<std::string, std::string> params;  // the decoded query parameters
  int status = 0;                     // what was answered; 0: no answer (closed) or still running

  // The first value of a header (names compare case-insensitively), "" when absent.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
  // A decoded query parameter, "" when absent.
  std::string param(const std::string& name) const;
  bool has_param(const std::string& name) const { return params.count(name) != 0; }
};

struct Engine_Config {
  std::string data_dir;               // backing files of the disks and snapshot copies
  std::string device_dir;             // where virtio-<id> links of hot-plugged disks appear
  std::string logical_name_dir;       // where the links that "logical_name" names appear
                                      // (vda, vdb, ...); empty: <data_dir>/dev
  std::string agent_vm_id;
  std::string url_prefix = "ovirt-engine";
  std::string username = "admin@internal";
  std::string password = "engine-password";
  bool tls = false;
  // With tls: the server certificate and key. When cert_file is empty, a CA and a
  // certificate for 127.0.0.1 are made in <data_dir>/tls; ca_file() names the CA.
  Tls_Files tls_files;
};

class Engine_Simulator {
public:
  explicit Engine_Simulator(Engine_Config config);
  // Stops the server and the timer; removes nothing on disk (the test owns the folders).
  ~Engine_Simulator();
  Engine_Simulator(const Engine_Simulator&) = delete;
  Engine_Simulator& operator=(const Engine_Simulator&) = delete;

  // ---- server ----
  // Binds 127.0.0.1 on an ephemeral port; false when it cannot.
  bool start();
  void stop();
  const Engine_Config& config() const;
  const std::string& host() const;    // "127.0.0.1"
  unsigned short port() const;
  bool tls() const;
  // The CA file a TLS client must trust; "" for plain HTTP.
  const std::string& ca_file() const;
  // "http://127.0.0.1:<port>" or "https://...", followed by `path`.
  std::string url(const std::string& path = "") const;
  // "/<url_prefix>/api" followed by `relative`, e.g. api_path("/vms").
  std::string api_path(const std::string& relative = "") const;
  // "/<url_prefix>/sso/oauth/token".
  std::string token_path() const;

  // ---- authentication and version ----
  // Adds a user, or changes the password of one.
  void set_user(const std::string& username, const std::string& password);
  // Every token issued so far is refused from now on (401), as after an expiry.
  void expire_tokens();
  size_t tokens_issued() const;
  void set_version(const Sim_Version& version);
  // Without product information, the API root reply has no "product_info".
  void set_product_info(bool present);

  // ---- behaviour ----
  void set_timing(const Engine_Timing& timing);
  Engine_Timing timing() const;
  // Attachment replies to the agent VM carry "logical_name" (a link <logical_name_dir>/vd<x>
  // to the same data as the by-id device) when true; default false.
  void set_logical_names(bool on);
  // When false, devices of disks attached to the agent VM never appear; default true.
  void set_devices_appear(bool on);
  // Carries out every delayed transition now (locks released, removals done, devices made).
  void run_pending();
  size_t pending() const;

  // ---- fault table ----
  // Returns an id for fault_hits().
  int add_fault(const Engine_Fault& fault);
  // How many calls the fault has made misbehave.
  int fault_hits(int id) const;
  void clear_faults();

  // ---- seeding (each returns the id, made when the record's id is empty) ----
  std::string add_data_center(Sim_Data_Center dc);
  std::string add_cluster(Sim_Cluster cluster);
  std::string add_host(Sim_Host host);
  std::string add_network(Sim_Network network);
  std::string add_vnic_profile(Sim_VNIC_Profile profile);
  std::string add_storage_domain(Sim_Storage_Domain domain);
  std::string add_vm(Sim_VM vm);
  // Makes the backing file: a sparse file of provisioned_size bytes.
  std::string add_disk(Sim_Disk disk);
  // Plugs a disk into a VM (a device appears when it is the agent VM). A disk attached to the
  // agent VM here is one of the agent's own disks unless `left_over` (a disk that an earlier,
  // interrupted backup left attached). False when the VM or disk is unknown or already attached.
  bool attach_disk(Sim_Disk_Attachment attachment, bool left_over = false);
  std::string add_nic(Sim_NIC nic);
  // A finished snapshot of the VM's disks as they are now (a left-over of an earlier run).
  std::string add_snapshot(const std::string& vm_id, const std::string& description);

  // Writes into a disk's backing file; false on an unknown disk or an I/O error.
  bool write_disk(const std::string& disk_id, uint64_t offset, const std::string& bytes);
  // The whole content of a disk's backing file ("" for an unknown disk).
  std::string read_disk(const std::string& disk_id) const;
  // The SHA-256 (hex) of a disk's content, read in pieces: cheaper than read_disk() for
  // comparing large disks ("" for an unknown disk).
  std::string disk_digest(const std::string& disk_id) const;

  // ---- changes during a run ----
  bool set_storage_space(const std::string& domain_id, int64_t available, int64_t used);
  bool set_vm_status(const std::string& vm_id, const std::string& status);
  bool set_disk_status(const std::string& disk_id, const std::string& status);

  // ---- inspection ----
  std::vector<Engine_Request> requests() const;
  void clear_requests();
  // Requests whose method equals `method` ("*": any) and whose path matches `path_regex`.
  size_t count_requests(const std::string& method, const std::string& path_regex) const;

  std::vector<Sim_Data_Center> data_centers() const;
  std::vector<Sim_Cluster> clusters() const;
  std::vector<Sim_Network> networks() const;
  std::vector<Sim_VNIC_Profile> vnic_profiles() const;
  std::vector<Sim_Storage_Domain> storage_domains() const;
  std::vector<Sim_VM> vms() const;
  std::vector<Sim_Disk> disks() const;
  // Of one VM, or of every VM when vm_id is empty.
  std::vector<Sim_Disk_Attachment> attachments(const std::string& vm_id = "") const;
  std::vector<Sim_NIC> nics(const std::string& vm_id = "") const;
  // Snapshots taken (not the "Active VM" ones), of one VM or of all.
  std::vector<Sim_Snapshot> snapshots(const std::string& vm_id = "") const;

  // Lookups: false when there is no such record.
  bool find_vm(const std::string& id, Sim_VM& out) const;
  bool find_vm_by_name(const std::string& name, Sim_VM& out) const;
  bool find_disk(const std::string& id, Sim_Disk& out) const;
  bool find_storage_domain(const std::string& id, Sim_Storage_Domain& out) const;

  // <device_dir>/virtio-<first 20 characters of disk_id>, whether it exists or not.
  std::string device_path(const std::string& disk_id) const;
  // Devices present in device_dir now (file names).
  std::vector<std::string> devices() const;

  struct Impl;

private:
  friend class Engine_Backup_Control;  // the backup API (engine_simulator_backup.h)

  std::unique_ptr<Impl> impl_;
};

// Percent-decodes a URL component; '+' becomes a space when plus_is_space.
std::string url_decode(const std::string& text, bool plus_is_space);

// The SHA-256 (hex) of a file's content, "" when it cannot be read: to compare a device, a
// restored disk or a snapshot copy with an original.
std::string file_digest(const std::string& path);

}  // namespace test_support

#endif
