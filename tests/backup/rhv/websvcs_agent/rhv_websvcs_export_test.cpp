// The exported factories of the web-service agent's handlers, called as a host calls them.

#include <gtest/gtest.h>

#include <cerrno>
#include <new>

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

using namespace inventory_test;

typedef JSON_RPC_Handler* (*Handler_Factory)(Gobble_Function*);

const char* const FACTORIES[] = {"_make_JSON_RPC_RHV_List_Handler", "_make_JSON_RPC_RHV_Login_Handler"};

Handler_Factory factory(const char* name)
{
  return reinterpret_cast<Handler_Factory>(module_symbol(name));
}

TEST(Websvcs_Factories, failed_allocation_still_hands_out_the_destroyer)
{
  for (const char* name : FACTORIES) {
    Handler_Factory make = factory(name);
    ASSERT_NE(make, nullptr) << name;
    Gobble_Function gobble = nullptr;
    errno = 0;
    fail_nothrow_new = true;
    JSON_RPC_Handler* handler = make(&gobble);
    fail_nothrow_new = false;
    EXPECT_EQ(handler, nullptr) << name;
    EXPECT_EQ(errno, ENOMEM) << name;
    ASSERT_NE(gobble, nullptr) << name;
    gobble(nullptr);  // a destroyer ignores null
  }
}

TEST(Websvcs_Factories, a_null_destroyer_slot_still_gives_a_working_handler)
{
  for (const char* name : FACTORIES) {
    Handler_Factory make = factory(name);
    ASSERT_NE(make, nullptr) << name;
    JSON_RPC_Handler* handler = make(nullptr);
    ASSERT_NE(handler, nullptr) << name;
    EXPECT_EQ(handler->init(0, nullptr), 0);
    EXPECT_EQ(handler->fini(), 0);
    // The destroyers of one factory are all the same function.
    Gobble_Function gobble = nullptr;
    JSON_RPC_Handler* other = make(&gobble);
    ASSERT_NE(gobble, nullptr);
    gobble(other);
    gobble(handler);
  }
}

TEST(Websvcs_Factories, each_factory_has_its_own_destroyer)
{
  Gobble_Function list_gobble = nullptr;
  Gobble_Function login_gobble = nullptr;
  JSON_RPC_Handler* list = factory(FACTORIES[0])(&list_gobble);
  JSON_RPC_Handler* login = factory(FACTORIES[1])(&login_gobble);
  EXPECT_NE(list_gobble, login_gobble);
  list_gobble(list);
  login_gobble(login);
  // The destroyers are the module's own, not exported.
  EXPECT_EQ(module_symbol("_gobble_JSON_RPC_RHV_List_Handler"), nullptr);
  EXPECT_EQ(module_symbol("_gobble_JSON_RPC_RHV_Login_Handler"), nullptr);
}

}  // namespace
