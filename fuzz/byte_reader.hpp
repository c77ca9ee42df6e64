// Decodes a fuzzer's input into small numbers, kinds and ids. Past the end of
// the input every read returns 0, so any byte string is a valid program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace varnel_fuzz {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return position_ >= size_; }

  std::uint8_t byte() { return done() ? 0 : data_[position_++]; }

  std::uint64_t word() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t{byte()} << (8 * i);
    return value;
  }

  // A kind number: mostly in range, now and then just past it or far beyond.
  std::uint64_t kind(std::uint64_t kinds) {
    const std::uint8_t b = byte();
    if (b < 240) return b % kinds;
    if (b < 250) return kinds + (b - 240) % 3;
    return b == 255 ? ~std::uint64_t{0} : word();
  }

  // An instance id from a small pool (so that instances meet again), or any word.
  std::uint64_t id(std::uint64_t pool) {
    const std::uint8_t b = byte();
    return b < 250 ? b % pool : word();
  }

  // A count or position near the interesting edges of `capacity`.
  std::uint64_t near_capacity(std::uint64_t capacity) {
    const std::uint8_t b = byte();
    if (b < 232) return b % 48;
    switch (b % 8) {
      case 0: return capacity - 1;
      case 1: return capacity;
      case 2: return capacity + 1;
      case 3: return ~std::uint64_t{0};
      case 4: return std::uint64_t{1} << 63;
      case 5: return capacity - 1 - b % 8;
      default: return word();
    }
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// A finding: print it and abort, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
  std::abort();
}

}  // namespace varnel_fuzz
