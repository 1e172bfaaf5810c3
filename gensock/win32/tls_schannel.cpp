// TLS through SChannel, which Windows brings (secur32, crypt32): no DLL to
// ship. SChannel works on buffers and this file moves their bytes over the
// socket with socket_os.h, so that every wait keeps the limits and error
// codes of the plain path. SChannel's own check of the certificate is
// turned off only to be replaced by the same check made here, which tells
// an expired certificate, a wrong name and an unknown authority apart.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // declares SCH_CREDENTIALS, the form that allows TLS 1.3
// The order matters: winsock2.h before windows.h, windows.h before the rest.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
// clang-format on

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

#include "gensock.h"
#include "tls.h"
#include "trace.h"

namespace gensock_tls {

struct Session {
  gensock_os::Socket sock = -1;
  std::string host;  // as typed: what every handshake, a renegotiation too, must prove
  CredHandle credentials = {};
  bool have_credentials = false;
  CtxtHandle context = {};
  bool have_context = false;
  SecPkgContext_StreamSizes sizes = {};
  std::vector<char> incoming;  // received, not yet decrypted
  std::vector<char> plain;     // decrypted, not yet handed out
  std::size_t plain_next = 0;
  std::vector<char> record;  // encryption scratch
};

namespace {

// One receive; holds a few full TLS records (16 KiB of payload each).
constexpr std::size_t kReceiveChunkBytes = 64 * 1024;
// TLS 1.3 where the system has it (SCH_CREDENTIALS: Windows 10 1809 and
// later); the older SCHANNEL_CRED, which enables no 1.3, otherwise. 1.2 is the floor.
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOldProtocols = SP_PROT_TLS1_2_CLIENT;
constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
// Returned by decrypt_incoming: the server began a new handshake (TLS 1.2
// renegotiation, a TLS 1.3 ticket or key update).
constexpr int kHandshakeAgain = -1;
constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;
// Records encrypted into one buffer before it goes out in one send.
constexpr std::size_t kRecordsPerSend = 4;

void free_session(Session* session) {
  if (session->have_context) DeleteSecurityContext(&session->context);
  if (session->have_credentials) FreeCredentialsHandle(&session->credentials);
  delete session;
}

int receive_more(Session* session, int wait_ms) {
  char chunk[kReceiveChunkBytes];
  std::size_t received = 0;
  int code = gensock_os::os_receive_some(session->sock, chunk, sizeof chunk, wait_ms, &received);
  if (code == 0) session->incoming.insert(session->incoming.end(), chunk, chunk + received);
  return code;
}

// Sends a token SChannel allocated, and frees it.
int send_token(Session* session, SecBuffer* token, int send_ms) {
  if (token->pvBuffer == nullptr) return 0;
  int code = gensock_os::os_send_all(session->sock, static_cast<const char*>(token->pvBuffer),
                                     token->cbBuffer, send_ms);
  FreeContextBuffer(token->pvBuffer);
  token->pvBuffer = nullptr;
  return code;
}

// Keeps the bytes a call left unread at the end of incoming (an EXTRA buffer).
void keep_extra(Session* session, const SecBuffer& extra) {
  if (extra.BufferType != SECBUFFER_EXTRA || extra.cbBuffer == 0) {
    session->incoming.clear();
    return;
  }
  session->incoming.erase(session->incoming.begin(),
                          session->incoming.end() - static_cast<std::ptrdiff_t>(extra.cbBuffer));
}

// ---- The trace: what was agreed, the certificate, SChannel's own status ----

using gensock_common::trace;
using gensock_common::tracing;

std::string hex_status(unsigned long status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", status);
  return text;
}

std::string name_text(const CERT_NAME_BLOB* name) {
  char text[1024];  // CertNameToStrA cuts to fit
  CertNameToStrA(X509_ASN_ENCODING, const_cast<CERT_NAME_BLOB*>(name), CERT_X500_NAME_STR, text,
                 sizeof text);
  return text;
}

std::string time_text(const FILETIME& time) {
  SYSTEMTIME utc = {};
  if (!FileTimeToSystemTime(&time, &utc)) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
  return text;
}

std::string alternative_name(const CERT_ALT_NAME_ENTRY& entry) {
  if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
    std::string name = "DNS:";
    for (const wchar_t* at = entry.pwszDNSName; *at != 0; ++at) name += static_cast<char>(*at);
    return name;
  }
  if (entry.dwAltNameChoice != CERT_ALT_NAME_IP_ADDRESS) return "other";
  const CRYPT_DATA_BLOB& address = entry.IPAddress;
  std::string name = "IP:";
  char part[8];
  for (DWORD i = 0; i < address.cbData; ++i) {
    std::snprintf(part, sizeof part, address.cbData == 4 ? "%s%u" : "%s%02x",
                  i == 0 ? "" : (address.cbData == 4 ? "." : (i % 2 == 0 ? ":" : "")),
                  address.pbData[i]);
    name += part;
  }
  return name;
}

// The certificate's subjectAltName, for LocalFree; null without one.
CERT_ALT_NAME_INFO* decoded_alt_names(PCCERT_CONTEXT certificate) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (extension == nullptr ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                           &size)) {
    return nullptr;
  }
  return names;
}

std::string alternative_names(PCCERT_CONTEXT certificate) {
  CERT_ALT_NAME_INFO* names = decoded_alt_names(certificate);
  if (names == nullptr) return "none";
  std::string text;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    text += (i > 0 ? ", " : "") + alternative_name(names->rgAltEntry[i]);
  }
  LocalFree(names);
  return text;
}

void trace_certificate(PCCERT_CONTEXT certificate) {
  if (!tracing()) return;
  const CERT_INFO* info = certificate->pCertInfo;
  trace("certificate subject: " + name_text(&info->Subject));
  trace("certificate issuer: " + name_text(&info->Issuer));
  trace("certificate names: " + alternative_names(certificate));
  trace("certificate valid from " + time_text(info->NotBefore) + " until " +
        time_text(info->NotAfter));
}

std::string protocol_name(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_3_CLIENT) != 0) return "TLS 1.3";
  if ((protocol & SP_PROT_TLS1_2_CLIENT) != 0) return "TLS 1.2";
  return "protocol " + hex_status(protocol);
}

void trace_agreed(Session* session) {
  SecPkgContext_ConnectionInfo info = {};
  if (!tracing() ||
      QueryContextAttributesA(&session->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
    return;
  }
  trace(protocol_name(info.dwProtocol) + ", cipher " + hex_status(info.aiCipher) + " (" +
        std::to_string(info.dwCipherStrength) + " bits), hash " + hex_status(info.aiHash) +
        ", key exchange " + hex_status(info.aiExch));
}

// Some SChannel versions check the certificate even when told not to.
int refusal_code(SECURITY_STATUS status) {
  if (tracing()) trace("TLS handshake failed: SChannel status " + hex_status(status));
  switch (status) {
    case SEC_E_CERT_EXPIRED:
      return GENSOCK_ERR_TLS_EXPIRED;
    case SEC_E_WRONG_PRINCIPAL:
      return GENSOCK_ERR_TLS_NAME;
    case SEC_E_UNTRUSTED_ROOT:
      return GENSOCK_ERR_TLS_UNTRUSTED;
    default:
      return GENSOCK_ERR_TLS_HANDSHAKE;
  }
}

// TLS records begin with a content type from 20 (change_cipher_spec) to 24.
bool starts_as_tls_record(const std::vector<char>& bytes) {
  constexpr unsigned char kFirstType = 20;
  constexpr unsigned char kLastType = 24;
  if (bytes.empty()) return true;
  unsigned char type = static_cast<unsigned char>(bytes[0]);
  return type >= kFirstType && type <= kLastType;
}

// Runs a handshake, the first (first) or one the server asked for, to its
// end. 0, a refusal's code, or the code of a failed wait (GENSOCK_ERR_WAIT
// when the deadline passed).
int handshake(Session* session, Deadline deadline, bool first) {
  const std::string& host = session->host;
  bool asked_again = !first;  // the server's request, nothing done about it yet
  for (;;) {
    SecBuffer input[2] = {{static_cast<unsigned long>(session->incoming.size()), SECBUFFER_TOKEN,
                           session->incoming.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc input_list = {SECBUFFER_VERSION, 2, input};
    SecBufferDesc output_list = {SECBUFFER_VERSION, 1, output};
    unsigned long granted = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(
        &session->credentials, first ? nullptr : &session->context, const_cast<char*>(host.c_str()),
        kContextFlags, 0, 0, first ? nullptr : &input_list, 0, &session->context, &output_list,
        &granted, nullptr);
    if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
      session->have_context = true;
    }
    first = false;
    const bool nothing_to_send = output[0].pvBuffer == nullptr;
    int code = send_token(session, &output[0], ms_left(deadline));
    if (status == SEC_E_INCOMPLETE_MESSAGE && asked_again && nothing_to_send &&
        session->incoming.empty()) {
      // A system that cannot begin a new handshake from nothing (Wine) leaves
      // the server's request unanswered, which TLS allows (RFC 5246 7.4.1.1).
      return 0;
    }
    asked_again = false;
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      // Wine's SChannel waits for more of a reply that is no TLS at all.
      if (!starts_as_tls_record(session->incoming)) return GENSOCK_ERR_TLS_HANDSHAKE;
      code = receive_more(session, ms_left(deadline));
    } else if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK ||
               status == SEC_I_INCOMPLETE_CREDENTIALS) {
      keep_extra(session, input[1]);
      if (status == SEC_E_OK) return code;
      if (code == 0 && session->incoming.empty()) code = receive_more(session, ms_left(deadline));
    } else {
      return refusal_code(status);
    }
    if (code != 0) return code;
  }
}

bool same_ignoring_case(const wchar_t* wide, const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i, ++wide) {
    if (*wide == L'\0' ||
        std::towlower(*wide) != std::towlower(static_cast<unsigned char>(text[i])))
      return false;
  }
  return *wide == L'\0';
}

// A DNS name of the certificate against host: whole, or a wildcard that is
// the whole first label ("*.example.org") standing for one label.
bool dns_name_matches(const wchar_t* name, const std::string& host) {
  if (same_ignoring_case(name, host.c_str(), host.size())) return true;
  if (name[0] != L'*' || name[1] != L'.') return false;
  std::string::size_type dot = host.find('.');
  if (dot == 0 || dot == std::string::npos) return false;
  return same_ignoring_case(name + 1, host.c_str() + dot, host.size() - dot);
}

// True when the certificate's subjectAltName names host: a DNS name for a
// name, an IP address for an address literal. The subject's CN never counts
// (RFC 9525), though the system's own check would take it.
bool alt_names_hold(PCCERT_CONTEXT certificate, const std::string& host) {
  CERT_ALT_NAME_INFO* names = decoded_alt_names(certificate);
  if (names == nullptr) return false;
  unsigned char address[16];
  DWORD address_bytes = inet_pton(AF_INET, host.c_str(), address) == 1    ? 4
                        : inet_pton(AF_INET6, host.c_str(), address) == 1 ? 16
                                                                          : 0;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (address_bytes == 0 && entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
      found = dns_name_matches(entry.pwszDNSName, host);
    } else if (address_bytes != 0 && entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      found = entry.IPAddress.cbData == address_bytes &&
              std::memcmp(entry.IPAddress.pbData, address, address_bytes) == 0;
    }
  }
  LocalFree(names);
  return found;
}

// The chain against the system's trust store and its name against host.
int verify_certificate(Session* session, const std::string& host) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
      SEC_E_OK) {
    return GENSOCK_ERR_TLS_UNTRUSTED;
  }
  CERT_CHAIN_PARA chain_para = {};
  chain_para.cbSize = sizeof chain_para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore,
                                       &chain_para, 0, nullptr, &chain);
  const bool named = alt_names_hold(certificate, host);
  trace_certificate(certificate);
  CertFreeCertificateContext(certificate);
  if (!built) return GENSOCK_ERR_TLS_UNTRUSTED;
  // Wine's SSL policy passes a chain that ends at an unknown authority:
  // the chain's own verdict is read first.
  DWORD trust = chain->TrustStatus.dwErrorStatus;
  if (trust != CERT_TRUST_NO_ERROR) {
    if (tracing()) trace("certificate verification: chain trust status " + hex_status(trust));
    CertFreeCertificateChain(chain);
    return (trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0 ? GENSOCK_ERR_TLS_EXPIRED
                                                       : GENSOCK_ERR_TLS_UNTRUSTED;
  }
  if (!named) {
    CertFreeCertificateChain(chain);
    return GENSOCK_ERR_TLS_NAME;
  }
  std::wstring name(host.begin(), host.end());  // host names and IP literals are ASCII
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para = {};
  ssl_para.cbSize = sizeof ssl_para;
  ssl_para.dwAuthType = AUTHTYPE_SERVER;
  ssl_para.pwszServerName = &name[0];
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl_para;
  CERT_CHAIN_POLICY_STATUS result = {};
  result.cbSize = sizeof result;
  BOOL checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result);
  CertFreeCertificateChain(chain);
  if (!checked) return GENSOCK_ERR_TLS_UNTRUSTED;
  if (tracing()) {
    trace("certificate verification: " + (result.dwError == 0
                                              ? std::string("ok")
                                              : "policy status " + hex_status(result.dwError)));
  }
  switch (static_cast<HRESULT>(result.dwError)) {
    case S_OK:
      return 0;
    case CERT_E_EXPIRED:
      return GENSOCK_ERR_TLS_EXPIRED;
    case CERT_E_CN_NO_MATCH:
      return GENSOCK_ERR_TLS_NAME;
    default:
      return GENSOCK_ERR_TLS_UNTRUSTED;
  }
}

SECURITY_STATUS acquire(void* settings, Session* session) {
  SECURITY_STATUS status = AcquireCredentialsHandleA(
      nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr, settings, nullptr,
      nullptr, &session->credentials, nullptr);
  session->have_credentials = status == SEC_E_OK;
  return status;
}

int set_up(Session* session) {
  TLS_PARAMETERS tls = {};
  tls.grbitDisabledProtocols = ~kProtocols;
  SCH_CREDENTIALS settings = {};
  settings.dwVersion = SCH_CREDENTIALS_VERSION;
  settings.dwFlags = kCredentialFlags;
  settings.cTlsParameters = 1;
  settings.pTlsParameters = &tls;
  if (acquire(&settings, session) == SEC_E_OK) return 0;
  // A system older than SCH_CREDENTIALS refuses the form: TLS 1.2 it is.
  SCHANNEL_CRED old_settings = {};
  old_settings.dwVersion = SCHANNEL_CRED_VERSION;
  old_settings.grbitEnabledProtocols = kOldProtocols;
  old_settings.dwFlags = kCredentialFlags;
  SECURITY_STATUS status = acquire(&old_settings, session);
  if (status != SEC_E_OK && tracing())
    trace("TLS setup failed: SChannel status " + hex_status(status));
  return status == SEC_E_OK ? 0 : GENSOCK_ERR_TLS_SETUP;
}

// The version the handshake agreed on must be one asked for: a system may
// take the credentials' form and ignore its versions (Wine 8 does).
int check_version(Session* session) {
  SecPkgContext_ConnectionInfo info = {};
  if (QueryContextAttributesA(&session->context, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
    return GENSOCK_ERR_TLS_HANDSHAKE;
  }
  return (info.dwProtocol & kProtocols) != 0 ? 0 : GENSOCK_ERR_TLS_HANDSHAKE;
}

// The sizes of the records, fixed by each handshake.
int query_sizes(Session* session) {
  return QueryContextAttributesA(&session->context, SECPKG_ATTR_STREAM_SIZES, &session->sizes) ==
                 SEC_E_OK
             ? 0
             : GENSOCK_ERR_TLS_HANDSHAKE;
}

// Decrypts what incoming holds into plain. 0, GENSOCK_ERR_WAIT when a whole
// record has not arrived yet, kHandshakeAgain, _DROPPED on close_notify, _READ.
int decrypt_incoming(Session* session) {
  if (session->incoming.empty()) return GENSOCK_ERR_WAIT;
  SecBuffer parts[4] = {{static_cast<unsigned long>(session->incoming.size()), SECBUFFER_DATA,
                         session->incoming.data()},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc list = {SECBUFFER_VERSION, 4, parts};
  SECURITY_STATUS status = DecryptMessage(&session->context, &list, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return GENSOCK_ERR_WAIT;
  if (status == SEC_I_CONTEXT_EXPIRED) return GENSOCK_ERR_DROPPED;
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) return GENSOCK_ERR_READ;
  SecBuffer extra = {0, SECBUFFER_EMPTY, nullptr};
  session->plain.clear();
  session->plain_next = 0;
  for (const SecBuffer& part : parts) {
    const char* bytes = static_cast<const char*>(part.pvBuffer);
    if (part.BufferType == SECBUFFER_DATA) {
      session->plain.insert(session->plain.end(), bytes, bytes + part.cbBuffer);
    }
    if (part.BufferType == SECBUFFER_EXTRA) extra = part;
  }
  keep_extra(session, extra);  // for a new handshake: its first message
  return status == SEC_I_RENEGOTIATE ? kHandshakeAgain : 0;
}

// The server's new handshake, inside a read: its messages go and come within
// the read's deadline, and its certificate must pass as the first one did.
int handshake_again(Session* session, Deadline deadline) {
  int code = handshake(session, deadline, false);
  if (code == 0) code = verify_certificate(session, session->host);
  return code == 0 ? query_sizes(session) : code;
}

}  // namespace

int tls_start_client(gensock_os::Socket sock, const std::string& host, Deadline deadline,
                     Session** session) {
  auto start = [&host, deadline](Session* fresh) {
    fresh->host = host;
    int code = set_up(fresh);
    if (code == 0) code = handshake(fresh, deadline, true);
    if (code == GENSOCK_ERR_WAIT) code = GENSOCK_ERR_CONNECT;
    if (code == 0) code = check_version(fresh);
    if (code == 0) trace_agreed(fresh);
    if (code == 0) code = verify_certificate(fresh, host);
    return code == 0 ? query_sizes(fresh) : code;
  };
  return start_session(sock, session, start, free_session);
}

int tls_send_all(Session* session, const char* data, std::size_t length, int send_ms) {
  const SecPkgContext_StreamSizes& sizes = session->sizes;
  std::size_t record_bytes = sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer;
  session->record.resize(record_bytes * kRecordsPerSend);
  while (length > 0) {
    std::size_t filled = 0;
    for (std::size_t i = 0; i < kRecordsPerSend && length > 0; ++i) {
      std::size_t piece = length < sizes.cbMaximumMessage ? length : sizes.cbMaximumMessage;
      char* header = session->record.data() + filled;
      CopyMemory(header + sizes.cbHeader, data, piece);
      SecBuffer parts[4] = {
          {sizes.cbHeader, SECBUFFER_STREAM_HEADER, header},
          {static_cast<unsigned long>(piece), SECBUFFER_DATA, header + sizes.cbHeader},
          {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, header + sizes.cbHeader + piece},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc list = {SECBUFFER_VERSION, 4, parts};
      if (EncryptMessage(&session->context, 0, &list, 0) != SEC_E_OK) return GENSOCK_ERR_SEND;
      filled += parts[0].cbBuffer + parts[1].cbBuffer + parts[2].cbBuffer;
      data += piece;
      length -= piece;
    }
    int code = gensock_os::os_send_all(session->sock, session->record.data(), filled, send_ms);
    if (code != 0) return code;
  }
  return 0;
}

int tls_receive_some(Session* session, char* buffer, std::size_t size, int wait_ms,
                     std::size_t* received) {
  Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    std::size_t held = session->plain.size() - session->plain_next;
    if (held > 0) {
      std::size_t count = held < size ? held : size;
      CopyMemory(buffer, session->plain.data() + session->plain_next, count);
      session->plain_next += count;
      *received = count;
      return 0;
    }
    int code = decrypt_incoming(session);
    if (code == kHandshakeAgain) code = handshake_again(session, deadline);
    if (code == GENSOCK_ERR_WAIT) code = receive_more(session, ms_left(deadline));
    if (code != 0) return code;
  }
}

void tls_close(Session* session) {
  if (session == nullptr) return;
  DWORD kind = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof kind, SECBUFFER_TOKEN, &kind};
  SecBufferDesc control_list = {SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&session->context, &control_list) == SEC_E_OK) {
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc output_list = {SECBUFFER_VERSION, 1, output};
    unsigned long granted = 0;
    InitializeSecurityContextA(&session->credentials, &session->context, nullptr, kContextFlags, 0,
                               0, nullptr, 0, &session->context, &output_list, &granted, nullptr);
    (void)send_token(session, &output[0], 0);  // close_notify, if it fits at once
  }
  free_session(session);
}

}  // namespace gensock_tls
