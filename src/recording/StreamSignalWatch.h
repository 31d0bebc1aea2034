#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace velmar {

// Whether each input stream of a recording carries anything but exact
// digital zeros, as the IO thread saw it. The IO thread notes every buffer
// (a scan for the first non-zero sample and a few relaxed stores: no lock,
// no allocation); a checker off the IO thread reads the figures and decides
// what they mean. Streams beyond kMaxStreams are not watched.
class StreamSignalWatch {
 public:
  static constexpr std::size_t kMaxStreams = 64;

  struct Reading {
    // Frames of exact zeros since the stream last carried a signal (or
    // since the watch was reset).
    std::uint64_t zeroFrames = 0;
    // Buffers with a signal so far: a change means the signal came back.
    std::uint64_t signalBuffers = 0;
    // Length of the last run of zeros that a signal ended.
    std::uint64_t endedRunFrames = 0;
  };

  // IO thread only (one writer): `frames` frames of `samples` interleaved
  // float samples.
  void noteBuffer(std::uint32_t stream, const float* samples, std::size_t count,
                  std::size_t frames) noexcept {
    if (stream >= kMaxStreams) return;
    Stream& s = streams_[stream];
    const bool zeros = allZero(samples, count);
    const std::uint64_t run = s.zeroFrames.load(std::memory_order_relaxed);
    if (zeros) {
      s.zeroFrames.store(run + frames, std::memory_order_relaxed);
      return;
    }
    if (run != 0) {
      s.endedRunFrames.store(run, std::memory_order_relaxed);
      s.zeroFrames.store(0, std::memory_order_relaxed);
    }
    // Published last: whoever sees the new count sees the run it ended.
    s.signalBuffers.store(s.signalBuffers.load(std::memory_order_relaxed) + 1,
                          std::memory_order_release);
  }

  // Whether every sample is +0 or -0. A silent buffer is read whole, so it
  // is read in blocks whose bits are OR-ed without a branch (the compiler
  // vectorises them); a buffer with sound stops at its first block.
  static bool allZero(const float* samples, std::size_t count) noexcept {
    constexpr std::size_t kBlock = 64;
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
      std::uint32_t bits = 0;
      for (std::size_t j = 0; j < kBlock; ++j) {
        bits |= std::bit_cast<std::uint32_t>(samples[i + j]) & 0x7fffffffu;
      }
      if (bits != 0) return false;
    }
    for (; i < count; ++i) {
      if (samples[i] != 0.0f) return false;
    }
    return true;
  }

  // Any thread.
  Reading read(std::uint32_t stream) const noexcept {
    if (stream >= kMaxStreams) return {};
    const Stream& s = streams_[stream];
    Reading reading;
    reading.signalBuffers = s.signalBuffers.load(std::memory_order_acquire);
    reading.endedRunFrames = s.endedRunFrames.load(std::memory_order_relaxed);
    reading.zeroFrames = s.zeroFrames.load(std::memory_order_relaxed);
    return reading;
  }

  // Only while IO is stopped (the streams were cataloged anew).
  void reset() noexcept {
    for (Stream& s : streams_) {
      s.zeroFrames.store(0, std::memory_order_relaxed);
      s.signalBuffers.store(0, std::memory_order_relaxed);
      s.endedRunFrames.store(0, std::memory_order_relaxed);
    }
  }

 private:
  struct Stream {
    std::atomic<std::uint64_t> zeroFrames{0};
    std::atomic<std::uint64_t> signalBuffers{0};
    std::atomic<std::uint64_t> endedRunFrames{0};
  };
  std::array<Stream, kMaxStreams> streams_{};
};

}  // namespace velmar
