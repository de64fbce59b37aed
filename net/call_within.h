// A blocking call with a time limit of our own, for system calls that have none (name resolution):
// the call runs on a helper thread; when time runs out the caller goes on, and the thread finishes
// alone and hands its late result to `discard`.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace kv {

template <class Result, class Work, class Discard>
std::optional<Result> CallWithin(uint32_t timeoutMs, Work work, Discard discard) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::optional<Result> result;
    bool abandoned = false;
  };
  auto shared = std::make_shared<Shared>();
  std::thread([shared, work, discard] {
    Result result = work();
    std::lock_guard lock(shared->mutex);
    if (shared->abandoned) {
      discard(result);
      return;
    }
    shared->result = result;
    shared->done.notify_one();
  }).detach();
  std::unique_lock lock(shared->mutex);
  if (!shared->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return shared->result.has_value(); })) {
    shared->abandoned = true;
    return std::nullopt;
  }
  return shared->result;
}

}  // namespace kv
