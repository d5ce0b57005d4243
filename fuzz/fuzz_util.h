// fuzz_util.h: shared set-up for the fuzz targets.
#ifndef BRIX_FUZZ_FUZZ_UTIL_H_
#define BRIX_FUZZ_FUZZ_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Starts the engine once per process on a database in a private folder,
// with logging on (mask 15, to a callback that drops the lines) so that
// the formatting of every log line is exercised too.
void StartEngineOnce();

// Reads pieces of the fuzzer's input in order; past the end it yields
// zeros and empty texts.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte();
  uint64_t Number();
  bool Bool() { return Byte() & 1; }
  // A text of up to `max` bytes (length from the input), NUL-free.
  std::string Text(size_t max);
  // Whatever is left.
  std::string Rest();
  bool Empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace fuzz

#endif  // BRIX_FUZZ_FUZZ_UTIL_H_
