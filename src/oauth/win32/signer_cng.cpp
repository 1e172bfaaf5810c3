// Signing with Windows' own libraries, loaded at run time from the system
// folder only when an assertion is made (quib.exe's imports stay the
// same): crypt32 reads the PEM text and the key's DER (PKCS#8 or PKCS#1),
// CNG (bcrypt) hashes and signs.
#include <windows.h>
// After windows.h, whose types they use.
#include <bcrypt.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "oauth/signer.h"
#include "platform/platform.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

struct Cng {
  PlatformBinder crypt32{platform_load_system_library("crypt32.dll")};
  decltype(&CryptStringToBinaryA) pem_to_der = crypt32("CryptStringToBinaryA");
  decltype(&CryptDecodeObjectEx) decode = crypt32("CryptDecodeObjectEx");
  PlatformBinder bcrypt{platform_load_system_library("bcrypt.dll")};
  decltype(&BCryptOpenAlgorithmProvider) open_algorithm = bcrypt("BCryptOpenAlgorithmProvider");
  decltype(&BCryptCloseAlgorithmProvider) close_algorithm = bcrypt("BCryptCloseAlgorithmProvider");
  decltype(&BCryptCreateHash) create_hash = bcrypt("BCryptCreateHash");
  decltype(&BCryptHashData) hash_data = bcrypt("BCryptHashData");
  decltype(&BCryptFinishHash) finish_hash = bcrypt("BCryptFinishHash");
  decltype(&BCryptDestroyHash) destroy_hash = bcrypt("BCryptDestroyHash");
  decltype(&BCryptImportKeyPair) import_key = bcrypt("BCryptImportKeyPair");
  decltype(&BCryptDestroyKey) destroy_key = bcrypt("BCryptDestroyKey");
  decltype(&BCryptSignHash) sign_hash = bcrypt("BCryptSignHash");
};

// The libraries' entry points, bound once; null when they cannot be loaded.
const Cng* cng() {
  static const Cng table;
  return table.crypt32.missing || table.bcrypt.missing ? nullptr : &table;
}

int fail(const char* text, std::string* why) {
  *why = text;
  return -1;
}

std::string status_text(NTSTATUS status) {
  char text[32];
  std::snprintf(text, sizeof text, "CNG status 0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// The DER inside the first "-----BEGIN <label>-----" block; the position of
// the block in *at (npos when there is none).
int pem_block(const Cng& c, std::string_view pem, const std::string& label, Secret* der,
              std::size_t* at = nullptr) {
  const std::size_t begin = pem.find("-----BEGIN " + label + "-----");
  if (at != nullptr) *at = begin;
  if (begin == std::string_view::npos) return -1;
  const std::string footer = "-----END " + label + "-----";
  const std::size_t end = pem.find(footer, begin);
  if (end == std::string_view::npos) return -1;
  const std::string_view block = pem.substr(begin, end + footer.size() - begin);
  DWORD size = static_cast<DWORD>(block.size());  // the DER is shorter than its Base64
  std::string bytes(size, '\0');
  const bool read = c.pem_to_der(block.data(), size, CRYPT_STRING_BASE64HEADER,
                                 reinterpret_cast<BYTE*>(&bytes[0]), &size, nullptr, nullptr) &&
                    size > 0;
  bytes.resize(read ? size : 0);  // within the buffer, which the Secret takes over
  *der = Secret::adopt(&bytes);
  return read ? 0 : -1;
}

// DER decoded as structure type into a buffer of the system's, which
// release() wipes and frees; null when the DER does not decode.
struct Decoded {
  void* data = nullptr;
  DWORD size = 0;
};

Decoded decode(const Cng& c, LPCSTR type, std::string_view der) {
  Decoded out;
  if (!c.decode(kEncoding, type, reinterpret_cast<const BYTE*>(der.data()),
                static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &out.data,
                &out.size)) {
    out.data = nullptr;
  }
  return out;
}

void release(Decoded* decoded) {
  if (decoded->data == nullptr) return;
  SecureZeroMemory(decoded->data, decoded->size);
  LocalFree(decoded->data);
  decoded->data = nullptr;
}

// CNG's private key blob (BCRYPT_RSAPRIVATE_BLOB: the public exponent,
// modulus and primes, big-endian) from PKCS#1 DER, through CryptoAPI's blob
// (little-endian: modulus, primes, ...), which Wine's bcrypt does not import.
int rsa_blob(const Cng& c, const Secret& pkcs1, Secret* blob) {
  Decoded key = decode(c, PKCS_RSA_PRIVATE_KEY, pkcs1.view());
  const std::size_t start = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  if (key.data == nullptr) return -1;
  const char* legacy = static_cast<const char*>(key.data);
  const auto* header = reinterpret_cast<const RSAPUBKEY*>(legacy + sizeof(BLOBHEADER));
  const ULONG modulus = header->bitlen / 8;
  const ULONG prime = modulus / 2;
  ULONG exponent = 4;  // bytes, without leading zeros
  while (exponent > 1 && (header->pubexp >> (8 * (exponent - 1))) == 0) --exponent;
  if (modulus == 0 || key.size < start + modulus + 2 * prime) {
    release(&key);
    return -1;
  }
  BCRYPT_RSAKEY_BLOB out{BCRYPT_RSAPRIVATE_MAGIC, header->bitlen, exponent, modulus, prime, prime};
  *blob = Secret(std::string_view(reinterpret_cast<const char*>(&out), sizeof out));
  for (ULONG at = exponent; at > 0; --at) blob->append(char(header->pubexp >> (8 * (at - 1))));
  const char* parts[] = {legacy + start, legacy + start + modulus,
                         legacy + start + modulus + prime};
  const ULONG sizes[] = {modulus, prime, prime};
  for (int i = 0; i < 3; ++i) {
    for (ULONG at = sizes[i]; at > 0; --at) blob->append(parts[i][at - 1]);
  }
  release(&key);
  return 0;
}

// The DER of rsaEncryption's object identifier (1.2.840.113549.1.1.1).
constexpr char kRsaOid[] = "\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x01";

// The PKCS#1 key inside PKCS#8 DER (version, algorithm, key as an octet
// string), read with crypt32's generic decoders: Wine's crypt32 has none for
// PKCS_PRIVATE_KEY_INFO.
int pkcs8_inner(const Cng& c, const Secret& pkcs8, Secret* pkcs1) {
  Decoded fields = decode(c, X509_SEQUENCE_OF_ANY, pkcs8.view());
  const auto* sequence = static_cast<const CRYPT_SEQUENCE_OF_ANY*>(fields.data);
  const std::string_view oid(kRsaOid, sizeof kRsaOid - 1);
  Decoded octets;
  if (sequence != nullptr && sequence->cValue >= 3 &&
      sequence->rgValue[1].cbData > 2 + oid.size() &&
      std::string_view(reinterpret_cast<const char*>(sequence->rgValue[1].pbData) + 2,
                       oid.size()) == oid) {
    octets = decode(c, X509_OCTET_STRING,
                    std::string_view(reinterpret_cast<const char*>(sequence->rgValue[2].pbData),
                                     sequence->rgValue[2].cbData));
  }
  const auto* key = static_cast<const CRYPT_DATA_BLOB*>(octets.data);
  if (key != nullptr) {
    *pkcs1 = Secret(std::string_view(reinterpret_cast<const char*>(key->pbData), key->cbData));
  }
  release(&octets);
  release(&fields);
  return key != nullptr ? 0 : -1;
}

// The first private key of the PEM text, "PRIVATE KEY" (PKCS#8, holding an
// RSA key) or "RSA PRIVATE KEY" (PKCS#1), as CNG's blob in *blob.
int private_key_blob(const Cng& c, std::string_view pem, Secret* blob) {
  Secret pkcs8;
  Secret pkcs1;
  std::size_t pkcs8_at = 0;
  std::size_t pkcs1_at = 0;
  const bool has8 = pem_block(c, pem, "PRIVATE KEY", &pkcs8, &pkcs8_at) == 0;
  const bool has1 = pem_block(c, pem, "RSA PRIVATE KEY", &pkcs1, &pkcs1_at) == 0;
  if (has8 && (!has1 || pkcs8_at < pkcs1_at)) {
    pkcs1.clear();
    pkcs8_inner(c, pkcs8, &pkcs1);  // leaves it empty when it fails
  }
  return pkcs1.empty() ? -1 : rsa_blob(c, pkcs1, blob);
}

// The digest of data with CNG's algorithm name (BCRYPT_SHA1_ALGORITHM, ...).
NTSTATUS digest(const Cng& c, LPCWSTR algorithm, std::string_view data, std::size_t length,
                std::string* out) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  out->assign(length, '\0');
  NTSTATUS status = c.open_algorithm(&provider, algorithm, nullptr, 0);
  if (BCRYPT_SUCCESS(status)) status = c.create_hash(provider, &hash, nullptr, 0, nullptr, 0, 0);
  if (BCRYPT_SUCCESS(status)) {
    status = c.hash_data(hash, reinterpret_cast<UCHAR*>(const_cast<char*>(data.data())),
                         static_cast<ULONG>(data.size()), 0);
  }
  if (BCRYPT_SUCCESS(status)) {
    status =
        c.finish_hash(hash, reinterpret_cast<UCHAR*>(&(*out)[0]), static_cast<ULONG>(length), 0);
  }
  if (hash != nullptr) c.destroy_hash(hash);
  if (provider != nullptr) c.close_algorithm(provider, 0);
  return status;
}

// Signs the SHA-256 digest with the key in blob (PKCS#1 v1.5 padding).
NTSTATUS sign_digest(const Cng& c, const Secret& blob, std::string& digest,
                     std::string* signature) {
  BCRYPT_ALG_HANDLE rsa = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
  UCHAR* hash = reinterpret_cast<UCHAR*>(&digest[0]);
  const ULONG hash_size = static_cast<ULONG>(digest.size());
  ULONG size = 0;
  NTSTATUS status = c.open_algorithm(&rsa, BCRYPT_RSA_ALGORITHM, nullptr, 0);
  if (BCRYPT_SUCCESS(status)) {
    status = c.import_key(rsa, nullptr, BCRYPT_RSAPRIVATE_BLOB, &key,
                          reinterpret_cast<UCHAR*>(const_cast<char*>(blob.c_str())),
                          static_cast<ULONG>(blob.size()), 0);
  }
  if (BCRYPT_SUCCESS(status)) {
    status = c.sign_hash(key, &padding, hash, hash_size, nullptr, 0, &size, BCRYPT_PAD_PKCS1);
  }
  if (BCRYPT_SUCCESS(status)) {
    signature->assign(size, '\0');
    status = c.sign_hash(key, &padding, hash, hash_size, reinterpret_cast<UCHAR*>(&(*signature)[0]),
                         size, &size, BCRYPT_PAD_PKCS1);
    signature->resize(size);
  }
  if (key != nullptr) c.destroy_key(key);
  if (rsa != nullptr) c.close_algorithm(rsa, 0);
  return status;
}

}  // namespace

int rs256_sign(std::string_view pem, std::string_view data, std::string* signature,
               std::string* why) {
  const Cng* c = cng();
  if (c == nullptr) return fail("bcrypt.dll or crypt32.dll cannot be loaded", why);
  Secret blob;
  if (private_key_blob(*c, pem, &blob) != 0) {
    return fail("no RSA private key in PEM form (PRIVATE KEY or RSA PRIVATE KEY)", why);
  }
  std::string hash;
  NTSTATUS status = digest(*c, BCRYPT_SHA256_ALGORITHM, data, 32, &hash);
  if (BCRYPT_SUCCESS(status)) status = sign_digest(*c, blob, hash, signature);
  if (BCRYPT_SUCCESS(status)) return 0;
  *why = "the private key cannot sign (" + status_text(status) + ")";
  return -1;
}

int certificate_thumbprints(std::string_view pem, std::string* sha1, std::string* sha256,
                            std::string* why) {
  const Cng* c = cng();
  if (c == nullptr) return fail("bcrypt.dll or crypt32.dll cannot be loaded", why);
  Secret der;
  if (pem_block(*c, pem, "CERTIFICATE", &der) != 0) return fail("no certificate in PEM form", why);
  Decoded parsed = decode(*c, X509_CERT_TO_BE_SIGNED, der.view());
  const bool readable = parsed.data != nullptr;
  release(&parsed);
  if (!readable || !BCRYPT_SUCCESS(digest(*c, BCRYPT_SHA1_ALGORITHM, der.view(), 20, sha1)) ||
      !BCRYPT_SUCCESS(digest(*c, BCRYPT_SHA256_ALGORITHM, der.view(), 32, sha256))) {
    return fail("the certificate cannot be read", why);
  }
  return 0;
}
