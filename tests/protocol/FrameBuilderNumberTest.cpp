#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/EventEmitter.h"
#include "protocol/FrameBuilder.h"

namespace velmar {
namespace {

using nlohmann::json;

// The data object as FrameBuilder writes it, without the frame around it.
std::string builtData(double number) {
  FrameBuilder f;
  f.beginEvent("n", 0);
  f.key("v");
  f.value(number);
  f.finishEvent();
  const std::string frame(f.frame());
  const auto start = frame.find(",\"data\":") + 8;
  return frame.substr(start, frame.rfind("}<:EVENT") - start);
}

TEST(FrameBuilderNumberTest, WritesFloatingPointExactlyAsTheGenericWriter) {
  const double values[] = {48000.0,
                           16000.0,
                           44100.5,
                           0.0,
                           -0.0,
                           0.1,
                           1.0 / 3.0,
                           1712345678.123456,
                           1796543210.0,
                           1e15,
                           1e16,
                           1e21,
                           1e-5,
                           123456789012345680.0,
                           5e-324,
                           std::numeric_limits<double>::max(),
                           -2.5e-7,
                           std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
  for (double v : values) {
    EXPECT_EQ(builtData(v), toCompactJson(json{{"v", v}})) << v;
  }
  EXPECT_EQ(builtData(48000.0), "{\"v\":48000.0}");  // a float stays a float
}

TEST(FrameBuilderNumberTest, WritesNull) {
  FrameBuilder f;
  f.beginEvent("n", 0);
  f.key("v");
  f.nullValue();
  f.finishEvent();
  EXPECT_EQ(f.frame(), "EVENT:>{\"event\":\"n\",\"timestamp\":0,\"data\":{\"v\":null}}<:EVENT\n");
}

}  // namespace
}  // namespace velmar
