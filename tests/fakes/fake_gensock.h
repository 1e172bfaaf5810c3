// A scripted socket library for tests of the SMTP dialogue, in the manner of
// an in-memory fake disk: the test writes the server's replies and the
// results each entry point should give; the fake plays them and records
// every call. Header-only, since each unit test is one program of one file.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "smtp/socket_library.h"

namespace fake {

struct Script {
  // Bytes served one by one by gensock_getchar; once they run out,
  // getchar returns end_of_replies.
  std::string replies;
  int end_of_replies = GENSOCK_ERR_DROPPED;
  // Results to give, call by call; an empty queue gives 0.
  std::deque<int> connect_results;
  std::deque<int> gethostname_results;
  std::deque<int> put_data_results;
  std::deque<int> buffered_results;
  std::deque<int> flush_results;
  std::deque<int> close_results;
  gensock_handle_t handle = 7;
  std::string local_host = "client.example";
  // What gensock_capabilities announces; kForeign: the library lacks it.
  int capabilities = GENSOCK_CAN_TAKE_RUNS | GENSOCK_CAN_TIME_REPLIES | GENSOCK_CAN_POLL;
  // Reply bytes before this position have already arrived when polled.
  std::size_t arrived = 0;

  // What happened, in order: "connect <server> <service>", "gethostname",
  // "C: <command>" for put_data, "S: <line>" for each reply line served,
  // "data" for the first buffered call of a run, "flush", "close".
  std::string transcript;
  std::string data;               // every byte taken by put_data_buffered
  int buffered_calls = 0;         // calls of put_data_buffered in all
  bool in_data = false;           // buffered calls since the last flush
  int bad_calls = 0;              // a handle the fake never gave out, or a flag not announced
  std::vector<int> reply_limits;  // each getchar wait > 0: the limit a reply began with

  std::size_t next_reply = 0;
  std::string current_line;
};

inline Script* g_script = nullptr;

inline int next_result(std::deque<int>* results) {
  if (results->empty()) return 0;
  int result = results->front();
  results->pop_front();
  return result;
}

inline void check_handle(gensock_handle_t handle) {
  if (handle != g_script->handle) ++g_script->bad_calls;
}

inline int connect(const char* server, const char* service, gensock_handle_t* handle) {
  g_script->transcript += std::string("connect ") + server + " " + service + "\n";
  int result = next_result(&g_script->connect_results);
  if (result == 0) *handle = g_script->handle;
  return result;
}

inline int gethostname(char* name, int size) {
  g_script->transcript += "gethostname\n";
  int result = next_result(&g_script->gethostname_results);
  if (result == 0) name[g_script->local_host.copy(name, static_cast<std::size_t>(size) - 1)] = 0;
  return result;
}

constexpr int kForeign = -1;

inline bool announced(int feature) {
  return g_script->capabilities != kForeign && (g_script->capabilities & feature) != 0;
}

inline int getchar(gensock_handle_t handle, int wait, char* ch) {
  check_handle(handle);
  Script& s = *g_script;
  if (wait > 0) s.reply_limits.push_back(wait);
  if ((wait > 0 && !announced(GENSOCK_CAN_TIME_REPLIES)) ||
      (wait == GENSOCK_WAIT_POLL && !announced(GENSOCK_CAN_POLL)) || wait < GENSOCK_WAIT_POLL) {
    ++s.bad_calls;
  }
  if (wait == GENSOCK_WAIT_POLL && s.next_reply >= s.arrived) return GENSOCK_ERR_WAIT;
  if (s.next_reply >= s.replies.size()) return s.end_of_replies;
  *ch = s.replies[s.next_reply++];
  s.current_line += *ch;
  if (*ch == '\n') {
    s.transcript += "S: " + s.current_line;
    s.current_line.clear();
  }
  return 0;
}

inline int put_data(gensock_handle_t handle, const char* data, unsigned long length) {
  check_handle(handle);
  g_script->transcript += "C: " + std::string(data, length);
  if (length == 0 || data[length - 1] != '\n') g_script->transcript += "\n";
  return next_result(&g_script->put_data_results);
}

inline int put_data_buffered(gensock_handle_t handle, const char* data, unsigned long length) {
  check_handle(handle);
  if (!announced(GENSOCK_CAN_TAKE_RUNS) && length != 1 && length != 3 && length != 5) {
    ++g_script->bad_calls;
  }
  ++g_script->buffered_calls;
  if (!g_script->in_data) g_script->transcript += "data\n";
  g_script->in_data = true;
  int result = next_result(&g_script->buffered_results);
  if (result == 0) g_script->data.append(data, length);
  return result;
}

inline int put_data_flush(gensock_handle_t handle) {
  check_handle(handle);
  g_script->transcript += "flush\n";
  g_script->in_data = false;
  return next_result(&g_script->flush_results);
}

inline int close(gensock_handle_t handle) {
  check_handle(handle);
  g_script->transcript += "close\n";
  return next_result(&g_script->close_results);
}

inline int capabilities() { return g_script->capabilities; }

inline const GensockApi kApi = {connect,     getchar,           put_data,       close,
                                gethostname, put_data_buffered, put_data_flush, capabilities};
inline const GensockApi kForeignApi = {connect,     getchar,           put_data,       close,
                                       gethostname, put_data_buffered, put_data_flush, nullptr};

// Plays `script` through g_gensock until the next install.
inline void install(Script* script) {
  g_script = script;
  use_socket_library_for_testing(script->capabilities == kForeign ? &kForeignApi : &kApi);
}

}  // namespace fake
