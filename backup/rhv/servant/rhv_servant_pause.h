#ifndef BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H
#define BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H

// The pauses of the servant workers between two polls of the engine or of the device
// folder (a snapshot that is not ready yet, a device that has not appeared, an attach
// retried, the storage monitor's period). They all go through rhv_servant_pause().
//
// A pause ends early when its stop test turns true (the job is cancelled, so that the
// worker cleans up and replies while the platform still waits for it), tested at least
// once a second, or at once when its wake-up is set (work it waits beside has ended).
//
// A program may install another pause for the whole process (tests of the waiting paths
// shorten the seconds, so that a run that would wait minutes takes a moment); the stop
// test and the wake-up are then looked at before it only, so that what a test does during
// the pause is seen by the waiting loop's next look.

#include <condition_variable>
#include <functional>
#include <mutex>

typedef void (*RHV_Servant_Pause)(unsigned int seconds);

// Wakes the pauses that wait on it, at once, and every later one. Safe for concurrent use.
class RHV_Servant_Wake {
public:
  void set();
  bool is_set() const;

private:
  friend bool rhv_servant_pause(unsigned int, const std::function<bool()>&, RHV_Servant_Wake*);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Waits `seconds` with the pause in effect. True when the whole pause passed; false when
// `stop` (optional) turned true or `wake` (optional) was set first, or already was.
bool rhv_servant_pause(unsigned int seconds, const std::function<bool()>& stop, RHV_Servant_Wake* wake = nullptr);

// Installs `pause` for the process (null: the plain wait again); returns the one that was
// in effect (null for the plain wait). Safe to call while workers run.
RHV_Servant_Pause set_rhv_servant_pause(RHV_Servant_Pause pause);

#endif  // BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H
