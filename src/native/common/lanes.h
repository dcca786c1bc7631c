// TaskLanes: tasks run by the calling thread and by helper threads that the
// lanes start and join. Pure C++, no Python.
//
// Every task belongs to a lane (a small integer). Tasks of one lane run one
// at a time and in the order they were given; tasks of different lanes may
// run at once: a free thread takes the first queued task whose lane is free.
//
// Up to `helpers` threads start with the first task and work through the
// tasks while the caller goes on giving them. finish() has the caller work
// beside them until every task is done; a helper that then finds nothing it
// may take ends, and finish() joins them all before it returns. A later task
// starts helpers again. Until finish(), a helper with nothing to take sleeps
// on a condition variable. With no helpers, tasks wait for finish(), which
// runs them on the caller.
//
// One thread (the caller) gives tasks and calls finish(); the helpers only
// run tasks.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vantorel {

class TaskLanes {
 public:
  explicit TaskLanes(size_t helpers) : max_helpers_(helpers) {}
  TaskLanes(const TaskLanes&) = delete;
  TaskLanes& operator=(const TaskLanes&) = delete;
  // Drops the tasks not started, waits for the running ones (which may use
  // what the caller is about to destroy) and joins the helpers.
  ~TaskLanes() {
    std::deque<Task> dropped;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      stopping_ = true;
      dropped = std::exchange(tasks_, {});
      changed_.notify_all();
      changed_.wait(lock, [&] { return running_ == 0; });
    }
    join_helpers();
  }

  // Queues `task` on `lane`. Starts the helpers with the first task since
  // the last finish().
  void submit(size_t lane, std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (busy_.size() <= lane) busy_.resize(lane + 1);
      tasks_.push_back({lane, std::move(task)});
    }
    changed_.notify_one();
    start_helpers();
  }

  // Runs queued tasks on the calling thread too, until none is queued or
  // running, and joins the helpers. Rethrows the first error a task threw
  // since the last finish(); once a task has thrown, the tasks not yet
  // started are dropped unrun, as what they would work on may be half
  // written.
  void finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = true;
    }
    changed_.notify_all();
    work(/*until_idle=*/true);  // returns once nothing is queued
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return running_ == 0; });
    }
    join_helpers();
    std::exception_ptr error;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finishing_ = false;
      error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
  }

  // The number of tasks queued and not yet started.
  size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
  }

 private:
  struct Task {
    size_t lane;
    std::function<void()> run;
  };

  // The first queued task whose lane is free, or the end. Called under the
  // mutex.
  std::deque<Task>::iterator next_task() {
    return std::find_if(tasks_.begin(), tasks_.end(),
                        [&](const Task& task) { return !busy_[task.lane]; });
  }

  void start_helpers() {
    if (started_) return;
    started_ = true;
    try {
      for (size_t i = 0; i < max_helpers_; ++i) {
        helpers_.emplace_back([this] { work(/*until_idle=*/false); });
      }
    } catch (const std::system_error&) {
      // No thread to spare: the helpers started so far, or the caller
      // alone in finish(), run everything.
    }
  }

  // Takes the next task (see next_task()) and runs it. The caller goes on
  // until nothing is queued; a helper until the lanes stop, or, once the
  // caller is finishing, until it finds nothing it may take (what is left
  // belongs to lanes that are busy, whose threads take it).
  void work(bool until_idle) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopping_ && !until_idle) return;
      auto next = next_task();
      if (next == tasks_.end()) {
        if (until_idle ? tasks_.empty() : finishing_) return;
        changed_.wait(lock);
        continue;
      }
      const size_t lane = next->lane;
      std::function<void()> run = std::move(next->run);
      tasks_.erase(next);
      if (error_) continue;  // dropped: see finish()
      busy_[lane] = true;
      ++running_;
      lock.unlock();
      try {
        run();
      } catch (...) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!error_) error_ = std::current_exception();
      }
      run = nullptr;  // what the task holds goes outside the lock
      lock.lock();
      busy_[lane] = false;
      --running_;
      changed_.notify_all();
    }
  }

  void join_helpers() {
    for (std::thread& helper : helpers_) helper.join();
    helpers_.clear();
    started_ = false;
  }

  const size_t max_helpers_;
  bool started_ = false;  // helpers started since the last finish()
  std::vector<std::thread> helpers_;
  // Guarded by `mutex_`:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<uint8_t> busy_;  // by lane: 1 while a task of the lane runs
  size_t running_ = 0;
  std::exception_ptr error_;
  bool finishing_ = false;  // the caller is in finish()
  bool stopping_ = false;
};

}  // namespace vantorel
