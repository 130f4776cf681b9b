#include "platform/crypto.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <vector>

namespace platform {

namespace {

// Owners of the OpenSSL objects used here.
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex(n * 2, '0');
  for (size_t i = 0; i < n; ++i) {
    hex[2 * i] = kDigits[bytes[i] >> 4];
    hex[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return hex;
}

Pkey ReadPrivateKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key || !EVP_PKEY_is_a(key.get(), "ED25519")) return nullptr;
  return key;
}

bool RawPublicKey(EVP_PKEY* key, std::string* publicKey) {
  size_t n = kEd25519KeyBytes;
  publicKey->assign(n, '\0');
  return EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(publicKey->data()),
                                     &n) == 1 &&
         n == kEd25519KeyBytes;
}

}  // namespace

// ---- SHA-256 ----

void Sha256::Free::operator()(evp_md_ctx_st* ctx) const {
  EVP_MD_CTX_free(ctx);
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ && EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) ctx_.reset();
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (ctx_ && hex_.empty() && EVP_DigestUpdate(ctx_.get(), data, size) != 1) ctx_.reset();
}

// A context that failed gives an empty digest, which matches no signed one.
std::string Sha256::HexDigest() {
  if (!hex_.empty() || !ctx_) return hex_;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), digest, &n) == 1) hex_ = Hex(digest, n);
  return hex_;
}

bool Sha256OfFile(const std::string& path, std::string* hex, int64_t* size) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  Sha256 digest;
  std::vector<char> chunk(256 * 1024);
  int64_t total = 0;
  ssize_t n;
  while ((n = read(fd, chunk.data(), chunk.size())) > 0) {
    digest.Update(chunk.data(), static_cast<size_t>(n));
    total += n;
  }
  close(fd);
  if (n < 0) return false;
  *hex = digest.HexDigest();
  *size = total;
  return !hex->empty();
}

// ---- Base64 ----

std::string Base64Encode(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

bool Base64Decode(const std::string& text, std::string* bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return false;
  size_t padding = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  if (static_cast<size_t>(n) < padding) return false;
  out.resize(static_cast<size_t>(n) - padding);
  if (Base64Encode(out) != text) return false;  // not the canonical spelling
  *bytes = std::move(out);
  return true;
}

// ---- Ed25519 ----

bool GenerateEd25519Key(std::string* privatePem, std::string* publicKey) {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key || !RawPublicKey(key.get(), publicKey)) return false;
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return false;
  }
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  privatePem->assign(data, static_cast<size_t>(n));
  return true;
}

bool Ed25519PublicKeyOf(const std::string& privatePem, std::string* publicKey) {
  Pkey key = ReadPrivateKey(privatePem);
  return key && RawPublicKey(key.get(), publicKey);
}

bool Ed25519Sign(const std::string& privatePem, const std::string& message,
                 std::string* signature) {
  Pkey key = ReadPrivateKey(privatePem);
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  size_t n = kEd25519SignatureBytes;
  signature->assign(n, '\0');
  return EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &n,
                        reinterpret_cast<const unsigned char*>(message.data()),
                        message.size()) == 1 &&
         n == kEd25519SignatureBytes;
}

bool Ed25519Verify(const std::string& publicKey, const std::string& message,
                   const std::string& signature) {
  if (publicKey.size() != kEd25519KeyBytes || signature.size() != kEd25519SignatureBytes) {
    return false;
  }
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                       reinterpret_cast<const unsigned char*>(publicKey.data()),
                                       publicKey.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

}  // namespace platform
