// The one exception type that native code throws for a broken invariant, a
// poisoned lock or a failed allocation. The Python boundary turns it into the
// module's internal-error exception (derived from BaseException); nothing
// below the boundary ever catches it.
#pragma once

#include <stdexcept>
#include <string>

namespace vantorel {

// Message of a lock poisoned by an earlier failure.
inline constexpr char kPoisonedLock[] = "called `Result::unwrap()` on an `Err` value";
// Message of a failed bitmap allocation.
inline constexpr const char* kBitmapAllocFailed = "assertion failed: success";
// Message of a failed bitmap copy.
inline constexpr const char* kBitmapCopyFailed = "Memory allocation failure cloning roaring bitmap";

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace vantorel
