// Files a job keeps in a shared folder only while it runs (its spool file, the
// accounting tool's answer, a capability cache on its way to its name) are
// made exclusively and private, and locked for as long as the job holds them
// open. A file of ours at such a name whose lock is free was left by a job that
// was killed (CUPS kills a cancelled filter): a later job removes it.
#pragma once

#include <functional>
#include <string>

// Creates `name` in `dirfd` (O_CREAT | O_EXCL, 0600; `flags` add the access
// mode) and takes its lock. Returns the descriptor or -1 (errno EEXIST: taken).
int CreateHeldAt(int dirfd, const std::string &name, int flags);
// The same at the first free name `nameFor` makes from a fresh random tag; the
// name chosen goes to `name`.
int CreateHeldUniqueAt(int dirfd, const std::function<std::string(unsigned tag)> &nameFor, int flags,
                       std::string &name);

// Wipes and removes the files this user's killed jobs left in the shared
// temporary folder and in the job's own one: names as the filter makes them,
// regular files of ours with one link, that no running job holds.
void RemoveLeftovers();
