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
  PlatformBinder bind{platform_load_system_library("libcrypto.so.3")};
  decltype(&BIO_new_mem_buf) new_mem_buf = bind("BIO_new_mem_buf");
  decltype(&BIO_free) bio_free = bind("BIO_free");
  decltype(&PEM_read_bio_PrivateKey) read_private_key = bind("PEM_read_bio_PrivateKey");
  decltype(&PEM_read_bio_X509) read_x509 = bind("PEM_read_bio_X509");
  decltype(&i2d_X509) x509_der = bind("i2d_X509");
  decltype(&X509_free) x509_free = bind("X509_free");
  decltype(&EVP_PKEY_free) key_free = bind("EVP_PKEY_free");
  decltype(&EVP_MD_CTX_new) context_new = bind("EVP_MD_CTX_new");
  decltype(&EVP_MD_CTX_free) context_free = bind("EVP_MD_CTX_free");
  decltype(&EVP_DigestSignInit) sign_init = bind("EVP_DigestSignInit");
  decltype(&EVP_DigestSign) sign = bind("EVP_DigestSign");
  decltype(&EVP_sha256) sha256 = bind("EVP_sha256");
  decltype(&EVP_sha1) sha1 = bind("EVP_sha1");
  decltype(&EVP_Digest) digest = bind("EVP_Digest");
};

// The library's entry points, bound once; null when it cannot be loaded.
const Crypto* crypto() {
  static const Crypto table;
  return table.bind.missing ? nullptr : &table;
}

int fail(const char* text, std::string* why) {
  *why = text;
  return -1;
}

// The first object read from the PEM text; null when there is none.
template <typename T>
T* read_pem(const Crypto& c, std::string_view pem, T* (*read)(BIO*, T**, pem_password_cb*, void*)) {
  BIO* bio = c.new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  T* object = bio ? read(bio, nullptr, nullptr, nullptr) : nullptr;
  if (bio) c.bio_free(bio);
  return object;
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
  EVP_PKEY* key = read_pem(*c, pem, c->read_private_key);
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
  X509* certificate = read_pem(*c, pem, c->read_x509);
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
