#include "backup/scrt/check.h"

#include "tests/support/log_capture.h"

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Recursive_Thread_Mutex.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include <sys/types.h>

namespace {

const std::string kPrefix = "Unexpected error in tests/backup/scrt/check_test.cpp:";

// Splits a check line into the part before the stack trace and the trace.
struct Check_Line {
  std::string head;
  std::string trace;
};

Check_Line split(const std::string& text)
{
  std::string::size_type colon = text.find(":\n");
  if (colon == std::string::npos) return {text, ""};
  return {text.substr(0, colon + 2), text.substr(colon + 2)};
}

// Asserts one emergency line with status -1, `head` before the stack trace.
void expect_check_line(const Log_Capture& log, const std::string& head)
{
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u) << log.dump();
  EXPECT_EQ(lines[0].priority, LM_EMERGENCY);
  EXPECT_EQ(lines[0].status, -1);
  Check_Line c = split(lines[0].text);
  EXPECT_EQ(c.head, head);
  EXPECT_FALSE(c.trace.empty());
  EXPECT_EQ(c.trace.back(), '\n');
}

std::string at(int line) { return kPrefix + std::to_string(line) + ", "; }

int g_line = 0;

bool null_check(const int* params)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_NOT_NULL(params, false);
  return true;
}

int text_check(const char* id)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_NOT_NULL_OR_EMPTY(id, -1);
  return 0;
}

std::string empty_check(const std::string& vm_id)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_NOT_EMPTY(vm_id, {});
  return "ok";
}

const int* flag_check(bool already_running)
{
  static const int ok = 1;
  g_line = __LINE__ + 1;
  RHV_CHECK_FALSE(already_running, nullptr);
  return &ok;
}

void void_check(const std::vector<int>* disk_pieces, int& reached)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_NOT_NULL(disk_pieces);
  ++reached;
}

TEST(Check, PreconditionsReturnTheFailureValueAndLogOneEmergencyLine)
{
  int value = 1;
  {
    Log_Capture log(true);
    EXPECT_TRUE(null_check(&value));
    EXPECT_EQ(text_check("id"), 0);
    EXPECT_EQ(empty_check("vm"), "ok");
    EXPECT_NE(flag_check(false), nullptr);
    int reached = 0;
    std::vector<int> pieces;
    void_check(&pieces, reached);
    EXPECT_EQ(reached, 1);
    EXPECT_TRUE(log.texts().empty()) << log.dump();
  }
  {
    Log_Capture log(true);
    EXPECT_FALSE(null_check(nullptr));
    expect_check_line(log, at(g_line) + "params is NULL:\n");
  }
  for (const char* id : {static_cast<const char*>(nullptr), ""}) {
    Log_Capture log(true);
    EXPECT_EQ(text_check(id), -1);
    expect_check_line(log, at(g_line) + "id is NULL or \"\":\n");
  }
  {
    Log_Capture log(true);
    EXPECT_EQ(empty_check(""), "");
    expect_check_line(log, at(g_line) + "vm_id is empty:\n");
  }
  {
    Log_Capture log(true);
    EXPECT_EQ(flag_check(true), nullptr);
    expect_check_line(log, at(g_line) + "already_running is true:\n");
  }
  {
    Log_Capture log(true);
    int reached = 0;
    void_check(nullptr, reached);
    EXPECT_EQ(reached, 0);
    expect_check_line(log, at(g_line) + "disk_pieces is NULL:\n");
  }
}

struct Fake_RPC_Object {
  enum Type { TYPE_NONE = 0, TYPE_NOTIFY = 1, TYPE_REQUEST = 2, TYPE_RESPONSE = 3, TYPE_RESPONSE_ERROR = 4 };
  Type type_;
  Type type() const { return type_; }
};

template <typename O>
int handle_request(const O& obj)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_JSON_RPC_REQUEST(obj, -1);
  return 0;
}

template <typename O>
bool handle_response(const O& obj)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_JSON_RPC_RESPONSE(obj, false);
  return true;
}

TEST(Check, JsonRpcTypeChecksEndWithoutStackTrace)
{
  using Ptr = ACE_Refcounted_Auto_Ptr<Fake_RPC_Object, ACE_Recursive_Thread_Mutex>;
  const Fake_RPC_Object request{Fake_RPC_Object::TYPE_REQUEST};
  const Fake_RPC_Object response{Fake_RPC_Object::TYPE_RESPONSE};
  const Fake_RPC_Object error{Fake_RPC_Object::TYPE_RESPONSE_ERROR};
  {
    Log_Capture log(true);
    EXPECT_EQ(handle_request(request), 0);
    EXPECT_EQ(handle_request(&request), 0);
    EXPECT_EQ(handle_request(std::make_shared<Fake_RPC_Object>(request)), 0);
    EXPECT_EQ(handle_request(Ptr(new Fake_RPC_Object(request))), 0);
    EXPECT_TRUE(handle_response(response));
    EXPECT_TRUE(handle_response(Ptr(new Fake_RPC_Object(response))));
    EXPECT_TRUE(log.texts().empty()) << log.dump();
  }
  struct Case {
    std::function<bool()> fails;
    const char* ending;
  };
  const Case cases[] = {
      {[&] { return handle_request(response) == -1; }, "obj is not JSON-RPC request!\n"},
      {[&] { return handle_request(&error) == -1; }, "obj is not JSON-RPC request!\n"},
      {[&] { return handle_request(static_cast<const Fake_RPC_Object*>(nullptr)) == -1; },
       "obj is not JSON-RPC request!\n"},
      {[&] { return handle_request(Ptr()) == -1; }, "obj is not JSON-RPC request!\n"},
      {[&] { return !handle_response(request); }, "obj is not JSON-RPC response!\n"},
      {[&] { return !handle_response(std::shared_ptr<Fake_RPC_Object>()); },
       "obj is not JSON-RPC response!\n"},
  };
  for (const Case& c : cases) {
    Log_Capture log(true);
    EXPECT_TRUE(c.fails());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << log.dump();
    EXPECT_EQ(lines[0].priority, LM_EMERGENCY);
    EXPECT_EQ(lines[0].status, -1);
    EXPECT_EQ(lines[0].text, at(g_line) + c.ending);
  }
}

struct Task {
  int pieces_count;
  struct {
    long provisioned_size;
  } disk;
};
struct Params {
  unsigned long block_size;
};

bool workers(int n_worker_threads)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_GE(n_worker_threads, 1, false);
  return true;
}

int pieces(const Task* task)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_EQ(task->pieces_count, 1, -1);
  return 0;
}

bool disk_size(const Task* task)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_GT(task->disk.provisioned_size, 0, false);
  return true;
}

ssize_t read_block(ssize_t maxlen, const Params& params_)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_GE(maxlen, static_cast<ssize_t>(params_.block_size), -1);
  return maxlen;
}

bool literal_left(unsigned long n)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_EQ(0UL, n, false);
  return true;
}

bool counter_check(std::atomic<unsigned long>& counter)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_GE(counter, 1UL, false);
  return true;
}

bool same_text(int x)
{
  g_line = __LINE__ + 1;
  RHV_CHECK_LT(x, 1, false);
  return true;
}

TEST(Check, RelationChecksPrintTheRelationFoundWithOperandValues)
{
  Task task{2, {0}};
  Params params{4096};
  {
    Log_Capture log(true);
    EXPECT_TRUE(workers(1));
    Task ok{1, {5}};
    EXPECT_EQ(pieces(&ok), 0);
    EXPECT_TRUE(disk_size(&ok));
    EXPECT_EQ(read_block(4096, params), 4096);
    EXPECT_TRUE(literal_left(0));
    EXPECT_TRUE(same_text(0));
    EXPECT_TRUE(log.texts().empty()) << log.dump();
  }
  struct Case {
    std::function<bool()> fails;
    std::string relation;
  };
  const Case cases[] = {
      {[&] { return !workers(0); }, "n_worker_threads(0) < 1:\n"},
      {[&] { return !workers(-3); }, "n_worker_threads(-3) < 1:\n"},
      {[&] { return pieces(&task) == -1; }, "task->pieces_count(2) != 1:\n"},
      {[&] { return !disk_size(&task); }, "task->disk.provisioned_size(0) <= 0:\n"},
      {[&] { return read_block(100, params) == -1; },
       "maxlen(100) < static_cast<ssize_t>(params_.block_size)(4096):\n"},
      {[&] { return !literal_left(5); }, "0UL(0) != n(5):\n"},
      // The value 1 prints as the operand's own text, so only the left value shows.
      {[&] { return !same_text(1); }, "x(1) >= 1:\n"},
  };
  for (const Case& c : cases) {
    Log_Capture log(true);
    EXPECT_TRUE(c.fails());
    expect_check_line(log, at(g_line) + c.relation);
  }
}

TEST(Check, LiteralOperandIsNotRepeated)
{
  Log_Capture log(true);
  auto zero_first = [](long n) {
    g_line = __LINE__ + 1;
    RHV_CHECK_GE(0, n, false);
    return true;
  };
  EXPECT_FALSE(zero_first(9));
  expect_check_line(log, at(g_line) + "0 < n(9):\n");
}

TEST(Check, AtomicCounterPrintsTypeNameAndAddress)
{
  std::atomic<unsigned long> counter{0};
  Log_Capture log(true);
  EXPECT_FALSE(counter_check(counter));
  char address[64];
  std::snprintf(address, sizeof address, "%p", static_cast<void*>(&counter));
  expect_check_line(log, at(g_line) + "counter(" + typeid(counter).name() + "(" + address +
                             ")) < 1UL(1):\n");
}

}  // namespace
