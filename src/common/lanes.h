// TaskLanes: tasks handed to helper threads while the caller goes on.
// Pure C++, no Python.
//
// Every task belongs to a lane (a small integer). Tasks of one lane run one
// at a time and in the order they were given; tasks of different lanes may
// run at once. Each task carries an estimate of its work; a free thread takes
// the next task of the free lane with the most work waiting, so that the
// longest lane is not left to run alone at the end. The helper threads (one fewer than the
// machine's hardware threads, none on a single core) start with the first task and stop when the
// lanes are destroyed. finish() makes the caller work through the remaining tasks beside them.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
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
  TaskLanes() = default;
  TaskLanes(const TaskLanes&) = delete;
  TaskLanes& operator=(const TaskLanes&) = delete;
  // Waits for the running tasks; the tasks not started are dropped.
  ~TaskLanes() { stop(); }

  // Queues `task` on `lane`; `work` estimates its cost in any unit shared
  // by the tasks of these lanes.
  void submit(size_t lane, std::function<void()> task, size_t work = 1) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lanes_.size() <= lane) lanes_.resize(lane + 1);
      tasks_.push_back({lane, work, std::move(task)});
      lanes_[lane].waiting_work += work;
    }
    changed_.notify_one();
    start_helpers();
  }

  // Runs queued tasks on the calling thread too, until none is queued or
  // running. Rethrows the first error a task threw since the last finish();
  // once a task has thrown, the tasks not yet started are dropped unrun, as
  // what they would work on may be half written.
  void finish() {
    work(/*until_idle=*/true);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return running_ == 0; });
    if (std::exception_ptr error = std::exchange(error_, nullptr)) {
      tasks_.clear();
      for (Lane& lane : lanes_) lane.waiting_work = 0;
      std::rethrow_exception(error);
    }
  }

  // The number of tasks queued and not yet started.
  size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
  }

  // Whether a task was ever given (and so the helpers run).
  bool started() const { return started_; }

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

  // The first queued task of the free lane with the most work waiting, or
  // the end. Called under the mutex.
  std::deque<Task>::iterator next_task() {
    auto best = tasks_.end();
    for (auto it = tasks_.begin(); it != tasks_.end(); ++it) {
      const Lane& lane = lanes_[it->lane];
      if (lane.busy) continue;
      if (best == tasks_.end() || lane.waiting_work > lanes_[best->lane].waiting_work) best = it;
    }
    return best;
  }

  void start_helpers() {
    if (started_) return;
    started_ = true;
    const size_t helpers = std::max<size_t>(1, std::thread::hardware_concurrency()) - 1;
    try {
      for (size_t i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(false); });
    } catch (const std::system_error&) {
      // No thread to spare: finish() runs everything on the caller.
    }
  }

  // Takes the next task (see next_task()) and runs it, until the
  // lanes stop (a helper) or nothing is left to take (the caller).
  void work(bool until_idle) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (stopping_ && !until_idle) return;
      auto next = next_task();
      if (next == tasks_.end()) {
        if (until_idle && tasks_.empty()) return;
        changed_.wait(lock);
        continue;
      }
      const size_t lane = next->lane;
      std::function<void()> run = std::move(next->run);
      lanes_[lane].waiting_work -= next->work;
      tasks_.erase(next);
      if (error_) continue;  // dropped: see finish()
      lanes_[lane].busy = true;
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
      lanes_[lane].busy = false;
      --running_;
      changed_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<Lane> lanes_;
  size_t running_ = 0;
  std::exception_ptr error_;
  bool stopping_ = false;
  bool started_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vantorel
