// Event processing with arbitrary host records: texts of any length and
// content, any type codes, flags and modes, null pointers and digests.
#include <cstdint>
#include <string>

#include "brix.h"
#include "fuzz_util.h"

namespace {

// Host codes the engine folds into categories, and a few it does not.
const uint32_t kTypes[] = {0, 15, 16, 17, 23, 29, 30, 32, 34, 36, 40,
                           42, 44, 46, 48, 50, 53, 57, 99, 0xffffffff};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::StartEngineOnce();
  fuzz::Input in(data, size);
  const uint8_t modes = in.Byte();
  set_config(modes & 0x1f, in.Number() % 4000000000000ULL, ~0ULL);

  ac_wrapper_event_s e{};
  e.pid = in.Byte();
  e.flags = in.Number();
  e.result = in.Byte() & 1;
  e.size = in.Number();
  e.mode = in.Byte();
  e.dirty = in.Byte();
  e.isexec = in.Byte();
  e.trusted = in.Byte() & 1;
  e.isSymlink = in.Byte();
  const uint8_t t = in.Byte();
  e.type = t < 200 ? kTypes[t % (sizeof(kTypes) / sizeof(kTypes[0]))]
                   : static_cast<uint32_t>(in.Number());

  // Texts: present or null, any length up to a page.
  std::string texts[29];
  const char** fields[] = {
      &e.processName,     &e.name,             &e.cmdLine,
      &e.processSignerName, &e.processIssuerCN, &e.processIssuerC,
      &e.processIssuerS,  &e.processIssuerL,   &e.processIssuerO,
      &e.processIssuerOU, &e.processCompanyName, &e.processProductName,
      &e.fileSignerName,  &e.fileIssuerCN,     &e.fileIssuerC,
      &e.fileIssuerS,     &e.fileIssuerL,      &e.fileIssuerO,
      &e.fileIssuerOU,    &e.fileCompanyName,  &e.fileProductName,
      &e.user,            &e.group,            &e.oldName,
  };
  int k = 0;
  for (const char** field : fields) {
    const uint8_t how = in.Byte();
    if (how % 4 == 0) continue;  // null
    texts[k] = in.Text(how % 4 == 3 ? 4096 : 255);
    if (how % 4 == 2) texts[k] = "/usr/bin/" + texts[k];
    *field = texts[k].c_str();
    ++k;
  }
  unsigned char digests[4][32] = {};
  const unsigned char** hashes[] = {&e.fileSha256, &e.fileSha1, &e.fileMd5,
                                    &e.processSha256};
  for (int h = 0; h < 4; ++h) {
    if (in.Byte() & 1) continue;
    for (unsigned char& b : digests[h]) b = in.Byte();
    *hashes[h] = digests[h];
  }
  ac_wrapper_response_s response;
  app_ctl(nullptr, &e, in.Bool() ? nullptr : &response);
  return 0;
}
