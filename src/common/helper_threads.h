// HelperThreads: the process's helper threads, kept between uses.
// Pure C++, no Python.
//
// Starting a thread costs its starter about a tenth of a millisecond, and
// the thread as much again before it runs: more than a batch of a thousand
// objects takes to fill its first task. A helper whose job ends waits here
// for the next one for a second before it ends; a job given meanwhile wakes
// it instead of starting a thread. A process that forks within that second
// forks with the helpers running (which CPython 3.12 and later warn about).
//
// A forked child starts helpers of its own: the parent's are not in it.
#pragma once

#include <functional>

namespace vantorel {

class HelperThreads {
 public:
  // Runs `job` on a waiting helper, or on a new one when none waits. Throws
  // std::system_error when no thread can be started; the job then runs
  // when a later call starts one, if ever.
  static void run(std::function<void()> job);
};

}  // namespace vantorel
