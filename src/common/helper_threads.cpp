#include "common/helper_threads.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "common/no_destructor.h"

#ifdef _WIN32
#include <process.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace vantorel {

namespace {

// How long a helper with no job waits for one before it ends.
constexpr auto kLinger = std::chrono::seconds(1);

long this_process() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

// The helpers of one process and the jobs waiting for them. Each helper
// holds it, so that it outlives the registry's reference at exit.
struct Pool {
  explicit Pool(long process) : process(process) {}

  const long process;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  size_t waiting = 0;  // helpers waiting for a job
};

// Runs jobs until none has come for kLinger.
void serve(const std::shared_ptr<Pool>& pool) {
  std::unique_lock<std::mutex> lock(pool->mutex);
  for (;;) {
    if (pool->jobs.empty()) {
      ++pool->waiting;
      const bool woken = pool->wake.wait_for(lock, kLinger, [&] { return !pool->jobs.empty(); });
      --pool->waiting;
      if (!woken) return;
    }
    std::function<void()> job = std::move(pool->jobs.front());
    pool->jobs.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // what the job holds goes outside the lock
    lock.lock();
  }
}

// Where each process finds its pool. A fork while another thread holds the
// mutex would leave it held in the child for good, so a fork waits for it.
struct Registry {
  Registry() {
#ifndef _WIN32
    pthread_atfork([] { registry().mutex.lock(); }, [] { registry().mutex.unlock(); },
                   [] { registry().mutex.unlock(); });
#endif
  }

  static Registry& registry() {
    static NoDestructor<Registry> instance;
    return *instance;
  }

  std::mutex mutex;
  std::shared_ptr<Pool> pool;
};

// The pool of this process. A forked child finds its parent's pool, whose
// helpers did not come with it (and whose mutex one of them may have held):
// it leaves that pool alone and makes its own.
std::shared_ptr<Pool> current_pool() {
  Registry& registry = Registry::registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const long process = this_process();
  if (!registry.pool || registry.pool->process != process) {
    registry.pool = std::make_shared<Pool>(process);
  }
  return registry.pool;
}

}  // namespace

void HelperThreads::run(std::function<void()> job) {
  std::shared_ptr<Pool> pool = current_pool();
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(pool->mutex);
    pool->jobs.push_back(std::move(job));
    start = pool->jobs.size() > pool->waiting;
  }
  if (!start) {
    pool->wake.notify_one();
    return;
  }
  // When this throws, the job stays queued for the next helper that starts.
  std::thread([pool] { serve(pool); }).detach();
}

}  // namespace vantorel
