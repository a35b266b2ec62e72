// Keeping what the copies start from outliving this program. On Windows the
// copies' job objects do this already, so both functions there do nothing.
// One implementation file per OS.
#pragma once

// Puts every process this program starts from now on into a PID namespace of
// its own (as root; as any other user, with a user namespace mapping only the
// user's own ids), whose first process, a keeper, is the namespace's init and
// dies with this program: the kernel then kills all that is in the namespace,
// however this program ends. Call it before anything is started and before
// any other thread. Where no namespace can be made it prints one line on standard
// error naming the reason, goes on without, and returns false.
bool util_contain_fleet();

// Once the fleet is contained, runs `work(arg)` on the thread whose children
// go into the namespace (threads can only be made by the others) and returns
// true; returns false, running nothing, when it is not.
bool util_contain_run(void (*work)(void*), void* arg);

// Kills and reaps every child this process still has: what the stopped copies
// left to it as their subreaper, again until none is left, and the keeper of
// util_contain_fleet last. Call it once every copy has been given to
// util_process_kill_handle. A descendant that forks faster than it is killed
// holds it for a few seconds at most; what is left then is reported in one
// line on standard error. With `last_stop` false more copies are to start
// (another try): the keeper stays, and all else in its namespace is killed.
void util_end_descendants(bool last_stop = true);
