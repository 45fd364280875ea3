#ifndef BACKUP_SCRT_SCOPED_DELETER_H
#define BACKUP_SCRT_SCOPED_DELETER_H

#include <exception>
#include <type_traits>
#include <utility>

#include "backup/scrt/log.h"

// A scope guard: runs a clean-up step once, when the guard is reset or leaves its
// scope, whichever comes first.
//
//   auto remove_snapshot = make_deleter([&] { remove_snapshot_i(); });
//   ...                                   // runs when the scope is left
//
// Guards run in the reverse order of their creation, so the guard armed first
// runs last. A step that throws a std::exception does not end the program (the
// step usually runs inside a destructor): the exception is caught and logged at
// LM_ERROR, and the step counts as done. release() disarms the guard without
// running the step.
template <typename F>
class Scoped_Deleter {
public:
  explicit Scoped_Deleter(F f) : del(std::move(f)), valid(true) {}

  Scoped_Deleter(Scoped_Deleter&& other) : del(std::move(other.del)), valid(other.valid)
  {
    other.valid = false;
  }

  Scoped_Deleter(const Scoped_Deleter&) = delete;
  Scoped_Deleter& operator=(const Scoped_Deleter&) = delete;
  Scoped_Deleter& operator=(Scoped_Deleter&&) = delete;

  ~Scoped_Deleter() { reset(); }

  // Runs the step when still armed, then disarms the guard.
  void reset()
  {
    if (!valid) return;
    valid = false;
    try {
      del();
    } catch (std::exception const& e) {
      RHV_LOG_ERROR("Clean-up step failed with exception: %s\n", e.what());
    }
  }

  // Disarms the guard without running the step.
  void release() { valid = false; }

  bool armed() const { return valid; }

private:
  F del;
  bool valid;
};

template <typename F>
Scoped_Deleter<std::decay_t<F>> make_deleter(F&& f)
{
  return Scoped_Deleter<std::decay_t<F>>(std::forward<F>(f));
}

#endif
