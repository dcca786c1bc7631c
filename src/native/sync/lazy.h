// Lazy<T>: a T that is created on first need and then lives as long as its
// owner. Readers that find nothing yet treat the value as empty; creation is
// serialised by a mutex and published with release/acquire ordering.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "native/sync/wait_hook.h"

namespace vantorel {

template <class T>
class Lazy {
 public:
  Lazy() = default;
  Lazy(const Lazy&) = delete;
  Lazy& operator=(const Lazy&) = delete;

  // The value, or null when it has not been created.
  T* get() const { return pointer_.load(std::memory_order_acquire); }

  template <class... Args>
  T& get_or_create(Args&&... args) {
    if (T* existing = get()) return *existing;
    detail::lock_or_wait(mutex_);
    std::lock_guard<std::mutex> lock(mutex_, std::adopt_lock);
    if (T* existing = get()) return *existing;
    owner_ = std::make_unique<T>(std::forward<Args>(args)...);
    pointer_.store(owner_.get(), std::memory_order_release);
    return *owner_;
  }

 private:
  std::mutex mutex_;
  std::atomic<T*> pointer_{nullptr};
  std::unique_ptr<T> owner_;
};

}  // namespace vantorel
