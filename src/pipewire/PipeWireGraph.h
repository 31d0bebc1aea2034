#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pipewire/GraphState.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;

namespace velmar::pipewire {

// One connection to the PipeWire daemon: a thread loop, its core and a
// registry listener that mirrors nodes, clients, ports, links and the default
// devices into a GraphState.
//
// Threads: every pw_* call runs on the loop thread or with the loop locked
// (LoopLock). The mirrored state is written on the loop thread and guarded
// by its own mutex, held only to copy, so readers never wait for the loop.
class PipeWireGraph {
 public:
  // Connects and waits for the first complete snapshot. Null, with `error`
  // set, when no daemon answers.
  static std::unique_ptr<PipeWireGraph> connect(std::string& error);
  ~PipeWireGraph();
  PipeWireGraph(const PipeWireGraph&) = delete;
  PipeWireGraph& operator=(const PipeWireGraph&) = delete;

  GraphState snapshot() const;

  // Called on the loop thread after the mirrored state changed; keep it short
  // (post the work elsewhere). Set before the changes that should be seen.
  void setChangeHandler(std::function<void()> handler);

  // Whether the daemon is still connected.
  bool connected() const;

  // After the connection was lost: drops what was left of it and connects
  // anew (the daemon restarted), waiting for the first complete snapshot as
  // connect does. Call off the loop thread, without the loop lock, and only
  // once nothing made on the old connection (filters, links) is left. False
  // while no daemon answers.
  bool reconnect();

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

  // Holds the loop lock for a scope; needed for every pw_* call made off the
  // loop thread.
  class LoopLock {
   public:
    explicit LoopLock(const PipeWireGraph& graph);
    ~LoopLock();
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

   private:
    pw_thread_loop* loop_;
  };

  // Waits (loop locked by the caller) until the daemon has processed every
  // request made so far; false on time-out or disconnection.
  bool roundTripLocked();

  struct Listeners;  // PipeWire callbacks, in the .cpp

 private:
  PipeWireGraph() = default;
  void changed();
  bool openLocked(std::string& error);
  void closeLocked();

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  std::unique_ptr<Listeners> listeners_;

  mutable std::mutex stateMutex_;
  GraphState state_;
  std::function<void()> onChange_;  // guarded by stateMutex_
};

}  // namespace velmar::pipewire
