// A small pool of worker threads for the bulk paths (parallel decoding and compression).
//
// The engine stays free of any interpreter: callers that hold a lock of their own (the Python
// binding's interpreter lock) release it before calling run().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/error.h"

namespace drelix {

class ThreadPool {
 public:
  // What run() calls: `index` in [0, count), `slot` in [0, threads) naming the thread that runs
  // it (the same slot is never used by two threads at once, so per-slot scratch memory needs no
  // lock). Returns false to stop handing out further indices. Must not throw.
  using Task = std::function<bool(std::size_t index, std::size_t slot)>;

  // The process-wide pool. In a child made by fork() (whose parent's workers do not exist) a
  // fresh pool is made.
  static ThreadPool& shared();
  // The processors this process may run on (at least 1).
  static std::size_t default_threads();

  ThreadPool() = default;
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Runs task(i, slot) for every i in [0, count) on up to `threads` threads, the calling
  // thread among them, handing out indices in order from a shared counter so that a slow task
  // never holds back the rest. Returns once every task that started has finished. Several
  // callers may run at once; they share the workers.
  void run(std::size_t count, std::size_t threads, const Task& task);

 private:
  struct Job;
  void ensure_workers(std::size_t wanted);
  void worker_loop();
  static void work(Job& job, std::size_t slot);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<Job*> jobs_;
  std::vector<std::thread> workers_;
  bool stopping_ = false;
};

// ThreadPool::shared().run() for tasks that may fail: after the first failure no further
// index is handed out, and the error returned is that of the lowest failing index (every
// index below it has started, so it is the one a sequential loop would have met first).
// std::bad_alloc in a task becomes Error::io(ENOMEM).
using CheckedTask = std::function<Status(std::size_t index, std::size_t slot)>;
Status run_tasks(std::size_t count, std::size_t threads, const CheckedTask& task);

}  // namespace drelix
