#ifndef BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H
#define BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H

// The pauses of the servant workers between two polls of the engine or of the device
// folder (a snapshot that is not ready yet, a device that has not appeared, an attach
// retried). They all go through rhv_servant_pause(), which sleeps the calling thread.
//
// A program may install another pause for the whole process (tests of the waiting paths
// shorten the seconds, so that a run that would wait minutes takes a moment).

typedef void (*RHV_Servant_Pause)(unsigned int seconds);

// Waits `seconds` with the pause in effect.
void rhv_servant_pause(unsigned int seconds);

// Installs `pause` for the process (null: the plain sleep again); returns the one that was
// in effect. Safe to call while workers run.
RHV_Servant_Pause set_rhv_servant_pause(RHV_Servant_Pause pause);

#endif  // BACKUP_RHV_SERVANT_RHV_SERVANT_PAUSE_H
