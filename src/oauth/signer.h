// RS256 signatures and certificate thumbprints for signed assertions: a
// seam over OpenSSL's EVP (loaded at run time) and Windows' CNG.
#pragma once

#include <string>
#include <string_view>

// Signs data with SHA-256 and RSA PKCS#1 v1.5 using the first private key
// in the PEM text. The raw signature in *signature; 0, or -1 with *why.
int rs256_sign(std::string_view pem, std::string_view data, std::string* signature,
               std::string* why);

// The SHA-1 and SHA-256 digests of the first certificate's DER encoding in
// the PEM text. 0, or -1 with *why.
int certificate_thumbprints(std::string_view pem, std::string* sha1, std::string* sha256,
                            std::string* why);
