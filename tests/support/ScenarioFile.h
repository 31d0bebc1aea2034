#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/CliProcess.h"

namespace velmar::testing {

// A scenario file that lives as long as the object.
class ScenarioFile {
 public:
  explicit ScenarioFile(const nlohmann::json& content) {
    char name[] = "/tmp/velmar-scenario-XXXXXX";
    int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    path_ = name;
    const std::string text = content.dump();
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  }
  ~ScenarioFile() { std::remove(path_.c_str()); }
  ScenarioFile(const ScenarioFile&) = delete;
  ScenarioFile& operator=(const ScenarioFile&) = delete;

  const std::string& path() const { return path_; }

  // Options that start the service on this machine with `arguments`.
  CliProcess::Options options(std::vector<std::string> arguments = {}) const {
    return {std::move(arguments), {{"VELMAR_SIM_SCENARIO", path_}}};
  }

 private:
  std::string path_;
};

}  // namespace velmar::testing
