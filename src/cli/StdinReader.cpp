#include "cli/StdinReader.h"

#include <unistd.h>

#include <array>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "protocol/CommandFramer.h"
#include "runtime/ThreadName.h"

namespace velmar {

struct StdinReader::State : std::enable_shared_from_this<State> {
  State(int fd, Callbacks cb) : descriptor(context), callbacks(std::move(cb)) {
    // A duplicate, so the process's own descriptor 0 stays untouched.
    descriptor.assign(::dup(fd));
  }

  void readNext() {
    descriptor.async_read_some(
        asio::buffer(buffer),
        [self = shared_from_this()](std::error_code ec, std::size_t n) { self->onRead(ec, n); });
  }

  void onRead(std::error_code ec, std::size_t n) {
    if (n > 0) deliver(framer.feed(std::string_view(buffer.data(), n)));
    if (ec) {
      // End of file, or a stream that can no longer be read: either way the
      // host can send nothing more.
      deliver(framer.finish());
      if (callbacks.onEnd) callbacks.onEnd();
      return;
    }
    readNext();
  }

  void deliver(std::vector<CommandFramer::Piece> pieces) {
    for (auto& piece : pieces) {
      if (piece.kind == CommandFramer::Piece::Kind::command) {
        if (callbacks.onCommand) callbacks.onCommand(std::move(piece.text));
      } else if (callbacks.onOversized) {
        callbacks.onOversized(std::move(piece.text));
      }
    }
  }

  asio::io_context context;
  asio::posix::stream_descriptor descriptor;
  Callbacks callbacks;
  CommandFramer framer;
  std::array<char, 64 * 1024> buffer{};
};

StdinReader::StdinReader(int fd, Callbacks callbacks)
    : state_(std::make_shared<State>(fd, std::move(callbacks))) {}

StdinReader::~StdinReader() = default;

void StdinReader::start() {
  state_->readNext();
  // The reader lives as long as the process; its thread is never joined.
  std::thread([state = state_] {
    runtime::nameThisThread("stdin-queue");
    state->context.run();
  }).detach();
}

}  // namespace velmar
