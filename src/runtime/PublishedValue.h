#pragma once

#include <algorithm>
#include <atomic>
#include <vector>

namespace velmar::runtime {

// A value that one side replaces now and then and a real-time thread reads
// without a lock, an allocation or a wait. Every publish() stores a fresh
// immutable copy; the reader announces the copy it is using (a hazard
// pointer), and the writer frees replaced copies only once the reader has
// let go of them, so at most two old copies are ever kept.
//
//   PublishedValue<Settings> settings{Settings{}};
//   settings.publish(next);                  // writer side, serialised
//   { auto s = settings.read(); use(s->x); }  // the one reader thread
//
// Writers must be serialised among themselves; read() is meant for one
// thread at a time.
template <typename T>
class PublishedValue {
 public:
  explicit PublishedValue(T initial) : current_(new T(std::move(initial))) {}
  ~PublishedValue() {
    delete current_.load();
    for (T* old : retired_) delete old;
  }
  PublishedValue(const PublishedValue&) = delete;
  PublishedValue& operator=(const PublishedValue&) = delete;

  // Writer side.
  void publish(T value) {
    T* fresh = new T(std::move(value));
    retired_.push_back(current_.exchange(fresh));
    T* inUse = hazard_.load();
    std::erase_if(retired_, [inUse](T* old) {
      if (old == inUse) return false;
      delete old;
      return true;
    });
  }
  // The latest value, for the writer side.
  const T& latest() const { return *current_.load(); }
  // Whether the reader holds no copy older than the latest one (writer side:
  // after publish(), a reader that began earlier is done once this holds).
  bool readerOnLatest() const {
    T* inUse = hazard_.load();
    return inUse == nullptr || inUse == current_.load();
  }

  class Reader {
   public:
    explicit Reader(PublishedValue& owner) : owner_(owner) {
      T* seen = owner_.current_.load();
      for (;;) {
        owner_.hazard_.store(seen);
        T* again = owner_.current_.load();
        if (again == seen) break;
        seen = again;
      }
      value_ = seen;
    }
    ~Reader() { owner_.hazard_.store(nullptr); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    const T* operator->() const { return value_; }
    const T& operator*() const { return *value_; }

   private:
    PublishedValue& owner_;
    const T* value_ = nullptr;
  };
  // Reader side: the value stays valid while the Reader lives.
  Reader read() { return Reader(*this); }

 private:
  std::atomic<T*> current_;
  std::atomic<T*> hazard_{nullptr};
  std::vector<T*> retired_;  // writer side only
};

}  // namespace velmar::runtime
