/* gensock: the socket library that the mailer loads at run time.
 *
 * Seven C entry points. Each returns 0 on success or a transport error code
 * (4001 to 4024, see below). The library is never linked into the mailer;
 * the mailer looks the entry points up by name after loading it.
 *
 * Nothing waits forever: resolving and connecting wait at most 60 s, a
 * reply at most the limit its caller names (else 600 s per wait for
 * received data), each wait for room to send 180 s (after RFC 5321
 * 4.5.3.2). The environment variable GENSOCK_TIMEOUT (seconds, > 0,
 * fractions allowed) shortens every limit to at most that; it is read at
 * each connect. A peer that goes away never raises SIGPIPE.
 * The library keeps one table of connections and is meant for one thread.
 * gensock/README.md has the details.
 */
#ifndef GENSOCK_H
#define GENSOCK_H

#include <stdint.h>

#ifdef _WIN32
#define GENSOCK_API __declspec(dllexport)
#else
#define GENSOCK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque connection handle: a 32-bit value the caller only passes back. */
typedef uint32_t gensock_handle_t;

/* Transport error codes. */
enum {
  GENSOCK_ERR_MALLOC = 4001, /* allocation failure */
  GENSOCK_ERR_SEND = 4002,   /* error sending data */
  GENSOCK_ERR_INIT = 4003,   /* socket layer would not start */
  GENSOCK_ERR_VERSION = 4004,
  GENSOCK_ERR_WINSOCK_VERSION = 4005,
  GENSOCK_ERR_NOT_READY = 4006,
  GENSOCK_ERR_RESOLVE_HOST = 4007, /* host name does not resolve */
  GENSOCK_ERR_SOCKET = 4008,       /* socket could not be created */
  GENSOCK_ERR_READ = 4009,         /* error reading the socket */
  GENSOCK_ERR_NOT_A_SOCKET = 4010, /* unknown handle */
  GENSOCK_ERR_BUSY = 4011,
  GENSOCK_ERR_CLOSE = 4012,           /* error closing the socket */
  GENSOCK_ERR_WAIT = 4013,            /* timed out waiting for a byte */
  GENSOCK_ERR_RESOLVE_SERVICE = 4014, /* service does not resolve */
  GENSOCK_ERR_CONNECT = 4015,         /* connect failed or timed out */
  GENSOCK_ERR_DROPPED = 4016,         /* the server closed the connection */
  GENSOCK_ERR_REFUSED = 4017,         /* connection refused */
  /* smtps:// and starttls:// only (gensock/README.md tells the cures): */
  GENSOCK_ERR_TLS_NO_STARTTLS = 4018, /* no 220 greeting, or EHLO lists no STARTTLS */
  GENSOCK_ERR_TLS_REFUSED = 4019,     /* STARTTLS not answered by 220 alone */
  GENSOCK_ERR_TLS_HANDSHAKE = 4020,   /* no TLS 1.2 or later agreed with the server */
  GENSOCK_ERR_TLS_UNTRUSTED = 4021,   /* certificate chain not from a trusted authority */
  GENSOCK_ERR_TLS_NAME = 4022,        /* certificate does not name the host typed */
  GENSOCK_ERR_TLS_EXPIRED = 4023,     /* certificate expired or not yet valid */
  GENSOCK_ERR_TLS_SETUP = 4024        /* the TLS library could not be set up */
};

/* Connects to hostname (also "host:port" or "[v6-address]:port") on the
 * service (a name such as "smtp" or a number such as "25"); stores the new
 * connection's handle, never 0. A port in the name wins over the service; a
 * bare IPv6 address ("::1") carries no port. "smtps://" in front asks for
 * TLS from the first byte (port 465 unless given), "starttls://" for an
 * upgrade by STARTTLS before the caller's dialogue (errors 4018 to 4024,
 * certificate always verified). Each address the name resolves
 * to (IPv4 and IPv6) is tried in turn. Errors: 4014 the service does not
 * resolve (checked first), 4007 the host does not resolve or the name is
 * malformed, 4008 no socket (or no free connection slot), 4017 refused,
 * 4015 timed out or unreachable, 4001 out of memory. */
GENSOCK_API int gensock_connect(const char* hostname, const char* service,
                                gensock_handle_t* handle);

/* Stores the next received byte in *ch. Bytes are received a buffer at a
 * time. What wait selects:
 *   0                  the next byte, waiting for it until the deadline of
 *                      the reply begun last (without one: up to the read
 *                      timeout for each wait);
 *   > 0                begins a reply: all of it must arrive within wait
 *                      milliseconds from now (or GENSOCK_TIMEOUT, if that is
 *                      shorter); then as 0;
 *   GENSOCK_WAIT_POLL  a byte only if one has arrived already: never waits.
 * Errors: 4013 nothing arrived in time (with GENSOCK_WAIT_POLL: nothing has
 * arrived), 4016 the server closed (or reset) the connection, 4009 reading
 * failed, 4010 unknown handle. */
#define GENSOCK_WAIT_POLL (-1)
GENSOCK_API int gensock_getchar(gensock_handle_t handle, int wait, char* ch);

/* Sends length bytes at once, after whatever was buffered before; partial
 * sends are completed. Errors: 4002 sending failed or timed out, 4010. */
GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data, unsigned long length);

/* Takes length bytes (any length) for sending; they go out when the send
 * buffer is full, on gensock_put_data_flush, or before a gensock_put_data.
 * Errors: 4002 (while sending a full buffer), 4010. */
GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length);

/* Sends every buffered byte. Errors: 4002, 4010. */
GENSOCK_API int gensock_put_data_flush(gensock_handle_t handle);

/* Closes the connection and forgets the handle, dropping bytes still
 * buffered. Errors: 4012 closing failed (the handle is forgotten anyway), 4010. */
GENSOCK_API int gensock_close(gensock_handle_t handle);

/* Stores this machine's host name, NUL-terminated, in name (size bytes),
 * cut to fit. A name that holds anything but letters, digits, "-", "." and
 * "_" is replaced by the address literal of the local end of the newest
 * connection ("[127.0.0.1]", "[IPv6:::1]"), or "localhost" without one.
 * Errors: 4001 when size is below 2. */
GENSOCK_API int gensock_gethostname(char* name, int size);

/* What this library offers beyond the original contract of the seven entry
 * points above: a caller that finds this eighth, optional entry point may
 * use the features whose bits are set; a library without it is held to the
 * original contract (put_data_buffered given 1, 3 or 5 bytes per call, and
 * gensock_getchar's wait always 0). */
enum {
  GENSOCK_CAN_TAKE_RUNS = 1,    /* put_data_buffered takes any length */
  GENSOCK_CAN_TIME_REPLIES = 2, /* gensock_getchar's wait > 0 */
  GENSOCK_CAN_POLL = 4,         /* gensock_getchar's GENSOCK_WAIT_POLL */
  GENSOCK_CAN_TRACE = 8,        /* gensock_set_trace */
  GENSOCK_CAN_PEER = 16         /* gensock_peer_address */
};
GENSOCK_API int gensock_capabilities(void);

/* Optional, announced by GENSOCK_CAN_TRACE: from now on the library calls
 * callback(context, line) for each of its own steps, in order and from the
 * calling thread, while an entry point runs: the name it resolves and each
 * address, each connect and its outcome, the STARTTLS exchange, the TLS
 * version, cipher and server certificate, the verification result, and
 * the TLS library's own reason for a failure. A line has no line end and
 * may hold any byte but NUL; one that begins with "> " shows bytes sent,
 * "< " bytes received. The line lives only during the call. A null
 * callback ends the trace. */
typedef void (*gensock_trace_t)(void* context, const char* line);
GENSOCK_API void gensock_set_trace(gensock_trace_t callback, void* context);

/* Optional, announced by GENSOCK_CAN_PEER: stores the numeric address of
 * the connection's peer, the address the bytes really go to, NUL-terminated
 * in address (size bytes): "192.0.2.1", "::1", "::ffff:127.0.0.1". Errors:
 * 4010 unknown handle, 4008 the system cannot tell, 4001 size too small. */
GENSOCK_API int gensock_peer_address(gensock_handle_t handle, char* address, int size);

#ifdef __cplusplus
}
#endif

#endif /* GENSOCK_H */
