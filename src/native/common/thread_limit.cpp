#include "native/common/thread_limit.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace vantorel {

namespace {

std::atomic<size_t> limit{1};

}  // namespace

void set_thread_limit(size_t threads) {
  limit.store(std::max<size_t>(threads, 1), std::memory_order_relaxed);
}

size_t thread_limit() {
  return limit.load(std::memory_order_relaxed);
}

size_t helper_limit() {
  // Asking costs a read of a system file: once per process.
  static const size_t hardware = std::max<unsigned>(1, std::thread::hardware_concurrency());
  return std::min(thread_limit(), hardware) - 1;
}

}  // namespace vantorel
