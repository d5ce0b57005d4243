#include "fuzz_util.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "brix.h"

namespace fuzz {

namespace {
int DropLog(unsigned, unsigned, const char*, const char*, const char*,
            unsigned) {
  return 0;
}
}  // namespace

void StartEngineOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The fuzzer keeps its corpus relative to the current folder: stay in
    // it and put the database elsewhere.
    static char dir[] = "/tmp/brix_fuzz_XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    static const std::string db = std::string(dir) + "/fuzz.db";
    ac_engine_start_s s{};
    s.dbPath = db.c_str();
    s.logMask = 15;
    s.logCallback = &DropLog;
    if (engine_start(&s) != BRIX_STATUS_SUCCESS) abort();
  });
}

uint8_t Input::Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

uint64_t Input::Number() {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | Byte();
  return v;
}

std::string Input::Text(size_t max) {
  size_t n = Byte();
  if (n > max) n = max;
  if (n > size_ - pos_) n = size_ - pos_;
  std::string s(reinterpret_cast<const char*>(data_ + pos_), n);
  pos_ += n;
  for (char& c : s)
    if (c == '\0') c = '/';
  return s;
}

std::string Input::Rest() {
  std::string s(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
  pos_ = size_;
  return s;
}

}  // namespace fuzz
