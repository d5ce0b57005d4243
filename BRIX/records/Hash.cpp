#include "Hash.h"

#include <cstring>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Hash::Hash(HashType type, const void* bytes) : m_size(type) {
  if (bytes != nullptr) Assign(bytes);
}

Hash::Hash(const Hash& other) : m_size(other.m_size), m_text(other.m_text) {
  if (other.m_bytes) {
    m_bytes.reset(new unsigned char[m_size]);
    memcpy(m_bytes.get(), other.m_bytes.get(), m_size);
  }
}

Hash& Hash::operator=(const Hash& other) {
  if (this == &other) return *this;
  m_size = other.m_size;
  m_text = other.m_text;
  if (other.m_bytes) {
    m_bytes.reset(new unsigned char[m_size]);
    memcpy(m_bytes.get(), other.m_bytes.get(), m_size);
  } else {
    m_bytes.reset();
  }
  return *this;
}

Hash::~Hash() = default;

std::string Hash::ToHex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '\0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return text;
}

void Hash::Assign(const void* bytes) {
  if (!m_bytes) m_bytes.reset(new unsigned char[m_size]);
  memcpy(m_bytes.get(), bytes, m_size);
  m_text = ToHex(m_bytes.get(), m_size);
}

void Hash::SetFromText(std::string text) {
  m_bytes.reset(new unsigned char[m_size]());
  m_text = std::move(text);
  for (size_t i = 0; i + 1 < m_text.size() && i / 2 < m_size; i += 2) {
    const int hi = HexValue(m_text[i]);
    const int lo = HexValue(m_text[i + 1]);
    if (hi < 0 || lo < 0) break;
    m_bytes[i / 2] = static_cast<unsigned char>(hi << 4 | lo);
  }
}

void Hash::ZeroFill() {
  m_bytes.reset(new unsigned char[m_size]());
  m_text.clear();
}

SHA256Hash::~SHA256Hash() = default;
SHA1Hash::~SHA1Hash() = default;
MD5Hash::~MD5Hash() = default;

void SHA256Hash::SetHash(const char* bytes) {
  if (bytes == nullptr) return;
  Assign(bytes);
}

void SHA256Hash::SetHash(std::string text) {
  m_size = SHA256;
  SetFromText(std::move(text));
}

