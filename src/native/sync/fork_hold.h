// hold_across_fork<LockOf>(): keeps a process-wide lock usable in a child
// made by fork(). Pure C++, no Python.
//
// A forked child has only the thread that forked. Had another thread held
// the lock at that moment, the lock would stay held in the child for good.
// Registered here, the lock is taken by the forking thread before every
// fork() of the process (waiting for its holder to let it go) and let go
// after it, in the parent and in the child. The holders of such a lock must
// never wait for anything the forking thread may hold (the interpreter lock,
// another lock registered here): they hold it only briefly, as a leaf.
//
// LockOf is a function returning the lock (anything with lock() and
// unlock()), which must live as long as the process: fork handlers take no
// argument. Call once per lock, before its first use (a fork while the
// function-local static that holds it is being made would leave that
// static's guard held in the child). On Windows, which has no fork(), it
// does nothing.
#pragma once

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vantorel {

template <auto LockOf>
void hold_across_fork() {
#ifndef _WIN32
  // Taken and let go by hand: the hold spans the fork, across handlers.
  pthread_atfork([] { LockOf().lock(); }, [] { LockOf().unlock(); }, [] { LockOf().unlock(); });
#endif
}

}  // namespace vantorel
