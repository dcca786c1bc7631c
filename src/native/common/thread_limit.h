// The process's limit on the threads of one bulk call (a bulk add or a
// batch removal), the calling thread included. Pure C++, no Python.
//
// 1, the default, keeps every call on its calling thread: the module starts
// no thread of its own. A larger limit lets a large enough call start
// helpers, which it joins before it returns.
#pragma once

#include <cstddef>

namespace vantorel {

// Sets the limit; `threads` is at least 1. Takes effect for the calls that
// start after it.
void set_thread_limit(size_t threads);

size_t thread_limit();

// The helper threads a bulk call may start: one fewer than the limit, and
// never more than the machine's other hardware threads (none on one core).
size_t helper_limit();

}  // namespace vantorel
