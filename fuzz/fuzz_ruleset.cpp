// Ruleset import with arbitrary text and names.
#include <cstdint>
#include <string>

#include "brix.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::StartEngineOnce();
  fuzz::Input in(data, size);
  const bool append = in.Bool();
  // The name picks the kind of ruleset: let the input choose among the
  // interesting ones as well as arbitrary names.
  static const char* const kNames[] = {"agent-manifest", "corp-trustrules",
                                       "ruleset", "AGENT", "TrustRules-x"};
  const uint8_t pick = in.Byte();
  const std::string name =
      pick < 200 ? kNames[pick % 5] : in.Text(64);
  const std::string text = in.Rest();
  set_ruleset_buffer(append, text.c_str(), name.c_str());
  return 0;
}
