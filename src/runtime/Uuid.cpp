#include "runtime/Uuid.h"

#include <iomanip>
#include <random>
#include <sstream>

namespace velmar::runtime {

std::string makeUUID() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<unsigned> byte(0, 255);
  unsigned char bytes[16];
  for (auto& b : bytes) b = static_cast<unsigned char>(byte(generator));
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  std::ostringstream text;
  text << std::hex << std::uppercase << std::setfill('0');
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text << '-';
    text << std::setw(2) << static_cast<unsigned>(bytes[i]);
  }
  return text.str();
}

}  // namespace velmar::runtime
