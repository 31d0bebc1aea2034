// The lock-free settings record: a reader on its own thread always sees one
// whole published value, never a freed or half-written one, while the
// writer keeps replacing it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "runtime/PublishedValue.h"

namespace velmar::runtime {
namespace {

struct Pair {
  std::string text;
  long number = 0;  // always the length of text
};

TEST(PublishedValueTest, AReaderSeesWholeValuesWhileTheWriterReplacesThem) {
  PublishedValue<Pair> value{Pair{"", 0}};
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      auto seen = value.read();
      ASSERT_EQ(static_cast<long>(seen->text.size()), seen->number);
      reads.fetch_add(1);
    }
  });
  for (long i = 1; i <= 20000; ++i) {
    value.publish(Pair{std::string(static_cast<std::size_t>(i % 97), 'x'), i % 97});
  }
  while (reads.load() < 100) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(value.latest().number, 20000 % 97);
  EXPECT_EQ(value.read()->number, 20000 % 97);
}

}  // namespace
}  // namespace velmar::runtime
