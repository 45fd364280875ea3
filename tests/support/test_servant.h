#ifndef TESTS_SUPPORT_TEST_SERVANT_H
#define TESTS_SUPPORT_TEST_SERVANT_H

// Stand-in servants for scheduler and executor tests, so that a job can dispatch to
// servants before (or without) the module's real servant handlers.
//
// In-process: a Test_Servant is a JSON_RPC_Handler that answers each request from a
// script. Register it for a method with Test_Servant_Registration; the in-process servant
// endpoint then uses it instead of the module's handler:
//
//   Test_Servant servant;
//   servant.script("vm-1", {Test_Servant::failure(), Test_Servant::success()});
//   servant.set_default(Test_Servant::success());
//   Test_Servant_Registration reg("rhev.backup", servant);
//
// A request is matched by its params' "vm_id" (the empty key when absent): each request
// for a key takes the next action of its script, and the last action repeats. Requests
// with no script take the default action (success).
//
// Process mode: the servant host program answers from a canned-reply file instead of
// loading the module when the platform configuration sets "ext.servant_canned_replies"
// (or its command line gives --canned). Canned_Servant_Replies writes that file.

#include <ace/Log_Priority.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_handler.h"

class Test_Servant : public JSON_RPC_Handler {
public:
  struct Action {
    enum Kind {
      REPLY,      // a response whose result is `result`
      ERROR,      // an error reply {error_code, error_message}
      MALFORMED,  // a response carrying another request's id
      NO_REPLY,   // nothing is sent
      CRASH       // the handler throws (an in-process servant "dies")
    };
    Kind kind = REPLY;
    json_spirit::Value result;  // REPLY: any value (an object as a servant sends)
    int error_code = -32603;
    std::string error_message;
    // Lines logged on the handling thread before answering.
    std::vector<std::pair<ACE_Log_Priority, std::string>> log;
    // Blocks before answering until release() (or release_all()) for the request's key.
    bool hold = false;
  };

  // {"code": 0} plus `extra` members.
  static Action success(const json_spirit::Object& extra = json_spirit::Object());
  // {"code": 1} plus `extra` members.
  static Action failure(const json_spirit::Object& extra = json_spirit::Object());
  static Action error(int code, const std::string& message);
  static Action malformed();
  static Action no_reply();
  static Action crash();
  // An action that first logs `text` at `priority`.
  static Action logging(Action action, ACE_Log_Priority priority, const std::string& text);
  // An action that blocks until released.
  static Action held(Action action);

  Test_Servant();
  ~Test_Servant() override;

  void script(const std::string& key, std::vector<Action> actions);
  void set_default(Action action);

  // Releases the held requests of `key` (present and future ones).
  void release(const std::string& key);
  void release_all();

  struct Request {
    std::string method;
    json_spirit::Value params;
    json_spirit::Value id;
    std::string key;
  };
  std::vector<Request> requests() const;
  // Requests received for `key`.
  size_t count(const std::string& key) const;
  // Requests being handled now, and the most ever handled at once.
  size_t running() const;
  size_t max_running() const;
  // Blocks until at least `n` requests are being handled at once; false when
  // `seconds` passed first (a hang guard, not a timing assertion).
  bool wait_running(size_t n, int seconds = 60) const;
  // Blocks until `n` requests were received in all.
  bool wait_requests(size_t n, int seconds = 60) const;

  int handle_object(JSON_RPC_Channel_Weak_var channel, JSON_RPC_Object_var obj) override;

private:
  Action next_action(const std::string& key);

  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  std::map<std::string, std::vector<Action>> scripts_;
  std::map<std::string, size_t> served_;
  Action default_;
  std::map<std::string, bool> released_;
  bool release_all_ = false;
  std::vector<Request> requests_;
  size_t running_ = 0;
  size_t max_running_ = 0;
};

// Makes the in-process servant endpoint use `handler` for `method` while it lives; puts
// back what was registered before.
class Test_Servant_Registration {
public:
  Test_Servant_Registration(const std::string& method, JSON_RPC_Handler& handler);
  ~Test_Servant_Registration();
  Test_Servant_Registration(const Test_Servant_Registration&) = delete;
  Test_Servant_Registration& operator=(const Test_Servant_Registration&) = delete;

private:
  std::string method_;
  JSON_RPC_Handler* previous_;
};

// Builds the canned-reply file of the servant host program. Entries are keyed by the
// servant's tag (the VM id); "*" answers any other tag. Each key holds one behaviour per
// attempt (the last repeats; attempts are counted in files beside the canned file).
class Canned_Servant_Replies {
public:
  struct Behaviour {
    std::vector<std::pair<ACE_Log_Priority, std::string>> log;  // written to stderr first
    std::string wait_file;  // wait until this file exists before answering
    std::string pid_file;   // write the servant's pid here at start
    // One of:
    json_spirit::Value result;  // a response with this result (when set)
    bool error = false;         // an error reply
    int error_code = -32603;
    std::string error_message;
    std::string raw;   // this text as the reply line (when not empty)
    int exit_code = -1;  // exit with this code, without replying (when >= 0)
    int signal = 0;      // kill itself with this signal, without replying (when > 0)
  };

  static Behaviour success(const json_spirit::Object& extra = json_spirit::Object());
  static Behaviour failure(const json_spirit::Object& extra = json_spirit::Object());

  void add(const std::string& tag, std::vector<Behaviour> attempts);
  // Writes the file; false on failure.
  bool write(const std::string& path) const;

private:
  std::map<std::string, std::vector<Behaviour>> entries_;
};

namespace test_support {

// A process as /proc/<pid>/stat shows it; false once it is gone. Read with no stream: one
// would throw on a process that ends while it is read.
struct Process_Stat {
  std::string name;  // the command name, without its parentheses
  char state = 0;    // 'R', 'S', ..., 'Z' for a zombie
  int ppid = 0;
};
bool read_process_stat(int pid, Process_Stat& out);

}  // namespace test_support

#endif  // TESTS_SUPPORT_TEST_SERVANT_H
