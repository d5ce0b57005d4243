// The path pattern matcher and the helpers around it.
#include <cstdint>
#include <list>
#include <string>

#include "PathMatch.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const std::string pattern = in.Text(255);
  const std::string text = in.Rest().substr(0, 4096);
  MatchFunction(text, pattern);
  MatchEventPathWithRulePath(text, pattern);
  std::list<std::string> pieces;
  split(pattern, ',', pieces);
  return 0;
}
