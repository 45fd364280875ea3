#include "backup/rhv/api/rhv_defs_infra.h"

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/rhv/api/rhv_defs_list.h"
#include "backup/rhv/api/rhv_defs_load.h"
#include "backup/scrt/to_string.h"

using json_spirit::Object;
using json_spirit::extract;
using json_spirit::insert;
using json_spirit::skip_empty;
using json_spirit::skip_if;
using namespace rhv_defs_detail;

// --- RHV_Data_Center -------------------------------------------------------------------

bool RHV_Data_Center::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Data_Center& tmp) {
    std::string const* local = nullptr;
    extract(object)("local", local)("status", tmp.status);
    convert_flag(local, tmp.local);
    return true;
  });
}

Object RHV_Data_Center::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("local", skip_if(flag_text(local), !local))("status", skip_empty(status));
  return obj;
}

// --- RHV_Cluster -----------------------------------------------------------------------

bool RHV_Cluster::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Cluster& tmp) {
    Object const* cpu = nullptr;
    Object const* data_center = nullptr;
    extract(object)("cpu", cpu)("data_center", data_center);
    return load_nested(cpu, tmp.cpu, "Invalid cpu format: '%s'.\n") &&
           load_nested(data_center, tmp.data_center, "Invalid data center format: '%s'.\n");
  });
}

Object RHV_Cluster::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("cpu", skip_empty(cpu.dump()))("data_center", skip_empty(data_center.dump()));
  return obj;
}

// --- RHV_Host --------------------------------------------------------------------------

bool RHV_Host::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Host& tmp) {
    Object const* cluster = nullptr;
    extract(object)("status", tmp.status)("address", tmp.address)("cluster", cluster);
    return load_nested(cluster, tmp.cluster, "Invalid cluster format: '%s'.\n");
  });
}

Object RHV_Host::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("status", skip_empty(status))("address", skip_empty(address))("cluster", skip_empty(cluster.dump()));
  return obj;
}

// --- RHV_Network -----------------------------------------------------------------------

bool RHV_Network::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Network& tmp) {
    Object const* data_center = nullptr;
    extract(object)("data_center", data_center);
    return load_nested(data_center, tmp.data_center, "Invalid data center format: '%s'.\n");
  });
}

Object RHV_Network::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("data_center", skip_empty(data_center.dump()));
  return obj;
}

// --- RHV_VNIC_Profile ------------------------------------------------------------------

bool RHV_VNIC_Profile::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_VNIC_Profile& tmp) {
    std::string const* migratable = nullptr;
    std::string const* port_mirroring = nullptr;
    Object const* pass_through = nullptr;
    Object const* network = nullptr;
    Object const* network_filter = nullptr;
    Object const* qos = nullptr;
    Object const* data_center = nullptr;
    extract(object)("migratable", migratable)("port_mirroring", port_mirroring)("pass_through", pass_through)(
        "network", network)("network_filter", network_filter)("qos", qos)("data_center", data_center);
    convert_flag(migratable, tmp.migratable);
    convert_flag(port_mirroring, tmp.port_mirroring);
    if (pass_through != nullptr)
      tmp.pass_through.load(*pass_through);
    return load_nested(network, tmp.network, "Invalid network format: '%s'.\n") &&
           load_nested(network_filter, tmp.network_filter, "Invalid network_filter format: '%s'.\n") &&
           load_nested(qos, tmp.qos, "Invalid qos format: '%s'.\n") &&
           load_nested(data_center, tmp.data_center, "Invalid data_center format: '%s'.\n");
  });
}

Object RHV_VNIC_Profile::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("migratable", skip_if(flag_text(migratable), !migratable))(
      "port_mirroring", skip_if(flag_text(port_mirroring), !port_mirroring))(
      "pass_through", skip_empty(pass_through.dump()))("network", skip_empty(network.dump()))(
      "network_filter", skip_empty(network_filter.dump()))("qos", skip_empty(qos.dump()))(
      "data_center", skip_empty(data_center.dump()));
  return obj;
}

// --- RHV_NIC ---------------------------------------------------------------------------

bool RHV_NIC::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_NIC& tmp) {
    std::string const* linked = nullptr;
    std::string const* plugged = nullptr;
    Object const* mac = nullptr;
    Object const* vnic_profile = nullptr;
    Object const* vm = nullptr;
    extract(object)("linked", linked)("plugged", plugged)("interface", tmp.interface)("mac", mac)(
        "vnic_profile", vnic_profile)("vm", vm);
    convert_flag(linked, tmp.linked);
    convert_flag(plugged, tmp.plugged);
    if (mac != nullptr)
      tmp.mac.load(*mac);
    return load_nested(vnic_profile, tmp.vnic_profile, "Invalid vnic profile format: '%s'.\n") &&
           load_nested(vm, tmp.vm, "Invalid vm format: '%s'.\n");
  });
}

Object RHV_NIC::dump() const
{
  Object obj = RHV_Object::dump();
  insert(obj)("linked", skip_if(flag_text(linked), !linked))("plugged", skip_if(flag_text(plugged), !plugged))(
      "interface", skip_empty(interface))("mac", skip_empty(mac.dump()))(
      "vnic_profile", skip_empty(vnic_profile.dump()))("vm", skip_empty(vm.dump()));
  return obj;
}

// --- RHV_Storage_Domain ----------------------------------------------------------------

bool RHV_Storage_Domain::load(Object const& object)
{
  return load_entity(*this, object, [&object](RHV_Storage_Domain& tmp) {
    std::string const* available = nullptr;
    std::string const* used = nullptr;
    std::string const* committed = nullptr;
    Object const* storage = nullptr;
    Object const* data_centers = nullptr;
    extract(object)("available", available)("used", used)("committed", committed)("type", tmp.type)(
        "storage_format", tmp.storage_format)("status", tmp.status)("storage", storage)(
        "data_centers", data_centers);
    if (!convert_number(available, tmp.available, "Invalid available format: '%s'.\n") ||
        !convert_number(used, tmp.used, "Invalid used format: '%s'.\n") ||
        !convert_number(committed, tmp.committed, "Invalid committed format: '%s'.\n"))
      return false;
    if (data_centers != nullptr && !load_rhv_objects(*data_centers, "data_center", tmp.data_centers)) {
      log_invalid_json("Invalid data centers format: '%s'.\n", *data_centers);
      return false;
    }
    if (storage != nullptr && !storage->empty())
      extract(*storage)("type", tmp.storage.type);
    return true;
  });
}

Object RHV_Storage_Domain::dump() const
{
  Object storage_obj;
  insert(storage_obj)("type", skip_empty(storage.type));
  Object obj = RHV_Object::dump();
  insert(obj)("available", skip_if(scrt::to_string(available), available < 0))(
      "used", skip_if(scrt::to_string(used), used < 0))("committed", skip_if(scrt::to_string(committed), committed < 0))(
      "type", skip_empty(type))("storage_format", skip_empty(storage_format))("status", skip_empty(status))(
      "storage", skip_empty(std::move(storage_obj)))(
      "data_centers", skip_empty(dump_rhv_objects("data_center", data_centers)));
  return obj;
}

// --- lists -----------------------------------------------------------------------------

bool load_rhv_data_centers(Object const& wrapper, RHV_Data_Centers& items)
{
  return load_rhv_objects(wrapper, "data_center", items);
}

Object dump_rhv_data_centers(RHV_Data_Centers const& items)
{
  return dump_rhv_objects("data_center", items);
}

bool load_rhv_clusters(Object const& wrapper, RHV_Clusters& items)
{
  return load_rhv_objects(wrapper, "cluster", items);
}

Object dump_rhv_clusters(RHV_Clusters const& items)
{
  return dump_rhv_objects("cluster", items);
}

bool load_rhv_hosts(Object const& wrapper, RHV_Hosts& items)
{
  return load_rhv_objects(wrapper, "host", items);
}

Object dump_rhv_hosts(RHV_Hosts const& items)
{
  return dump_rhv_objects("host", items);
}

bool load_rhv_networks(Object const& wrapper, RHV_Networks& items)
{
  return load_rhv_objects(wrapper, "network", items);
}

Object dump_rhv_networks(RHV_Networks const& items)
{
  return dump_rhv_objects("network", items);
}

bool load_rhv_vnic_profiles(Object const& wrapper, RHV_VNIC_Profiles& items)
{
  return load_rhv_objects(wrapper, "vnic_profile", items);
}

Object dump_rhv_vnic_profiles(RHV_VNIC_Profiles const& items)
{
  return dump_rhv_objects("vnic_profile", items);
}

bool load_rhv_nics(Object const& wrapper, RHV_NICs& items)
{
  return load_rhv_objects(wrapper, "nic", items);
}

Object dump_rhv_nics(RHV_NICs const& items)
{
  return dump_rhv_objects("nic", items);
}

bool load_rhv_storage_domains(Object const& wrapper, RHV_Storage_Domains& items)
{
  return load_rhv_objects(wrapper, "storage_domain", items);
}

Object dump_rhv_storage_domains(RHV_Storage_Domains const& items)
{
  return dump_rhv_objects("storage_domain", items);
}
