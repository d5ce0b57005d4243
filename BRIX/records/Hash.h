// Hash.h: digest values.
//
// A Hash owns the raw digest bytes (none when empty), knows its fixed size
// (32 SHA-256, 20 SHA-1, 16 MD5) even while empty, and keeps the lower-case
// hexadecimal text of the bytes, which is what logs and exports show.
// Values: copying copies the bytes and the text.
#ifndef BRIX_HASH_H_
#define BRIX_HASH_H_

#include <cstdint>
#include <memory>
#include <string>

class Hash {
 public:
  enum HashType : uint32_t { SHA256 = 32, SHA1 = 20, MD5 = 16 };

  // With bytes: copies `type` bytes and builds the text.  With null bytes:
  // empty (no bytes, empty text) but still of the type's size.
  explicit Hash(HashType type, const void* bytes = nullptr);
  Hash(const Hash& other);
  Hash& operator=(const Hash& other);
  virtual ~Hash();

  const unsigned char* GetBytes() const { return m_bytes.get(); }
  bool HasBytes() const { return m_bytes != nullptr; }
  uint32_t GetSize() const { return m_size; }
  const std::string& GetText() const { return m_text; }

  // Takes a digest in hexadecimal: the text is kept as given, and pairs of
  // digits (either case) are decoded from the start into at most the
  // hash's size in bytes; decoding stops at the end of the text or at the
  // first pair that is not hexadecimal, the remaining bytes staying zero.
  void SetFromText(std::string text);

  // Zero-filled bytes of the hash's size and an empty text: a placeholder
  // that no real file has.
  void ZeroFill();

  // Lower-case hex of `size` bytes, high nibble first.
  static std::string ToHex(const unsigned char* bytes, size_t size);

 protected:
  void Assign(const void* bytes);  // copies m_size bytes, rebuilds the text

  std::unique_ptr<unsigned char[]> m_bytes;
  uint32_t m_size;
  std::string m_text;
};

class SHA256Hash : public Hash {
 public:
  explicit SHA256Hash(const void* bytes = nullptr) : Hash(SHA256, bytes) {}
  ~SHA256Hash() override;

  // Decodes pairs of hex digits (either case) from the start of the text;
  // the text itself is kept as given.  A well-formed value has 64 digits;
  // decoding stops at the end of the text, at 32 bytes, or at the first
  // pair that is not hex.
  virtual void SetHash(std::string text);
  // Null bytes change nothing; otherwise the 32 bytes replace the value.
  virtual void SetHash(const char* bytes);
};

class SHA1Hash : public Hash {
 public:
  explicit SHA1Hash(const void* bytes = nullptr) : Hash(SHA1, bytes) {}
  ~SHA1Hash() override;
};

class MD5Hash : public Hash {
 public:
  explicit MD5Hash(const void* bytes = nullptr) : Hash(MD5, bytes) {}
  ~MD5Hash() override;
};

#endif  // BRIX_HASH_H_
