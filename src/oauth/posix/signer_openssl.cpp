// Signing with OpenSSL's EVP, loaded at run time (libcrypto.so.3) only when
// an assertion is made, so that quib itself does not link it.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

#include "oauth/signer.h"
#include "platform/platform.h"

namespace {

struct Crypto {
  decltype(&BIO_new_mem_buf) new_mem_buf;
  decltype(&BIO_free) bio_free;
  decltype(&PEM_read_bio_PrivateKey) read_private_key;
  decltype(&PEM_read_bio_X509) read_x509;
  decltype(&i2d_X509) x509_der;
  decltype(&X509_free) x509_free;
  decltype(&EVP_PKEY_free) key_free;
  decltype(&EVP_MD_CTX_new) context_new;
  decltype(&EVP_MD_CTX_free) context_free;
  decltype(&EVP_DigestSignInit) sign_init;
  decltype(&EVP_DigestSign) sign;
  decltype(&EVP_sha256) sha256;
  decltype(&EVP_sha1) sha1;
  decltype(&EVP_Digest) digest;
};

// The library's entry points, bound once; null when it cannot be loaded.
const Crypto* crypto() {
  static Crypto table;
  static int state = 0;  // 0: not tried, 1: bound, -1: failed
  if (state != 0) return state > 0 ? &table : nullptr;
  void* library = platform_load_system_library("libcrypto.so.3");
  state = library != nullptr && platform_bind(library, "BIO_new_mem_buf", &table.new_mem_buf) &&
                  platform_bind(library, "BIO_free", &table.bio_free) &&
                  platform_bind(library, "PEM_read_bio_PrivateKey", &table.read_private_key) &&
                  platform_bind(library, "PEM_read_bio_X509", &table.read_x509) &&
                  platform_bind(library, "i2d_X509", &table.x509_der) &&
                  platform_bind(library, "X509_free", &table.x509_free) &&
                  platform_bind(library, "EVP_PKEY_free", &table.key_free) &&
                  platform_bind(library, "EVP_MD_CTX_new", &table.context_new) &&
                  platform_bind(library, "EVP_MD_CTX_free", &table.context_free) &&
                  platform_bind(library, "EVP_DigestSignInit", &table.sign_init) &&
                  platform_bind(library, "EVP_DigestSign", &table.sign) &&
                  platform_bind(library, "EVP_sha256", &table.sha256) &&
                  platform_bind(library, "EVP_sha1", &table.sha1) &&
                  platform_bind(library, "EVP_Digest", &table.digest)
              ? 1
              : -1;
  return state > 0 ? &table : nullptr;
}

int fail(const char* text, std::string* why) {
  *why = text;
  return -1;
}

BIO* pem_bio(const Crypto& c, std::string_view pem) {
  return c.new_mem_buf(pem.data(), static_cast<int>(pem.size()));
}

int digest_of(const Crypto& c, const std::string& der, const EVP_MD* type, std::string* out) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (c.digest(der.data(), der.size(), digest, &length, type, nullptr) != 1) return -1;
  out->assign(reinterpret_cast<char*>(digest), length);
  return 0;
}

}  // namespace

int rs256_sign(std::string_view pem, std::string_view data, std::string* signature,
               std::string* why) {
  const Crypto* c = crypto();
  if (c == nullptr) return fail("OpenSSL's libcrypto.so.3 cannot be loaded", why);
  BIO* bio = pem_bio(*c, pem);
  EVP_PKEY* key = bio ? c->read_private_key(bio, nullptr, nullptr, nullptr) : nullptr;
  if (bio) c->bio_free(bio);
  if (key == nullptr) return fail("no private key in PEM form", why);
  EVP_MD_CTX* context = c->context_new();
  std::size_t length = 0;
  int result = -1;
  if (context != nullptr && c->sign_init(context, nullptr, c->sha256(), nullptr, key) == 1 &&
      c->sign(context, nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
              data.size()) == 1) {
    signature->resize(length);
    if (c->sign(context, reinterpret_cast<unsigned char*>(&(*signature)[0]), &length,
                reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1) {
      signature->resize(length);
      result = 0;
    }
  }
  if (context != nullptr) c->context_free(context);
  c->key_free(key);
  return result == 0 ? 0 : fail("the private key cannot sign (an RSA key is needed)", why);
}

int certificate_thumbprints(std::string_view pem, std::string* sha1, std::string* sha256,
                            std::string* why) {
  const Crypto* c = crypto();
  if (c == nullptr) return fail("OpenSSL's libcrypto.so.3 cannot be loaded", why);
  BIO* bio = pem_bio(*c, pem);
  X509* certificate = bio ? c->read_x509(bio, nullptr, nullptr, nullptr) : nullptr;
  if (bio) c->bio_free(bio);
  if (certificate == nullptr) return fail("no certificate in PEM form", why);
  std::string der;
  const int length = c->x509_der(certificate, nullptr);
  if (length > 0) {
    der.resize(static_cast<std::size_t>(length));
    unsigned char* at = reinterpret_cast<unsigned char*>(&der[0]);
    c->x509_der(certificate, &at);
  }
  c->x509_free(certificate);
  if (der.empty() || digest_of(*c, der, c->sha1(), sha1) != 0 ||
      digest_of(*c, der, c->sha256(), sha256) != 0) {
    return fail("the certificate cannot be read", why);
  }
  return 0;
}
