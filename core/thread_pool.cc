#include "core/thread_pool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>

namespace drelix {

struct ThreadPool::Job {
  const Task* task = nullptr;
  std::size_t count = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  // Guarded by the pool's mutex.
  std::size_t helpers_wanted = 0;
  std::size_t helpers_running = 0;
  std::size_t next_slot = 1;  // slot 0 is the caller's
};

namespace {

struct SharedPool {
  std::unique_ptr<ThreadPool> pool;
  pid_t pid = 0;
};

}  // namespace

ThreadPool& ThreadPool::shared() {
  static std::mutex guard;
  static SharedPool shared;
  const std::lock_guard lock(guard);
  const pid_t pid = ::getpid();
  if (!shared.pool || shared.pid != pid) {
    // After fork() the parent's workers do not exist in the child, and the old pool's mutex
    // may have been held by one of them: it can be neither used nor destroyed, so it is
    // abandoned on purpose.
    if (shared.pool) (void)shared.pool.release();
    shared.pool = std::make_unique<ThreadPool>();
    shared.pid = pid;
  }
  return *shared.pool;
}

std::size_t ThreadPool::default_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ThreadPool::work(Job& job, std::size_t slot) {
  while (!job.stop.load(std::memory_order_relaxed)) {
    const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= job.count) break;
    if (!(*job.task)(i, slot)) job.stop.store(true, std::memory_order_relaxed);
  }
}

void ThreadPool::ensure_workers(std::size_t wanted) {
  // Called with the mutex held. A thread that cannot be started only means less parallelism:
  // the caller runs every index itself if need be.
  while (workers_.size() < wanted) {
    try {
      workers_.emplace_back([this] { worker_loop(); });
    } catch (...) {
      break;
    }
  }
}

void ThreadPool::worker_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Job* job = nullptr;
    wake_.wait(lock, [&] {
      if (stopping_) return true;
      for (Job* j : jobs_) {
        if (j->helpers_wanted > 0) {
          job = j;
          return true;
        }
      }
      return false;
    });
    if (stopping_) return;
    --job->helpers_wanted;
    ++job->helpers_running;
    const std::size_t slot = job->next_slot++;
    lock.unlock();
    work(*job, slot);
    lock.lock();
    if (--job->helpers_running == 0) done_.notify_all();
  }
}

void ThreadPool::run(std::size_t count, std::size_t threads, const Task& task) {
  if (count == 0) return;
  threads = std::clamp<std::size_t>(threads, 1, count);
  Job job;
  job.task = &task;
  job.count = count;
  if (threads > 1) {
    {
      const std::lock_guard lock(mutex_);
      ensure_workers(threads - 1);
      job.helpers_wanted = std::min(threads - 1, workers_.size());
      jobs_.push_back(&job);
    }
    wake_.notify_all();
  }
  work(job, 0);
  if (threads > 1) {
    std::unique_lock lock(mutex_);
    // No helper joins once the job is off the list; wait for those that did.
    jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
    job.helpers_wanted = 0;
    done_.wait(lock, [&] { return job.helpers_running == 0; });
  }
}

Status run_tasks(std::size_t count, std::size_t threads, const CheckedTask& task) {
  std::mutex mutex;
  std::size_t first_at = count;
  std::optional<Error> first;
  const ThreadPool::Task wrapped = [&](std::size_t i, std::size_t slot) noexcept -> bool {
    Status done;
    try {
      done = task(i, slot);
    } catch (const std::bad_alloc&) {
      done = fail(Error::io(ENOMEM));
    }
    if (done) return true;
    const std::lock_guard lock(mutex);
    if (i < first_at) {
      first_at = i;
      first = std::move(done).error();
    }
    return false;
  };
  ThreadPool::shared().run(count, threads, wrapped);
  if (first) return fail(std::move(*first));
  return {};
}

}  // namespace drelix
