// The instance handler as the product's agent uses it, obtained through the module's
// exported factory.

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "platform/host/instance_handler.h"
#include "platform/json/json_dump.h"
#include "tests/backup/rhv/websvcs_agent/inventory_fixture.h"

namespace {

// Makes the next non-throwing allocations of this thread fail, for as long as it is set.
thread_local bool fail_nothrow_new = false;

}  // namespace

// Replaces the non-throwing allocation for the whole process, the module included.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
  if (fail_nothrow_new)
    return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

using inventory_test::Gobble_Function;
using Instances = std::map<std::string, std::shared_ptr<Instance>>;
typedef Instance_Handler* (*Instance_Factory)(Gobble_Function*);

Instance_Factory factory()
{
  return reinterpret_cast<Instance_Factory>(inventory_test::module_symbol("_make_RHV_Instance_Handler"));
}

class Instance_Handler_Test : public ::testing::Test {
protected:
  inventory_test::Module_Object_T<Instance_Handler> handler_ =
      inventory_test::make_module_object<Instance_Handler>("_make_RHV_Instance_Handler");
};

TEST_F(Instance_Handler_Test, reports_one_proxy_instance)
{
  ASSERT_TRUE(handler_);
  EXPECT_EQ(handler_->type(), "rhev");
  Instances instances;
  EXPECT_EQ(handler_->probe_instances(instances), 0);
  ASSERT_EQ(instances.size(), 1u);
  const std::shared_ptr<Instance>& proxy = instances.at("RHV_Proxy");
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->type, "rhev");
  EXPECT_EQ(proxy->name, "RHV_Proxy");
  EXPECT_EQ(proxy->uuid, "");
  EXPECT_EQ(JSON_Dump(proxy->options).str(), "{\"is_proxy\":true}");
  EXPECT_EQ(proxy->options.at("is_proxy").type(), json_spirit::bool_type);
  EXPECT_TRUE(proxy->logon_options.empty());
}

TEST_F(Instance_Handler_Test, probing_again_replaces_only_its_own_entry)
{
  auto other = std::make_shared<Instance>();
  other->name = "other";
  Instances instances{{"other", other}};
  ASSERT_EQ(handler_->probe_instances(instances), 0);
  std::shared_ptr<Instance> first = instances.at("RHV_Proxy");
  first->options["is_proxy"] = json_spirit::Value(false);  // a record the host changed
  ASSERT_EQ(handler_->probe_instances(instances), 0);
  ASSERT_EQ(instances.size(), 2u);
  EXPECT_EQ(instances.at("other"), other);
  EXPECT_NE(instances.at("RHV_Proxy"), first);
  EXPECT_EQ(JSON_Dump(instances.at("RHV_Proxy")->options).str(), "{\"is_proxy\":true}");
}

TEST_F(Instance_Handler_Test, every_instance_is_enabled_and_needs_no_logon)
{
  for (const char* name : {"RHV_Proxy", "unknown", ""}) {
    std::string state = "disabled";
    EXPECT_EQ(&handler_->get_state(name, state), &state);
    EXPECT_EQ(state, "enabled") << name;
  }
  json_spirit::Object options;
  EXPECT_EQ(handler_->logon("RHV_Proxy", "user", "password", &options), 0);
  EXPECT_EQ(handler_->logon(nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(handler_->logoff("RHV_Proxy"), 0);

  std::map<std::string, std::string> states;
  EXPECT_EQ(handler_->get_states(states), 0);
  EXPECT_EQ(states, (std::map<std::string, std::string>{{"RHV_Proxy", "enabled"}}));
  EXPECT_EQ(handler_->fini(), 0);
}

TEST(Instance_Factory, failed_allocation_still_hands_out_the_destroyer)
{
  Instance_Factory make = factory();
  ASSERT_NE(make, nullptr);
  Gobble_Function gobble = nullptr;
  errno = 0;
  fail_nothrow_new = true;
  Instance_Handler* handler = make(&gobble);
  fail_nothrow_new = false;
  EXPECT_EQ(handler, nullptr);
  EXPECT_EQ(errno, ENOMEM);
  ASSERT_NE(gobble, nullptr);
  gobble(nullptr);

  // Without a destroyer slot the handler still works.
  Instance_Handler* plain = make(nullptr);
  ASSERT_NE(plain, nullptr);
  Instances instances;
  EXPECT_EQ(plain->probe_instances(instances), 0);
  EXPECT_EQ(instances.count("RHV_Proxy"), 1u);
  gobble(plain);
  EXPECT_EQ(inventory_test::module_symbol("_gobble_RHV_Instance_Handler"), nullptr);
}

}  // namespace
