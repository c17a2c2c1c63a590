#include "builder/parallel.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {

class InOrderRun {
 public:
  InOrderRun(size_t count, const std::function<void(size_t)>& work,
             const std::function<void(size_t)>& deliver)
      : count_(count), work_(work), deliver_(deliver), done_(count, false) {}

  void Work() {
    while (!stop_) {
      const size_t item = next_++;
      if (item >= count_) return;
      try {
        work_(item);
      } catch (...) {
        Fail(item, std::current_exception());
        return;
      }
      Finished(item);
    }
  }

  void RethrowFailure() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void Fail(size_t item, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_ || item < failedItem_) {
      failure_ = error;
      failedItem_ = item;
    }
    stop_ = true;
  }

  // Marks `item` done and delivers what is ready, unless another thread is
  // delivering already (it then sees `item` before it stops).
  void Finished(size_t item) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_[item] = true;
    if (delivering_) return;
    delivering_ = true;
    while (!stop_ && delivered_ < count_ && done_[delivered_]) {
      const size_t ready = delivered_;
      lock.unlock();
      try {
        deliver_(ready);
      } catch (...) {
        lock.lock();
        delivering_ = false;
        lock.unlock();
        Fail(ready, std::current_exception());
        return;
      }
      lock.lock();
      ++delivered_;
    }
    delivering_ = false;
  }

  const size_t count_;
  const std::function<void(size_t)>& work_;
  const std::function<void(size_t)>& deliver_;
  std::mutex mutex_;
  std::vector<bool> done_;
  size_t delivered_ = 0;
  bool delivering_ = false;
  std::atomic<size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::exception_ptr failure_;
  size_t failedItem_ = 0;
};

}  // namespace

unsigned ThreadCount(unsigned requested) {
  if (requested > 0) return requested;
  const unsigned processors = std::thread::hardware_concurrency();
  return processors > 0 ? processors : 1;
}

void ParallelInOrder(size_t count, unsigned threads, const std::function<void(size_t)>& work,
                     const std::function<void(size_t)>& deliver) {
  InOrderRun run(count, work, deliver);
  const size_t helpers = std::min<size_t>(ThreadCount(threads), count) - (count > 0 ? 1 : 0);
  std::vector<std::thread> pool;
  for (size_t i = 0; i < helpers; ++i) pool.emplace_back([&run] { run.Work(); });
  run.Work();
  for (std::thread& thread : pool) thread.join();
  run.RethrowFailure();
}
