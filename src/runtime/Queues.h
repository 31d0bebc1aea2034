#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

namespace velmar::runtime {

using Executor = asio::any_io_executor;

// The main thread's queue. Work posted here, and the repeating timers of the
// main run loop, run while the main loop pauses between its status checks.
asio::io_context& mainContext();
Executor mainQueue();

// Concurrent default-priority pool: command intake hand-off, commands of no
// category, global queues (tap auto-update, forced updates, initial events).
asio::thread_pool& backgroundPool();

// A separate pool for short blocking look-ups (application names). Callers on
// the background pool wait on these, so they must never share threads.
asio::thread_pool& utilityPool();

// A serial queue: tasks run one after another, in submission order, on the
// background pool's threads.
using SerialQueue = asio::strand<asio::thread_pool::executor_type>;
SerialQueue makeSerialQueue();

}  // namespace velmar::runtime
