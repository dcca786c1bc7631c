// NoDestructor<T>: holds a T that is constructed in place and never
// destroyed. Used for process-wide state (the id allocator, the string
// interner) that threads may still touch while static destructors run at
// exit; a plain function-local static would be torn down under them.
//
//   static NoDestructor<Foo> instance(args...);
//   instance->method();
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace vantorel {

template <class T>
class NoDestructor {
 public:
  template <class... Args>
  explicit NoDestructor(Args&&... args) {
    std::construct_at(reinterpret_cast<T*>(storage_), std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;
  ~NoDestructor() = default;

  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }
  T& operator*() { return *get(); }
  T* operator->() { return get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace vantorel
