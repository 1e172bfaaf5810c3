// The socket library as built, loaded the way the mailer loads it, against
// real servers on loopback: aiosmtpd (keeps what it accepts), Postfix's
// smtp-sink, and small servers of this test that misbehave on purpose.
// Every server listens on a port the system chose and stops with the test.
#include "smtp/socket_library.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quib/mailer_state.h"
#include "quib/text_source.h"
#include "smtp/smtp_dialogue.h"
#include "support/stdout_capture.h"

namespace {

const char kPython[] = "/usr/bin/python3";
const char kSmtpSink[] = "/usr/sbin/smtp-sink";

std::string source_dir() { return QUIB_TESTS_DIR; }

bool executable(const char* path) { return access(path, X_OK) == 0; }

// A listening TCP socket on a free loopback port (family AF_INET or AF_INET6).
int listen_on_free_port(int family, int* port) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_storage address = {};
  socklen_t size = 0;
  if (family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    size = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof *v4;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

int free_port(int family) {
  int port = 0;
  int fd = listen_on_free_port(family, &port);
  if (fd < 0) return -1;
  close(fd);
  return port;
}

// A server of this test: accepts one connection, sends `greeting` and then
// closes at once (close_after_greeting) or waits until the client leaves.
class RudeServer {
 public:
  RudeServer(std::string greeting, bool close_after_greeting) {
    listener_ = listen_on_free_port(AF_INET, &port_);
    thread_ = std::thread([this, greeting, close_after_greeting] {
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      if (!greeting.empty()) send(client, greeting.data(), greeting.size(), MSG_NOSIGNAL);
      char sink[512];
      while (!close_after_greeting && recv(client, sink, sizeof sink, 0) > 0) {
      }
      close(client);
    });
  }
  ~RudeServer() {
    shutdown(listener_, SHUT_RDWR);  // ends an accept that never came
    thread_.join();
    close(listener_);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A server run as a child process; `ready` is the line it prints once it
// accepts connections (empty: wait until the port accepts).
class ChildServer {
 public:
  ChildServer(const std::vector<std::string>& argv, const std::string& host, int port,
              bool prints_ready) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    ready_ = prints_ready ? read_ready(out[0]) : wait_until_accepting(host, port);
    close(out[0]);
  }
  ~ChildServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }

 private:
  static bool read_ready(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line == "ready";
  }
  static bool wait_until_accepting(const std::string& host, int port) {
    for (int attempt = 0; attempt < 300; ++attempt) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address = {};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(port));
      inet_pton(AF_INET, host.c_str(), &address.sin_addr);
      bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      close(fd);
      if (up) return true;
      usleep(50 * 1000);
    }
    return false;
  }
  pid_t pid_ = -1;
  bool ready_ = false;
};

// aiosmtpd keeping each message in a folder of its own.
class KeepingServer {
 public:
  explicit KeepingServer(const std::string& host) : host_(host) {
    char folder[] = "/tmp/gensock-test-XXXXXX";
    folder_ = mkdtemp(folder) ? folder : "";
    port_ = free_port(host.find(':') == std::string::npos ? AF_INET : AF_INET6);
    if (port_ > 0 && executable(kPython)) {
      server_.reset(new ChildServer({kPython, source_dir() + "/fakes/keeping_smtp_server.py", host,
                                     std::to_string(port_), folder_},
                                    host, port_, true));
    }
  }
  ~KeepingServer() {
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  bool ready() const { return server_ && server_->ready(); }
  std::string address() const {
    std::string host = host_.find(':') == std::string::npos ? host_ : "[" + host_ + "]";
    return host + ":" + std::to_string(port_);
  }
  std::string kept(int n, const char* extension) const {
    std::ifstream in(folder_ + "/" + std::to_string(n) + extension, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string host_;
  std::string folder_;
  int port_ = 0;
  std::unique_ptr<ChildServer> server_;
};

class RealLibrary : public ::testing::Test {
 protected:
  SmtpSession smtp_;
  void SetUp() override {
    setenv("GENSOCK_TIMEOUT", "3", 1);
    reset_run_state();
    ASSERT_EQ(load_socket_library(), 0) << printed();
  }
  void TearDown() override {
    if (g_state.library != nullptr) unload_socket_library();
  }

  // What the mailer printed so far.
  const std::string& printed() {
    out_ += capture_.take();
    return out_;
  }

  // Names the server of the next transaction, the library unloaded as after
  // a run (smtp_connect loads it again).
  void use_server(const std::string& server) {
    std::snprintf(g_state.smtp_server, sizeof g_state.smtp_server, "%s", server.c_str());
    unload_socket_library();
  }

  // The session and the transaction up to DATA, without a login or options.
  int open_mail(const char* sender, const std::string& recipients) {
    if (int status = smtp_open_session(sender, recipients, nullptr, {}, &smtp_)) return status;
    return smtp_start_mail(sender, recipients, false, "", {}, &smtp_);
  }

  // The whole transaction as the run driver makes it.
  int mail(const std::string& server, const std::string& recipients, const std::string& text) {
    use_server(server);
    if (open_mail("me@example.org", recipients) != 0) return -1;
    WholeText whole(text.data(), text.size());
    if (smtp_finish_message(&whole, &smtp_) != 0) return -1;
    smtp_quit();
    return smtp_disconnect();
  }

  // Opens a transaction with the server, which must fail; what it printed.
  std::string failed_opening(const std::string& server) {
    use_server(server);
    EXPECT_EQ(open_mail("me", "ann"), -1);
    return printed();
  }

  StdoutCapture capture_;
  std::string out_;
};

TEST_F(RealLibrary, TransactionThroughSmtpSink) {
  if (!executable(kSmtpSink)) GTEST_SKIP() << "no smtp-sink";
  int port = free_port(AF_INET);
  std::vector<std::string> argv = {kSmtpSink};
  if (geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});  // it refuses to run as root
  argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(port), "8"});
  ChildServer sink(argv, "127.0.0.1", port, false);
  ASSERT_TRUE(sink.ready());
  EXPECT_EQ(
      mail("127.0.0.1:" + std::to_string(port), "a@x.org, b@y.org", "Subject: s\r\n\r\nbody\r\n"),
      0);
  EXPECT_EQ(printed(), "");
  EXPECT_EQ(g_state.library, nullptr) << "unloaded after the close";
}

TEST_F(RealLibrary, LfTextArrivesWithEveryLineIntact) {
  KeepingServer server("127.0.0.1");
  if (!server.ready()) GTEST_SKIP() << "aiosmtpd did not start";
  const std::string text = "Subject: lf\n\nfirst\n.dot line\n..two dots\n\nlast\n";
  EXPECT_EQ(mail(server.address(), "ann@x.org,,bob@y.org", text), 0) << printed();
  EXPECT_EQ(server.kept(1, ".eml"),
            "Subject: lf\r\n\r\nfirst\r\n.dot line\r\n..two dots\r\n\r\nlast\r\n");
  EXPECT_EQ(server.kept(1, ".env").substr(server.kept(1, ".env").find('\n') + 1),
            "me@example.org\nann@x.org\nbob@y.org\n");
}

TEST_F(RealLibrary, LargeBodyCrossesTheBuffersIntact) {
  KeepingServer server("127.0.0.1");
  if (!server.ready()) GTEST_SKIP() << "aiosmtpd did not start";
  std::string text = "Subject: big\r\n\r\n";
  std::string expected = text;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) {
    std::string line(static_cast<std::size_t>(i % 997), static_cast<char>('a' + i % 26));
    text += (i % 5 == 0 ? "." : "") + line + (i % 2 ? "\n" : "\r\n");
    expected += (i % 5 == 0 ? "." : "") + line + "\r\n";
  }
  EXPECT_EQ(mail(server.address(), "ann@x.org", text), 0) << printed();
  EXPECT_TRUE(server.kept(1, ".eml") == expected) << "the body differs";
}

TEST_F(RealLibrary, BracketedIpv6AddressWithPort) {
  KeepingServer server("::1");
  if (!server.ready()) GTEST_SKIP() << "::1 unavailable";
  EXPECT_EQ(mail(server.address(), "ann@x.org", "Subject: v6\r\n\r\nhi\r\n"), 0) << printed();
  EXPECT_EQ(server.kept(1, ".eml"), "Subject: v6\r\n\r\nhi\r\n");
}

struct ConnectCase {
  std::string server;
  const char* service;
  int code;
};

TEST_F(RealLibrary, ConnectFailuresHaveTheirCodes) {
  const std::string unused = std::to_string(free_port(AF_INET));
  const ConnectCase kCases[] = {
      {"127.0.0.1:" + unused, "smtp", GENSOCK_ERR_REFUSED},
      {"127.0.0.1", "no-such-service", GENSOCK_ERR_RESOLVE_SERVICE},
      {"no-such-host.invalid", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"127.0.0.1:", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"127.0.0.1:99999", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"127.0.0.1:port", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"[::1", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"smtps://127.0.0.1:" + unused, "no-such-service", GENSOCK_ERR_REFUSED},
      {"STARTTLS://127.0.0.1", "no-such-service", GENSOCK_ERR_RESOLVE_SERVICE},
      {"starttls://[::1]:", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"smtps://", "25", GENSOCK_ERR_RESOLVE_HOST},
      {"smtp://127.0.0.1", "25", GENSOCK_ERR_RESOLVE_HOST},
  };
  for (const ConnectCase& c : kCases) {
    gensock_handle_t handle = 0;
    EXPECT_EQ(g_gensock.connect(c.server.c_str(), c.service, &handle), c.code) << c.server;
  }
}

// The handshake and the STARTTLS exchange count against the connect limit.
TEST_F(RealLibrary, SilentServerFailsTheTlsConnect) {
  setenv("GENSOCK_TIMEOUT", "0.3", 1);  // the limit is all it waits for
  for (const char* scheme : {"smtps://", "starttls://"}) {
    RudeServer server("", false);
    gensock_handle_t handle = 0;
    EXPECT_EQ(g_gensock.connect((scheme + server.address()).c_str(), "smtp", &handle),
              GENSOCK_ERR_CONNECT)
        << scheme;
  }
}

TEST_F(RealLibrary, NothingListeningIsReportedAsRefused) {
  EXPECT_EQ(failed_opening("127.0.0.1:" + std::to_string(free_port(AF_INET))),
            "Error: Mail server refused connection.");
}

TEST_F(RealLibrary, SilentServerTimesOut) {
  setenv("GENSOCK_TIMEOUT", "0.3", 1);  // the limit is all it waits for
  RudeServer server("", false);
  gensock_handle_t handle = 0;
  ASSERT_EQ(g_gensock.connect(server.address().c_str(), "smtp", &handle), 0);
  EXPECT_NE(handle, 0u);
  char ch = 0;
  EXPECT_EQ(g_gensock.getchar(handle, 0, &ch), GENSOCK_ERR_WAIT);
  EXPECT_EQ(g_gensock.close(handle), 0);
}

TEST_F(RealLibrary, ServerClosingMidReplyIsADrop) {
  RudeServer server("220-first\r\n22", true);
  EXPECT_EQ(failed_opening(server.address()),
            "Error: Connection to mailserver was dropped.SMTP server error\n");
}

TEST_F(RealLibrary, BytesComeInOrderAndSendsKeepTheirOrder) {
  RudeServer server("250-a\r\n250 b\r\n", false);
  gensock_handle_t handle = 0;
  ASSERT_EQ(g_gensock.connect(server.address().c_str(), "smtp", &handle), 0);
  std::string got;
  char ch = 0;
  while (got.size() < 14 && g_gensock.getchar(handle, 0, &ch) == 0) got += ch;
  EXPECT_EQ(got, "250-a\r\n250 b\r\n");
  EXPECT_EQ(g_gensock.put_data_buffered(handle, "abc", 3), 0);
  EXPECT_EQ(g_gensock.put_data(handle, "QUIT\r\n", 6), 0);
  EXPECT_EQ(g_gensock.put_data_flush(handle), 0);
  EXPECT_EQ(g_gensock.close(handle), 0);
}

// Without GENSOCK_TIMEOUT a send waits the default minutes for room, so a
// body larger than the socket's buffers goes out to a reader that lags.
TEST_F(RealLibrary, DefaultLimitsWaitForRoomToSend) {
  unsetenv("GENSOCK_TIMEOUT");
  RudeServer server("", false);
  gensock_handle_t handle = 0;
  ASSERT_EQ(g_gensock.connect(server.address().c_str(), "smtp", &handle), 0);
  const std::string body(8 << 20, 'x');
  EXPECT_EQ(g_gensock.put_data(handle, body.data(), body.size()), 0);
  EXPECT_EQ(g_gensock.close(handle), 0);
}

TEST_F(RealLibrary, UnknownHandlesAreRefused) {
  const gensock_handle_t kHandles[] = {0, 1, 17, 0xffffffffu};
  char ch = 0;
  for (gensock_handle_t handle : kHandles) {
    EXPECT_EQ(g_gensock.getchar(handle, 0, &ch), GENSOCK_ERR_NOT_A_SOCKET);
    EXPECT_EQ(g_gensock.put_data(handle, "x", 1), GENSOCK_ERR_NOT_A_SOCKET);
    EXPECT_EQ(g_gensock.put_data_buffered(handle, "x", 1), GENSOCK_ERR_NOT_A_SOCKET);
    EXPECT_EQ(g_gensock.put_data_flush(handle), GENSOCK_ERR_NOT_A_SOCKET);
    EXPECT_EQ(g_gensock.close(handle), GENSOCK_ERR_NOT_A_SOCKET);
  }
}

TEST_F(RealLibrary, HostNameFitsTheBuffer) {
  char name[kLocalHostBytes];
  ASSERT_EQ(g_gensock.gethostname(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  char small[4] = {'x', 'x', 'x', 'x'};
  ASSERT_EQ(g_gensock.gethostname(small, sizeof small), 0);
  EXPECT_LT(std::strlen(small), sizeof small);
}

}  // namespace
