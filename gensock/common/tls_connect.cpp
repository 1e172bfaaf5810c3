// The plain-text STARTTLS exchange and the start of TLS. Nothing the server
// sends before the handshake is believed beyond the reply codes; its
// greeting alone is handed on, so that the caller's dialogue starts as
// usual, inside TLS.
#include "tls_connect.h"

#include <cctype>

#include "common/ascii.h"
#include "gensock.h"
#include "trace.h"

namespace gensock_common {

namespace {

using gensock_tls::Deadline;

// Far beyond any greeting or EHLO reply, and within the connection's 64 KiB
// receive buffer that the greeting is handed back through.
constexpr std::size_t kLongestReplyBytes = 16 * 1024;
// One receive while reading a reply; replies are small.
constexpr std::size_t kChunkBytes = 4096;
constexpr int kGreetingCode = 220;
constexpr int kEhloCode = 250;
constexpr int kReadyCode = 220;
// "250-STARTTLS" or "250 STARTTLS": the keyword starts after the code and its mark.
constexpr std::size_t kKeywordOffset = 4;
constexpr char kStartTlsKeyword[] = "STARTTLS";

struct PlainLink {
  gensock_os::Socket sock;
  Deadline deadline;
  std::string pending;  // received, not yet part of a reply
};

// The connect limit covers the whole exchange: running out is a failed connect.
int within_limit(int code) { return code == GENSOCK_ERR_WAIT ? GENSOCK_ERR_CONNECT : code; }

// The line without its line end, as the trace shows it.
void trace_line(const char* direction, const std::string& line) {
  if (!tracing()) return;
  std::string::size_type end = line.find_last_not_of("\r\n");
  trace(direction + line.substr(0, end == std::string::npos ? 0 : end + 1));
}

int send_line(PlainLink* link, const std::string& line) {
  trace_line("> ", line);
  return gensock_os::os_send_all(link->sock, line.data(), line.size(),
                                 gensock_tls::ms_left(link->deadline));
}

// Reads one whole reply (its lines up to one whose fourth byte is not '-')
// into *lines and its code (0 when it does not start with three digits) into *code.
int read_reply(PlainLink* link, std::string* lines, int* code) {
  lines->clear();
  for (;;) {
    std::string::size_type end = link->pending.find('\n');
    if (end != std::string::npos) {
      std::string line = link->pending.substr(0, end + 1);
      link->pending.erase(0, end + 1);
      trace_line("< ", line);
      *lines += line;
      if (line.size() > 3 && line[3] == '-') continue;
      bool digits = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                    std::isdigit(static_cast<unsigned char>(line[1])) &&
                    std::isdigit(static_cast<unsigned char>(line[2]));
      *code = digits ? std::stoi(line.substr(0, 3)) : 0;
      return 0;
    }
    if (lines->size() + link->pending.size() > kLongestReplyBytes) return GENSOCK_ERR_READ;
    char chunk[kChunkBytes];
    std::size_t received = 0;
    int status = gensock_os::os_receive_some(link->sock, chunk, sizeof chunk,
                                             gensock_tls::ms_left(link->deadline), &received);
    if (status != 0) return within_limit(status);
    link->pending.append(chunk, received);
  }
}

// True when a line of the EHLO reply after the first names STARTTLS.
bool offers_starttls(const std::string& lines) {
  std::string::size_type start = lines.find('\n');
  while (start != std::string::npos && start + 1 < lines.size()) {
    std::string::size_type end = lines.find('\n', start + 1);
    std::string line = lines.substr(start + 1, end - start - 1);
    std::string word;
    for (std::size_t i = kKeywordOffset;
         i < line.size() && std::isalnum(static_cast<unsigned char>(line[i])); ++i) {
      word += ascii_upper(line[i]);
    }
    if (word == kStartTlsKeyword) return true;
    start = end;
  }
  return false;
}

// Greeting, EHLO, STARTTLS and its 220; the greeting is kept for the caller.
int starttls_exchange(PlainLink* link, std::string* greeting) {
  int code = 0;
  int status = read_reply(link, greeting, &code);
  if (status != 0) return status;
  if (code != kGreetingCode) {
    trace("the greeting is not 220: no STARTTLS (4018)");
    return GENSOCK_ERR_TLS_NO_STARTTLS;
  }
  // The name goes out as HELO's will: unsafe, it becomes the address literal.
  std::string local = gensock_os::os_host_name();
  if (!is_safe_host_name(local)) local = gensock_os::os_local_literal(link->sock);
  status = send_line(link, "EHLO " + (local.empty() ? std::string("localhost") : local) + "\r\n");
  std::string lines;
  if (status == 0) status = read_reply(link, &lines, &code);
  if (status != 0) return status;
  if (code != kEhloCode || !offers_starttls(lines)) {
    trace("the server offers no STARTTLS (4018)");
    return GENSOCK_ERR_TLS_NO_STARTTLS;
  }
  status = send_line(link, "STARTTLS\r\n");
  if (status == 0) status = read_reply(link, &lines, &code);
  if (status != 0) return status;
  // Bytes after the 220 came before any encryption: they must not be taken
  // as if they had come through TLS.
  if (code != kReadyCode || !link->pending.empty()) {
    trace(code != kReadyCode ? "STARTTLS refused (4019)"
                             : "bytes followed the 220 before the handshake (4019)");
    return GENSOCK_ERR_TLS_REFUSED;
  }
  return 0;
}

}  // namespace

int secure_connection(gensock_os::Socket sock, const ServerName& name, int limit_ms,
                      gensock_tls::Session** session, std::string* greeting) {
  PlainLink link{sock, std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms), {}};
  greeting->clear();
  if (name.transport == ServerTransport::kStarttls) {
    int status = starttls_exchange(&link, greeting);
    if (status != 0) return status;
  }
  if (tracing()) trace("TLS handshake with " + name.host);
  return gensock_tls::tls_start_client(sock, name.host, link.deadline, session);
}

}  // namespace gensock_common
