/* rawsmtp: the benchmark's own minimal SMTP client, the yardstick the mailer
 * is measured against.
 *
 *   rawsmtp push HOST PORT FILE   one transaction; FILE already holds the
 *                                 wire bytes of the DATA phase (CR LF line
 *                                 ends, dot-stuffing, the end marker). It is
 *                                 read whole into memory, then sent in one
 *                                 write loop.
 *   rawsmtp sendfile HOST PORT DIALOGUE WIRE
 *                                 the physical limit: DIALOGUE holds the
 *                                 command lines up to DATA, each sent and
 *                                 its reply awaited; WIRE the DATA-phase
 *                                 bytes, which go from the page cache to
 *                                 the socket by sendfile, never copied
 *                                 into this process; then QUIT.
 *   rawsmtp rcpt HOST PORT N      HELO, MAIL, then N RCPT commands, each a
 *                                 full round trip; prints the median and the
 *                                 mean round trip in microseconds.
 *   rawsmtp qplen FILE            prints the exact count of characters the
 *                                 quoted-printable body encoding produces for
 *                                 FILE (an implementation of its own, so the
 *                                 mailer's count is checked, not trusted).
 *   rawsmtp measure CMD [ARG...]  runs CMD (its output to /dev/null) and
 *                                 prints its wall time in seconds, its peak
 *                                 resident memory in KiB, its exit status and
 *                                 its CPU time (user + system) in seconds.
 *                                 The peak is wait4's, as GNU time's %M; a
 *                                 child's peak starts from its parent's
 *                                 resident size at the fork, which is why a
 *                                 launcher this small stands between the
 *                                 benchmark driver and the command.
 *
 * Exit status 0 on success, 1 on any failure (with a line on stderr).
 */
#define _DEFAULT_SOURCE /* wait4 */
#define _POSIX_C_SOURCE 200809L
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* Replies of the sink are short; a reply line longer than this is cut, only
 * its first four characters matter. */
enum { kReplyLineBytes = 1024 };
/* One command line: the longest is "RCPT TO:<r0000000@example.org>\r\n". */
enum { kCommandBytes = 256 };

static int fail(const char* what) {
  fprintf(stderr, "rawsmtp: %s\n", what);
  return 1;
}

static int connect_to(const char* host, const char* port) {
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)atoi(port));
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int send_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

/* Received bytes not yet consumed; a reply is read from here, one recv per
 * buffer rather than one read per byte. */
static char g_in[4096];
static size_t g_in_next, g_in_end;

static int next_byte(int fd, char* ch) {
  if (g_in_next == g_in_end) {
    ssize_t got = recv(fd, g_in, sizeof g_in, 0);
    if (got <= 0) return -1;
    g_in_next = 0;
    g_in_end = (size_t)got;
  }
  *ch = g_in[g_in_next++];
  return 0;
}

/* Reads one reply, continuation lines included; returns its code or -1. */
static int read_reply(int fd) {
  char line[kReplyLineBytes];
  size_t used = 0;
  for (;;) {
    char ch;
    if (next_byte(fd, &ch) != 0) return -1;
    if (used < sizeof line) line[used++] = ch;
    if (ch != '\n') continue;
    if (used >= 4 && line[3] == '-') {
      used = 0;
      continue;
    }
    if (used < 3) return -1;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  }
}

static int command(int fd, const char* text, int expected) {
  if (text && send_all(fd, text, strlen(text)) != 0) return -1;
  return read_reply(fd) == expected ? 0 : -1;
}

static int open_envelope(int fd) {
  if (command(fd, NULL, 220) != 0) return -1;
  if (command(fd, "HELO rawsmtp\r\n", 250) != 0) return -1;
  return command(fd, "MAIL FROM:<bench@example.org>\r\n", 250);
}

static char* read_file(const char* name, size_t* size) {
  FILE* file = fopen(name, "rb");
  if (!file) return NULL;
  struct stat info;
  if (fstat(fileno(file), &info) != 0) {
    fclose(file);
    return NULL;
  }
  *size = (size_t)info.st_size;
  char* data = malloc(*size ? *size : 1);
  if (data && fread(data, 1, *size, file) != *size) {
    free(data);
    data = NULL;
  }
  fclose(file);
  return data;
}

static int push(const char* host, const char* port, const char* name) {
  size_t size = 0;
  char* data = read_file(name, &size);
  if (!data) return fail("cannot read the message file");
  int fd = connect_to(host, port);
  int ok = fd >= 0 && open_envelope(fd) == 0 &&
           command(fd, "RCPT TO:<rcpt@example.org>\r\n", 250) == 0 &&
           command(fd, "DATA\r\n", 354) == 0 && send_all(fd, data, size) == 0 &&
           read_reply(fd) == 250 && command(fd, "QUIT\r\n", 221) == 0;
  free(data);
  if (fd >= 0) close(fd);
  return ok ? 0 : fail("transaction failed");
}

/* Sends each line of the dialogue file as one command; every reply must be
 * positive (2xx, or 354 for DATA). */
static int replay_dialogue(int fd, const char* name) {
  FILE* file = fopen(name, "rb");
  if (!file) return -1;
  if (read_reply(fd) != 220) {
    fclose(file);
    return -1;
  }
  char line[kCommandBytes];
  int result = 0;
  while (result == 0 && fgets(line, sizeof line, file))
    result = command(fd, line, strncmp(line, "DATA", 4) == 0 ? 354 : 250);
  fclose(file);
  return result;
}

static int send_file(const char* host, const char* port, const char* dialogue, const char* wire) {
  int in = open(wire, O_RDONLY);
  struct stat info;
  if (in < 0 || fstat(in, &info) != 0) return fail("cannot open the wire file");
  int fd = connect_to(host, port);
  int ok = fd >= 0 && replay_dialogue(fd, dialogue) == 0;
  off_t offset = 0;
  while (ok && offset < info.st_size) {
    ssize_t sent = sendfile(fd, in, &offset, (size_t)(info.st_size - offset));
    if (sent <= 0) ok = 0;
  }
  ok = ok && read_reply(fd) == 250 && command(fd, "QUIT\r\n", 221) == 0;
  close(in);
  if (fd >= 0) close(fd);
  return ok ? 0 : fail("transaction failed");
}

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int compare_doubles(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static int rcpt_round_trips(const char* host, const char* port, int count) {
  if (count < 1) return fail("the count must be at least 1");
  double* times = malloc(sizeof(double) * (size_t)count);
  int fd = connect_to(host, port);
  if (!times || fd < 0 || open_envelope(fd) != 0) return fail("cannot open the envelope");
  double total = 0;
  for (int i = 0; i < count; ++i) {
    char line[kCommandBytes];
    snprintf(line, sizeof line, "RCPT TO:<r%07d@example.org>\r\n", i);
    double start = now_us();
    if (command(fd, line, 250) != 0) return fail("RCPT refused");
    times[i] = now_us() - start;
    total += times[i];
  }
  command(fd, "QUIT\r\n", 221);
  close(fd);
  qsort(times, (size_t)count, sizeof(double), compare_doubles);
  printf("%.3f %.3f\n", times[count / 2], total / count);
  free(times);
  return 0;
}

/* The characters one body byte becomes, and the line count after it. */
static uint64_t qp_length(const unsigned char* body, size_t size) {
  uint64_t total = 0;
  int line = 0;
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = body[i];
    if (c == '\r') continue;
    if (c == '\n') {
      total += 2;
      line = 0;
      continue;
    }
    int width = (c < 33 || c > 126 || c == '=') ? 3 : 1;
    total += (uint64_t)width;
    line += width;
    if (line > 71) {
      total += 3;
      line = 0;
    }
  }
  return total;
}

static int print_qp_length(const char* name) {
  size_t size = 0;
  char* data = read_file(name, &size);
  if (!data) return fail("cannot read the body file");
  printf("%llu\n", (unsigned long long)qp_length((const unsigned char*)data, size));
  free(data);
  return 0;
}

static int measure(char** argv) {
  double start = now_us();
  pid_t pid = fork();
  if (pid < 0) return fail("fork failed");
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execvp(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return fail("wait4 failed");
  double wall = (now_us() - start) / 1e6;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec / 1e6;
  printf("%.6f %ld %d %.6f\n", wall, usage.ru_maxrss, code, cpu);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 5 && strcmp(argv[1], "push") == 0) return push(argv[2], argv[3], argv[4]);
  if (argc == 6 && strcmp(argv[1], "sendfile") == 0)
    return send_file(argv[2], argv[3], argv[4], argv[5]);
  if (argc == 5 && strcmp(argv[1], "rcpt") == 0)
    return rcpt_round_trips(argv[2], argv[3], atoi(argv[4]));
  if (argc == 3 && strcmp(argv[1], "qplen") == 0) return print_qp_length(argv[2]);
  if (argc >= 3 && strcmp(argv[1], "measure") == 0) return measure(argv + 2);
  return fail(
      "usage: rawsmtp push HOST PORT FILE | sendfile HOST PORT DIALOGUE WIRE | rcpt HOST PORT N | "
      "qplen FILE | measure CMD...");
}
