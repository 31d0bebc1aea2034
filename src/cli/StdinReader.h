#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velmar {

// Reads standard input on its own thread ("stdin-queue") with Asio and turns
// the byte stream into command texts (CommandFramer). The callbacks run on
// that thread and must hand work off quickly.
class StdinReader {
 public:
  struct Callbacks {
    std::function<void(std::string text)> onCommand;
    std::function<void(std::string head)> onOversized;
    std::function<void()> onEnd;  // end of file or a read error
  };

  StdinReader(int fd, Callbacks callbacks);
  ~StdinReader();
  StdinReader(const StdinReader&) = delete;
  StdinReader& operator=(const StdinReader&) = delete;

  void start();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmar
