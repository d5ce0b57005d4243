// Tests of the event records: digest values, the conversion of a host
// record into an ac_event, the response written back, and the time helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "BRIXEventAbstraction.h"
#include "Event.h"
#include "FileUtil.h"
#include "Hash.h"

namespace {

// n bytes counting up from `first` in steps of 7, so every nibble shows.
std::vector<unsigned char> Bytes(size_t n, unsigned first) {
  std::vector<unsigned char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(first + i * 7);
  return b;
}

std::string Hex(const std::vector<unsigned char>& b, const char* digits = "0123456789abcdef") {
  std::string s;
  for (unsigned char c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

std::vector<unsigned char> BytesOf(const Hash& h) {
  if (!h.HasBytes()) return {};
  return std::vector<unsigned char>(h.GetBytes(), h.GetBytes() + h.GetSize());
}

// ---------------------------------------------------------------- Hash

TEST(HashValue, EachKindHoldsItsBytesAsLowerCaseHex) {
  const auto b256 = Bytes(32, 0xa0), b1 = Bytes(20, 0xf3), b5 = Bytes(16, 0x09);
  const struct {
    std::unique_ptr<Hash> filled, empty;
    std::vector<unsigned char> bytes;
  } kCases[] = {
      {std::make_unique<SHA256Hash>(b256.data()), std::make_unique<SHA256Hash>(), b256},
      {std::make_unique<SHA1Hash>(b1.data()), std::make_unique<SHA1Hash>(), b1},
      {std::make_unique<MD5Hash>(b5.data()), std::make_unique<MD5Hash>(), b5},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.filled->GetSize(), c.bytes.size());
    EXPECT_EQ(BytesOf(*c.filled), c.bytes);
    EXPECT_EQ(c.filled->GetText(), Hex(c.bytes));
    // An empty digest keeps its size but has neither bytes nor text.
    EXPECT_EQ(c.empty->GetSize(), c.bytes.size());
    EXPECT_FALSE(c.empty->HasBytes());
    EXPECT_EQ(c.empty->GetText(), "");
  }
  // High nibble first.
  const unsigned char edge[16] = {0x00, 0x0f, 0xf0, 0xff, 0xab, 0xcd, 0xef, 0x12,
                                  0, 0, 0, 0, 0, 0, 0, 0x01};
  EXPECT_EQ(MD5Hash(edge).GetText(), "000ff0ffabcdef120000000000000001");
}

TEST(HashValue, SetHashFromText) {
  const auto b = Bytes(32, 0x9c);
  std::vector<unsigned char> shortBytes = {1, 2};
  shortBytes.resize(32);
  const struct {
    std::string text;
    std::vector<unsigned char> bytes;
  } kCases[] = {
      {Hex(b), b},
      {Hex(b, "0123456789ABCDEF"), b},  // either case; the text is kept as given
      {"0102", shortBytes},     // short text: the rest is zero
  };
  for (const auto& c : kCases) {
    SHA256Hash h(Bytes(32, 0x55).data());  // replaced, not merged
    h.SetHash(c.text);
    EXPECT_EQ(h.GetSize(), 32u);
    EXPECT_EQ(h.GetText(), c.text);
    EXPECT_EQ(BytesOf(h), c.bytes) << c.text;
  }
}

// ------------------------------------------------------- ConvertEvent

ac_event Convert(const ac_wrapper_event_s& w) {
  ac_event e;
  BRIXEngine().ConvertEvent(&w, e);
  return e;
}

// Each host text and the member it lands in.
const struct TextField {
  const char* ac_wrapper_event_s::*from;
  std::string ac_event::*to;
} kTextFields[] = {
    {&ac_wrapper_event_s::processName, &ac_event::processName},
    {&ac_wrapper_event_s::name, &ac_event::name},
    {&ac_wrapper_event_s::cmdLine, &ac_event::cmdLine},
    {&ac_wrapper_event_s::processSignerName, &ac_event::processSignerName},
    {&ac_wrapper_event_s::processCompanyName, &ac_event::processCompanyName},
    {&ac_wrapper_event_s::processProductName, &ac_event::processProductName},
    {&ac_wrapper_event_s::fileSignerName, &ac_event::fileSignerName},
    {&ac_wrapper_event_s::fileCompanyName, &ac_event::fileCompanyName},
    {&ac_wrapper_event_s::fileProductName, &ac_event::fileProductName},
    {&ac_wrapper_event_s::user, &ac_event::user},
    {&ac_wrapper_event_s::group, &ac_event::group},
    {&ac_wrapper_event_s::oldName, &ac_event::oldName},
};
// The issuer attributes in the order CN, C, S, L, O, OU.
const char* ac_wrapper_event_s::*const kProcessIssuer[] = {
    &ac_wrapper_event_s::processIssuerCN, &ac_wrapper_event_s::processIssuerC,
    &ac_wrapper_event_s::processIssuerS,  &ac_wrapper_event_s::processIssuerL,
    &ac_wrapper_event_s::processIssuerO,  &ac_wrapper_event_s::processIssuerOU};
const char* ac_wrapper_event_s::*const kFileIssuer[] = {
    &ac_wrapper_event_s::fileIssuerCN, &ac_wrapper_event_s::fileIssuerC,
    &ac_wrapper_event_s::fileIssuerS,  &ac_wrapper_event_s::fileIssuerL,
    &ac_wrapper_event_s::fileIssuerO,  &ac_wrapper_event_s::fileIssuerOU};

TEST(ConvertEvent, EveryFieldLandsInItsMember) {
  const auto fs256 = Bytes(32, 0xc1), fs1 = Bytes(20, 0xe2);
  const auto fmd5 = Bytes(16, 0xa3), ps256 = Bytes(32, 0xf4);
  std::vector<std::string> texts;  // distinct values, so a swap shows
  for (size_t i = 0; i < std::size(kTextFields) + 12; ++i)
    texts.push_back("v" + std::to_string(i));

  ac_wrapper_event_s w{};
  w.reserved0 = 0xdead;
  w.pid = 1;
  w.auxiliary1 = 2;
  w.flags = 0x240;
  w.result = 4;
  w.auxiliary2 = 5;
  w.size = 6;
  w.mode = 0755;
  w.auxiliary3 = 8;
  w.dirty = 1;
  w.isexec = 2;  // any non-zero byte is true
  w.isSymlink = 1;
  w.type = 53;
  size_t next = 0;
  for (const TextField& f : kTextFields) w.*f.from = texts[next++].c_str();
  for (int i = 0; i < 6; ++i) {
    w.*kProcessIssuer[i] = texts[next++].c_str();
    w.*kFileIssuer[i] = texts[next++].c_str();
  }
  w.fileSha256 = fs256.data();
  w.fileSha1 = fs1.data();
  w.fileMd5 = fmd5.data();
  w.processSha256 = ps256.data();
  const ac_event e = Convert(w);

  EXPECT_EQ(e.auxiliary0, 0u);
  const uint64_t numbers[] = {e.pid,  e.auxiliary1, e.flags, e.result, e.auxiliary2,
                              e.size, e.mode,       e.auxiliary3};
  EXPECT_EQ(std::vector<uint64_t>(std::begin(numbers), std::end(numbers)),
            (std::vector<uint64_t>{1, 2, 0x240, 4, 5, 6, 0755, 8}));
  EXPECT_TRUE(e.dirty && e.isexec && e.isSymlink);
  EXPECT_FALSE(e.trusted || e.lockdownBlocked);
  EXPECT_EQ(e.type, 53u);
  EXPECT_EQ(e.op, 53u);
  next = 0;
  for (const TextField& f : kTextFields) EXPECT_EQ(e.*f.to, texts[next++]);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(e.processIssuer[i], texts[next++]) << i;
    EXPECT_EQ(e.fileIssuer[i], texts[next++]) << i;
  }
  EXPECT_EQ(BytesOf(e.fileSha256), fs256);
  EXPECT_EQ(BytesOf(e.fileSha1), fs1);
  EXPECT_EQ(BytesOf(e.fileMd5), fmd5);
  EXPECT_EQ(BytesOf(e.processSha256), ps256);
  // Nothing derived is filled in by the conversion.
  EXPECT_EQ(e.processPath + e.fileName + e.extension, "");
  EXPECT_EQ(e.itemType, 1u);

}

TEST(ConvertEvent, TrailingBlanksAreTrimmedFromCompanyAndProduct) {
  const struct {
    const char* ac_wrapper_event_s::*field;
    std::string ac_event::*member;
    const char* given;
    const char* kept;
  } kCases[] = {
      {&ac_wrapper_event_s::processCompanyName, &ac_event::processCompanyName,
       "Acme Corp   ", "Acme Corp"},
      {&ac_wrapper_event_s::processProductName, &ac_event::processProductName, "     ", ""},
      {&ac_wrapper_event_s::processProductName, &ac_event::processProductName, "Prod \n",
       "Prod \n"},  // only spaces
      {&ac_wrapper_event_s::fileCompanyName, &ac_event::fileCompanyName, "Tab Co\t", "Tab Co\t"},
      {&ac_wrapper_event_s::fileProductName, &ac_event::fileProductName, "  Lead \t ", "  Lead \t"},
      {&ac_wrapper_event_s::fileSignerName, &ac_event::fileSignerName, "Signer  ",
       "Signer  "},  // the signer is not trimmed
  };
  for (const auto& c : kCases) {
    ac_wrapper_event_s w{};
    w.*c.field = c.given;
    EXPECT_EQ(Convert(w).*c.member, c.kept) << '"' << c.given << '"';
  }
}

// ------------------------------------------------------ UpdateResponse

TEST(UpdateResponse, ClearsThenFills) {
  const struct {
    std::string ruleset;
    long ctimeSeconds, ctimeNanos;
    std::string shown;  // the first 80 bytes
    uint64_t changeTime;
  } kCases[] = {
      {"agent", 1700000000, 123456789, "agent", 1700000000123456789ull},
      {"", 0, 0, "", 0},
      // Beyond 32-bit seconds.
      {"r", 4102444800, 999999999, "r", 4102444800999999999ull},
      {std::string(79, 's'), 0, 0, std::string(79, 's'), 0},
      {std::string(80, 'r'), 0, 0, std::string(80, 'r'), 0},
      {std::string(100, 'x'), 0, 0, std::string(80, 'x'), 0},  // cut
  };
  for (const auto& c : kCases) {
    ac_event e;
    e.action = 10;
    e.itemType = 3;
    e.source = 2;
    e.isAuthorized = 2;
    e.type = 1;
    e.decision = 2;
    e.ruleset = c.ruleset;
    e.stat.st_ctim.tv_sec = c.ctimeSeconds;
    e.stat.st_ctim.tv_nsec = c.ctimeNanos;
    e.stat.st_mtim.tv_sec = 5;  // not what the response reports
    ac_wrapper_response_s r;
    memset(&r, 0xAB, sizeof(r));
    BRIXEngine::UpdateResponse(e, &r);
    EXPECT_EQ((std::vector<uint32_t>{r.action, r.itemType, r.source, r.isAuthorized,
                                     r.type, r.reserved, r.decision, r.padding}),
              (std::vector<uint32_t>{10, 3, 2, 2, 1, 0, 2, 0}));
    EXPECT_EQ(r.changeTime, c.changeTime);
    // The zero padding ends an 80-byte text.
    EXPECT_EQ(std::string(r.ruleset), c.shown);
    for (size_t i = c.shown.size(); i < sizeof(r.ruleset); ++i)
      ASSERT_EQ(r.ruleset[i], '\0') << i;
  }
  BRIXEngine::UpdateResponse(ac_event(), nullptr);  // no response: nothing
}

// ---------------------------------------------------------- time helpers

TEST(TimeHelpers, ConvertTimeToMillisBySize) {
  const struct {
    uint64_t in, out;
  } kCases[] = {
      {0, 0},
      {1, 1000},
      {1700000000, 1700000000000},
      {9999999999ull, 9999999999000ull},  // the largest in seconds
      {10000000000ull, 10000000000ull},
      {9999999999999ull, 9999999999999ull},  // the largest in milliseconds
      {10000000000000ull, 10000000000ull},
      {1700000000000000ull, 1700000000000ull},
      {~0ull, ~0ull / 1000},
  };
  for (const auto& c : kCases) EXPECT_EQ(convertTimeToMillis(c.in), c.out) << c.in;
}

}  // namespace
