// The metrics buffer protocol: any buffer size, null pointers, and counter
// names of any content.
#include <cstdint>
#include <string>
#include <vector>

#include "BRIXStats.h"
#include "brix.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::StartEngineOnce();
  fuzz::Input in(data, size);
  BRIXStats* stats = BRIXStats::GetStats();
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    if (op < 64) {
      stats->Inc(in.Text(64));
    } else if (op < 128) {
      stats->IncType(op % 4, in.Text(64));
    } else if (op < 160) {
      stats->ClearType(op % 4, in.Text(8));
    } else {
      const uint32_t length = static_cast<uint32_t>(in.Number() % 70000);
      std::vector<char> buffer(length);
      uint32_t len = length;
      const int shape = op % 3;
      get_metrics_mem(shape == 0 ? nullptr : buffer.data(),
                      shape == 2 ? nullptr : &len);
    }
  }
  return 0;
}
