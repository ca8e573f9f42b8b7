// Handles the POSIX layer hands out for its own objects (open files,
// searches, folders held for a walk): the object's address, published in a
// table so a stale or foreign handle is refused instead of followed. The
// table holds shared owners, so a call running on another thread keeps the
// object alive while the handle is closed under it.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/automation.h"

namespace tessary::files {

template <class T>
class HandleTable {
 public:
  // One table per kind of object for the life of the process: handles may be
  // closed from static destructors, so it is never destroyed.
  static HandleTable& Get() {
    static HandleTable* table = new HandleTable;
    return *table;
  }

  HANDLE Publish(std::shared_ptr<T> object) {
    std::lock_guard<std::mutex> lock(mutex_);
    const void* key = object.get();
    objects_.emplace(key, std::move(object));
    return const_cast<void*>(key);
  }

  std::shared_ptr<T> Lookup(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<T> Unpublish(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<const void*, std::shared_ptr<T>> objects_;
};

}  // namespace tessary::files
