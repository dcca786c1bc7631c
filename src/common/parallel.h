// Runs independent tasks on the machine's cores. Pure C++, no Python.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vantorel {

// Calls task(i) once for every i in [0, count), on the calling thread and on
// up to (hardware threads - 1) threads started for the call, each taking the
// next index as it finishes one. Returns when every task has run; the first
// exception a task threw is rethrown then (the tasks not yet started are
// skipped once one has thrown). Tasks must not share unguarded state. When
// the machine has one core, or there is one task, everything runs on the
// calling thread.
template <class Task>
void run_in_parallel(size_t count, Task&& task) {
  const size_t cores = std::max<size_t>(1, std::thread::hardware_concurrency());
  const size_t helpers = count == 0 ? 0 : std::min(cores, count) - 1;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;
  auto work = [&] {
    for (size_t i = next.fetch_add(1); i < count && !failed.load(); i = next.fetch_add(1)) {
      try {
        task(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        failed.store(true);
      }
    }
  };
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  try {
    for (size_t i = 0; i < helpers; ++i) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // No thread to spare: the calling thread does the rest.
  }
  work();
  for (std::thread& thread : threads) thread.join();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace vantorel
