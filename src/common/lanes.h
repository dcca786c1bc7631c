// TaskLanes: tasks handed to helper threads while the caller goes on.
// Pure C++, no Python.
//
// Every task belongs to a lane (a small integer). Tasks of one lane run one
// at a time and in the order they were given; tasks of different lanes may
// run at once. Each task carries an estimate of its work; a free thread takes
// the next task of the free lane with the most work waiting, so that the
// longest lane is not left to run alone at the end. The helpers (one fewer
// than the machine's hardware threads, none on a single core) are taken
// from the process's kept helper threads with the first task, or earlier by
// start(); finish() makes the caller work through the remaining tasks beside
// them. Destroying the lanes waits for no helper to leave: on a busy host a
// thread can wait milliseconds to be scheduled, and a helper with nothing
// left to do need not hold the caller up.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/helper_threads.h"

namespace vantorel {

class TaskLanes {
 public:
  TaskLanes() : shared_(std::make_shared<Shared>()) {}
  TaskLanes(const TaskLanes&) = delete;
  TaskLanes& operator=(const TaskLanes&) = delete;
  // Waits for the running tasks; the tasks not started are dropped. Does
  // not wait for the helpers to end: each ends by itself once it wakes (see
  // Shared), so the caller never waits for a thread that the host has not
  // scheduled yet.
  ~TaskLanes() { stop(); }

  // Queues `task` on `lane`; `work` estimates its cost in any unit shared
  // by the tasks of these lanes.
  void submit(size_t lane, std::function<void()> task, size_t work = 1) {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->queue(lane, std::move(task), work);
    }
    shared_->changed.notify_one();
    start_helpers();
  }

  // Runs queued tasks on the calling thread too, until none is queued or
  // running. Rethrows the first error a task threw since the last finish();
  // once a task has thrown, the tasks not yet started are dropped unrun, as
  // what they would work on may be half written.
  void finish() {
    shared_->work(/*until_idle=*/true);
    std::exception_ptr error;
    std::deque<Task> dropped;
    {
      std::unique_lock<std::mutex> lock(shared_->mutex);
      shared_->changed.wait(lock, [&] { return shared_->running == 0; });
      error = std::exchange(shared_->error, nullptr);
      if (error) dropped = shared_->take_queued();
    }
    if (error) std::rethrow_exception(error);
  }

  // The number of tasks queued and not yet started.
  size_t queued() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->tasks.size();
  }

  // Whether the helpers were called: a task was given, or start() ran.
  bool started() const { return started_; }

  // Calls the helpers now, before the first task: for a caller that will
  // soon give tasks, so that a helper is awake by then. Waking a thread can
  // take as long as filling a task.
  void start() { start_helpers(); }

 private:
  struct Task {
    size_t lane;
    size_t work;
    std::function<void()> run;
  };
  struct Lane {
    bool busy = false;        // a task of the lane is running
    size_t waiting_work = 0;  // of its queued tasks
  };

  // What the caller and the helpers share, guarded by `mutex`. Each helper
  // holds it too, so that a helper still waking up after the lanes are
  // destroyed finds it, sees `stopping` and leaves.
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Task> tasks;
    std::vector<Lane> lanes;
    size_t running = 0;
    std::exception_ptr error;
    bool stopping = false;
    // Counts the changes an idle helper waits for (a task queued or
    // finished, the lanes stopping), so that it can poll for them without
    // the mutex. Changed only under the mutex.
    std::atomic<uint64_t> changes{0};

    void queue(size_t lane, std::function<void()> task, size_t work) {
      if (lanes.size() <= lane) lanes.resize(lane + 1);
      tasks.push_back({lane, work, std::move(task)});
      lanes[lane].waiting_work += work;
      changes.fetch_add(1, std::memory_order_relaxed);
    }

    // Empties the queue; the tasks are destroyed by the caller, outside
    // the mutex.
    std::deque<Task> take_queued() {
      for (Lane& lane : lanes) lane.waiting_work = 0;
      return std::exchange(tasks, {});
    }

    // The first queued task of the free lane with the most work waiting, or
    // the end. Called under the mutex.
    std::deque<Task>::iterator next_task() {
      auto best = tasks.end();
      for (auto it = tasks.begin(); it != tasks.end(); ++it) {
        const Lane& lane = lanes[it->lane];
        if (lane.busy) continue;
        if (best == tasks.end() || lane.waiting_work > lanes[best->lane].waiting_work) best = it;
      }
      return best;
    }

    // Takes the next task (see next_task()) and runs it, until the lanes
    // stop (a helper) or nothing is left to take (the caller). A helper with
    // nothing to take polls for a change a while before it sleeps.
    void work(bool until_idle) {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        if (stopping && !until_idle) return;
        auto next = next_task();
        if (next == tasks.end()) {
          if (until_idle && tasks.empty()) return;
          if (!until_idle && poll_for_change(lock)) continue;
          changed.wait(lock);
          continue;
        }
        const size_t lane = next->lane;
        std::function<void()> run = std::move(next->run);
        lanes[lane].waiting_work -= next->work;
        tasks.erase(next);
        if (error) continue;  // dropped: see finish()
        lanes[lane].busy = true;
        ++running;
        lock.unlock();
        try {
          run();
        } catch (...) {
          std::lock_guard<std::mutex> guard(mutex);
          if (!error) error = std::current_exception();
        }
        run = nullptr;  // what the task holds goes outside the lock
        lock.lock();
        lanes[lane].busy = false;
        --running;
        changes.fetch_add(1, std::memory_order_relaxed);
        changed.notify_all();
      }
    }

    // Polls `changes` for up to kPoll with the mutex let go; returns whether
    // it changed, with the mutex taken again either way. A thread asleep on
    // an idle core can take a tenth of a millisecond to wake, and its waker
    // as long to wake it: longer than the next task often takes to come.
    // `changes` moves only under the mutex, so the answer, read again once
    // the mutex is back, misses no change that a wait would then sleep
    // through.
    bool poll_for_change(std::unique_lock<std::mutex>& lock) {
      constexpr auto kPoll = std::chrono::microseconds(200);
      const uint64_t seen = changes.load(std::memory_order_relaxed);
      lock.unlock();
      const auto until = std::chrono::steady_clock::now() + kPoll;
      while (changes.load(std::memory_order_relaxed) == seen &&
             std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
      }
      lock.lock();
      return changes.load(std::memory_order_relaxed) != seen;
    }
  };

  // Calls the helpers (one fewer than the machine's hardware threads, none
  // on a single core). Each holds `shared_` and leaves once it sees
  // `stopping`.
  void start_helpers() {
    if (started_) return;
    started_ = true;
    // Asking costs a read of a system file: once per process.
    static const size_t helpers = std::max<size_t>(1, std::thread::hardware_concurrency()) - 1;
    try {
      for (size_t i = 0; i < helpers; ++i) {
        HelperThreads::run([shared = shared_] { shared->work(/*until_idle=*/false); });
      }
    } catch (const std::system_error&) {
      // No thread to spare: finish() runs everything on the caller.
    }
  }

  // Drops the queued tasks and waits for the running ones, which may use
  // what the caller is about to destroy.
  void stop() {
    std::deque<Task> dropped;
    {
      std::unique_lock<std::mutex> lock(shared_->mutex);
      shared_->stopping = true;
      shared_->changes.fetch_add(1, std::memory_order_relaxed);
      dropped = shared_->take_queued();
      shared_->changed.notify_all();
      shared_->changed.wait(lock, [&] { return shared_->running == 0; });
    }
  }

  std::shared_ptr<Shared> shared_;
  bool started_ = false;
};

}  // namespace vantorel
