#include "EngineGate.h"

namespace brixd {

void EngineGate::Enter() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !closed_; });
  ++inside_;
}

void EngineGate::Leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--inside_ == 0 && closed_) changed_.notify_all();
}

bool EngineGate::Close(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  if (changed_.wait_for(lock, wait, [&] { return inside_ == 0; })) return true;
  closed_ = false;
  changed_.notify_all();
  return false;
}

void EngineGate::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = false;
  changed_.notify_all();
}

EngineGate& TheEngineGate() {
  static EngineGate gate;
  return gate;
}

}  // namespace brixd
