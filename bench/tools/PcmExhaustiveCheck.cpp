// Converts every one of the 2^32 float bit patterns with the fast and the
// portable paths and compares each result with the reference conversion.
// Exit status 0 when all agree (run by bench/pcm_exhaustive_check.sh).
#include <bit>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "recording/PcmConverter.h"

int main() {
  constexpr std::uint64_t kChunk = 1 << 16;
  std::vector<float> in(kChunk);
  std::vector<std::int16_t> reference(kChunk), fast(kChunk), portable(kChunk);
  std::uint64_t mismatches = 0;
  for (std::uint64_t start = 0; start < (std::uint64_t{1} << 32); start += kChunk) {
    for (std::uint64_t i = 0; i < kChunk; ++i) {
      in[i] = std::bit_cast<float>(static_cast<std::uint32_t>(start + i));
    }
    velmar::convertToPcm16Reference(in.data(), kChunk, reference.data());
    velmar::convertToPcm16(in.data(), kChunk, fast.data());
    velmar::convertToPcm16Portable(in.data(), kChunk, portable.data());
    for (std::uint64_t i = 0; i < kChunk; ++i) {
      if (fast[i] == reference[i] && portable[i] == reference[i]) continue;
      if (++mismatches <= 10) {
        std::printf("mismatch at 0x%08llx: reference %d, fast %d, portable %d\n",
                    static_cast<unsigned long long>(start + i), reference[i], fast[i], portable[i]);
      }
    }
    if ((start + kChunk) % (std::uint64_t{1} << 28) == 0) {
      std::fprintf(stderr, "%llu/16 done\n",
                   static_cast<unsigned long long>((start + kChunk) >> 28));
    }
  }
  std::printf("%llu patterns checked, %llu mismatches\n", 1ULL << 32,
              static_cast<unsigned long long>(mismatches));
  return mismatches == 0 ? 0 : 1;
}
