// The table of live objects behind a family's handles: a handle is an object's address,
// and only addresses in the table are ever read, so a stale or foreign handle is refused
// without touching freed memory.
#pragma once

#include <mutex>
#include <unordered_set>

#include "nxpal/guid.h"

namespace vkrt {

template <typename T>
class LiveTable {
 public:
  void Add(T* obj) {
    std::lock_guard<std::mutex> g(m_);
    live_.insert(obj);
  }
  // False when obj was not live.
  bool Remove(T* obj) {
    std::lock_guard<std::mutex> g(m_);
    return live_.erase(obj) != 0;
  }
  // The object behind a handle when it is live and carries the family's tag, else null.
  // The caller owns the object for the call (one thread per object, by contract).
  T* Find(const void* handle, const GUID& tag) {
    std::lock_guard<std::mutex> g(m_);
    auto it = live_.find(static_cast<T*>(const_cast<void*>(handle)));
    if (it == live_.end() || !IsEqualGUID((*it)->tag, tag)) return nullptr;
    return *it;
  }

 private:
  std::mutex m_;  // guards live_
  std::unordered_set<T*> live_;
};

}  // namespace vkrt
