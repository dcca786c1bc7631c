// TaskLanes: tasks run by the calling thread and by helper threads that the
// lanes start and join. Pure C++, no Python.
//
// Every task belongs to a lane (a small integer). Tasks of one lane run one
// at a time and in the order they were given; tasks of different lanes may
// run at once. Each task carries an estimate of its work; a free thread takes
// the next task of the free lane with the most work waiting, so that the
// longest lane is not left to run alone at the end.
//
// Up to `helpers` threads start with the first task (or earlier, by start())
// and work through the tasks while the caller goes on giving them. finish()
// has the caller work beside them until every task is done; a helper that
// then finds nothing it may take ends, and finish() joins them all before
// it returns. A later task starts helpers again. Until finish(), a helper
// with nothing to take sleeps on a condition variable. With no helpers,
// tasks wait for finish(), which runs them on the caller.
//
// One thread (the caller) gives tasks and calls finish(); the helpers only
// run tasks.
#pragma once

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
  explicit TaskLanes(size_t helpers) : max_helpers_(helpers) {}
  TaskLanes(const TaskLanes&) = delete;
  TaskLanes& operator=(const TaskLanes&) = delete;
  // Drops the tasks not started, waits for the running ones and joins the
  // helpers.
  ~TaskLanes() { stop(); }

  // Queues `task` on `lane`; `work` estimates its cost in any unit shared
  // by the tasks of these lanes. Starts the helpers with the first task.
  void submit(size_t lane, std::function<void()> task, size_t work = 1) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lanes_.size() <= lane) lanes_.resize(lane + 1);
      tasks_.push_back({lane, work, std::move(task)});
      lanes_[lane].waiting_work += work;
    }
    changed_.notify_one();
    start();
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
    work(/*until_idle=*/true);
    std::deque<Task> dropped;  // destroyed outside the mutex
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
      if (error) dropped = take_queued();
    }
    if (error) std::rethrow_exception(error);
  }

  // The number of tasks queued and not yet started.
  size_t queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
  }

  // Starts the helpers now, before the first task: for a caller that will
  // soon give tasks, so that a helper is running by then. Does nothing when
  // they run already.
  void start() {
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

  // Empties the queue; the caller destroys the tasks outside the mutex.
  std::deque<Task> take_queued() {
    for (Lane& lane : lanes_) lane.waiting_work = 0;
    return std::exchange(tasks_, {});
  }

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

  // Drops the queued tasks, waits for the running ones (which may use what
  // the caller is about to destroy) and joins the helpers.
  void stop() {
    std::deque<Task> dropped;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      stopping_ = true;
      dropped = take_queued();
      changed_.notify_all();
      changed_.wait(lock, [&] { return running_ == 0; });
    }
    join_helpers();
  }

  void join_helpers() {
    for (std::thread& helper : helpers_) helper.join();
    helpers_.clear();
    started_ = false;
  }

  const size_t max_helpers_;
  bool started_ = false;  // start() ran since the last finish()
  std::vector<std::thread> helpers_;
  // Guarded by `mutex_`:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::vector<Lane> lanes_;
  size_t running_ = 0;
  std::exception_ptr error_;
  bool finishing_ = false;  // the caller is in finish()
  bool stopping_ = false;
};

}  // namespace vantorel
