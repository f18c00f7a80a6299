// Move-only owners of the libpipewire and SPA handles the host uses. Each releases its handle
// in its destructor. Handles tied to a loop are created and destroyed on that loop's thread,
// or with the thread loop's lock held; the owners themselves are not thread-safe.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/utils/hook.h>

#include <memory>
#include <utility>

namespace kolv::pipewire {

template <auto Release>
struct HandleDeleter {
  template <class T>
  void operator()(T* handle) const {
    Release(handle);
  }
};

using ThreadLoop = std::unique_ptr<pw_thread_loop, HandleDeleter<&pw_thread_loop_destroy>>;
using Context = std::unique_ptr<pw_context, HandleDeleter<&pw_context_destroy>>;
using Core = std::unique_ptr<pw_core, HandleDeleter<&pw_core_disconnect>>;
using Stream = std::unique_ptr<pw_stream, HandleDeleter<&pw_stream_destroy>>;
using Properties = std::unique_ptr<pw_properties, HandleDeleter<&pw_properties_free>>;

// The library's process-wide state: pw_init on construction, pw_deinit on destruction.
// Both are reference counted by libpipewire, so several owners may coexist.
class Library {
 public:
  Library() { pw_init(nullptr, nullptr); }
  ~Library() {
    if (owns_) pw_deinit();
  }
  Library(Library&& other) noexcept : owns_(std::exchange(other.owns_, false)) {}
  Library& operator=(Library&&) = delete;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

 private:
  bool owns_ = true;
};

// A source (event, timer) added to a pw_loop.
class LoopSource {
 public:
  LoopSource() = default;
  LoopSource(pw_loop* loop, spa_source* source) : loop_(loop), source_(source) {}
  ~LoopSource() { reset(); }
  LoopSource(LoopSource&& other) noexcept
      : loop_(std::exchange(other.loop_, nullptr)), source_(std::exchange(other.source_, nullptr)) {}
  LoopSource& operator=(LoopSource&& other) noexcept {
    if (this != &other) {
      reset();
      loop_ = std::exchange(other.loop_, nullptr);
      source_ = std::exchange(other.source_, nullptr);
    }
    return *this;
  }
  LoopSource(const LoopSource&) = delete;
  LoopSource& operator=(const LoopSource&) = delete;

  void reset() {
    if (source_) pw_loop_destroy_source(loop_, source_);
    loop_ = nullptr;
    source_ = nullptr;
  }
  pw_loop* loop() const { return loop_; }
  spa_source* get() const { return source_; }
  explicit operator bool() const { return source_ != nullptr; }

 private:
  pw_loop* loop_ = nullptr;
  spa_source* source_ = nullptr;
};

// A registered listener. The hook lives on the heap so that its address, which the
// emitter keeps, survives moves of the owner. Destroy it before the object it listens to.
class Listener {
 public:
  Listener() = default;
  ~Listener() { reset(); }
  Listener(Listener&&) noexcept = default;
  Listener& operator=(Listener&& other) noexcept {
    if (this != &other) {
      reset();
      hook_ = std::move(other.hook_);
    }
    return *this;
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // A fresh hook for an add_listener call; any earlier registration is removed first.
  spa_hook* prepare() {
    reset();
    hook_ = std::make_unique<spa_hook>();
    return hook_.get();
  }
  void reset() {
    if (hook_) spa_hook_remove(hook_.get());
    hook_.reset();
  }

 private:
  std::unique_ptr<spa_hook> hook_;
};

// Holds the thread loop's lock for a scope; the lock is recursive.
class ThreadLoopLock {
 public:
  explicit ThreadLoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~ThreadLoopLock() { pw_thread_loop_unlock(loop_); }
  ThreadLoopLock(const ThreadLoopLock&) = delete;
  ThreadLoopLock& operator=(const ThreadLoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

}  // namespace kolv::pipewire
