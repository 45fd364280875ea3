#include "tests/support/engine_simulator_restore.h"

#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/servant/rhv_servant_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "tests/support/log_capture.h"

namespace test_support {

namespace {

json_spirit::Object result_of(const JSON_RPC_Object_var& reply)
{
  if (reply.get() == nullptr || reply->type() != JSON_RPC_Object::TYPE_RESPONSE) {
    ADD_FAILURE() << "no response";
    return json_spirit::Object();
  }
  const json_spirit::Value& result = static_cast<const JSON_RPC_Response*>(reply.get())->result;
  EXPECT_EQ(result.type(), json_spirit::obj_type);
  return result.type() == json_spirit::obj_type ? result.get_obj() : json_spirit::Object();
}

}  // namespace

Restore_Test_Bed::Restore_Test_Bed(unsigned size_factor) : Servant_Test_Bed({}, size_factor)
{
}

Restore_Test_Bed::~Restore_Test_Bed()
{
}

std::string Restore_Test_Bed::backup(const std::string& vm_id)
{
  const std::string def_id = "bk-" + vm_id;
  RHV_Backup_Params params = backup_params(def_id, vm_id);
  params.parallel_disks_per_vm = 1;
  if (!make_job_files(def_id, vm_id)) {
    ADD_FAILURE() << "cannot make the backup's job files";
    return std::string();
  }
  RHV_Backup_Servant_Handler handler;
  Log_Capture quiet(true);  // the backup's lines are not the test's business
  const json_spirit::Object result = result_of(call(handler, "rhev.backup", json_spirit::Value(params.dump())));
  auto code = result.find("code");
  if (code == result.end() || code->second.get_int64() != 0) {
    ADD_FAILURE() << "the backup of " << vm_id << " failed";
    return std::string();
  }

  std::string set_uuid;
  for (const json_spirit::Object& set : catalog_sets())
    if (set.at("vm_id").get_str() == vm_id)
      set_uuid = set.at("set_uuid").get_str();
  EXPECT_FALSE(set_uuid.empty());

  mark_engine();  // what the restore makes from here on is new
  engine().clear_requests();
  return set_uuid;
}

RHV_Restore_Params Restore_Test_Bed::restore_params(const std::string& def_id, const std::string& vm_id,
                                                    const std::string& set_uuid)
{
  const RHV_Backup_Params backup = backup_params(def_id, vm_id);
  RHV_Restore_Params p;
  static_cast<RHV_Params&>(p) = static_cast<const RHV_Params&>(backup);
  p.original_restore = true;
  p.start_vm = false;
  p.target_vm_name = backup.vm_name + "_restored";
  p.catalog_uuid = set_uuid;
  for (const RHV_Disk_Attachment& a : backup.attachments) {
    RHV_Restore_Disk d;
    d.id = a.disk.id;
    if (!a.disk.storage_domains.empty())
      d.source_datastore_id = a.disk.storage_domains.front().id;
    d.target_datastore_id = d.source_datastore_id;
    p.disks.push_back(d);
  }
  return p;
}

json_spirit::Object Restore_Test_Bed::run_restore(const RHV_Restore_Params& params)
{
  RHV_Restore_Servant_Handler handler;
  return result_of(call(handler, "rhev.restore", json_spirit::Value(params.dump())));
}

::testing::AssertionResult Restore_Test_Bed::restore_clean() const
{
  std::string problems;
  for (const Sim_VM& vm : new_vms())
    problems += " VM '" + vm.name + "';";
  for (const Sim_Disk& disk : new_disks())
    problems += " disk '" + disk.name + "';";
  ::testing::AssertionResult engine = engine_clean();
  if (!engine)
    problems += std::string(" ") + engine.message();
  if (problems.empty())
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "left behind:" << problems;
}

}  // namespace test_support
