#include "platform/host/instance_handler.h"

#include <gtest/gtest.h>

namespace {

// A module-side handler offering two instances, one of them disabled; the probe can
// be made to fail.
class Two_Instances : public Instance_Handler {
public:
  Two_Instances() : Instance_Handler("test") {}

  int probe_instances(std::map<std::string, std::shared_ptr<Instance>>& instances) override
  {
    if (fail_probe) return -1;
    for (const char* name : {"a", "b"}) {
      auto i = std::make_shared<Instance>();
      i->type = type();
      i->name = name;
      i->options["n"] = json_spirit::Value(probes);
      instances[name] = i;
    }
    ++probes;
    return 0;
  }
  std::string& get_state(const char* name, std::string& state) override
  {
    state = std::string(name) == "b" ? "disabled" : "enabled";
    return state;
  }
  int logon(const char*, const char*, const char*, const json_spirit::Object*) override { return -1; }

  bool fail_probe = false;
  int probes = 0;
};

TEST(Instance_Handler, DefaultsWorkThroughTheBaseInterface)
{
  std::unique_ptr<Instance_Handler> h(new Two_Instances);
  EXPECT_EQ(h->type(), "test");
  EXPECT_EQ(h->init(0, nullptr), 0);

  std::map<std::string, std::string> states{{"other", "kept"}, {"a", "stale"}};
  ASSERT_EQ(h->get_states(states), 0);
  EXPECT_EQ(states, (std::map<std::string, std::string>{{"a", "enabled"}, {"b", "disabled"}, {"other", "kept"}}));

  // A probe replaces entries of the same name and keeps the others.
  std::map<std::string, std::shared_ptr<Instance>> instances{{"x", std::make_shared<Instance>()}};
  ASSERT_EQ(h->probe_instances(instances), 0);
  ASSERT_EQ(instances.size(), 3u);
  EXPECT_EQ(instances["a"]->options.at("n").get_int64(), 1);

  static_cast<Two_Instances&>(*h).fail_probe = true;
  std::map<std::string, std::string> none;
  EXPECT_EQ(h->get_states(none), -1);
  EXPECT_TRUE(none.empty());

  EXPECT_EQ(h->logon("a", "u", "p", nullptr), -1);
  EXPECT_EQ(h->logoff("a"), 0);
  json_spirit::Object opts;
  EXPECT_EQ(h->update_options("a", &opts), 0);
  EXPECT_EQ(h->fini(), 0);
}

}  // namespace
