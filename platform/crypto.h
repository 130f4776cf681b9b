// SHA-256 and Ed25519 for signed releases, over OpenSSL 3's EVP interface
// (OpenSSL is on every machine already, through libcurl): digests of release
// files, making a signing key, signing a release manifest and checking its
// signature. Keys travel as text: the private key as a PKCS#8 PEM document,
// the public key as the base64 of its 32 raw bytes, one line.
//
// Thread-safety: no shared state; a Sha256 object belongs to one thread, the
// free functions run on any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace platform {

// One running SHA-256 digest.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t size);
  // 64 lowercase hex characters; the digest is finished by the first call.
  std::string HexDigest();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
  std::string hex_;  // once finished
};

// Hex SHA-256 of a whole file and its size; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, int64_t* size);

// Standard base64 with padding, no line breaks.
std::string Base64Encode(const std::string& bytes);
// Only the canonical form of Base64Encode is accepted (no spaces, no line
// breaks, exact padding): a key or signature has one spelling.
bool Base64Decode(const std::string& text, std::string* bytes);

constexpr size_t kEd25519KeyBytes = 32;
constexpr size_t kEd25519SignatureBytes = 64;

// A fresh key pair: the private key as PEM, the public key as raw bytes.
bool GenerateEd25519Key(std::string* privatePem, std::string* publicKey);
// The raw public key of a private key in PEM; false when the text is not an
// Ed25519 private key.
bool Ed25519PublicKeyOf(const std::string& privatePem, std::string* publicKey);
bool Ed25519Sign(const std::string& privatePem, const std::string& message, std::string* signature);
// True only for a valid signature of message by the raw public key.
bool Ed25519Verify(const std::string& publicKey, const std::string& message,
                   const std::string& signature);

}  // namespace platform
