// A scripted socket library for tests, in the manner of an in-memory fake
// disk: the test writes the server's replies and the results each entry
// point should give; the fake plays them and records every call. It is a
// shared library named like the real one ("gwinsock.dll": libgwinsock.so)
// that sits beside the test programs, so the mailer loads it the way it
// loads the real one; the test programs link it too, to reach its script.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "gensock.h"

namespace fake {

// What a library announces that offers nothing beyond the original contract.
constexpr int kForeign = 0;

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
  // What gensock_capabilities announces.
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

// Plays `script` through the fake library until the next install; null
// makes every entry point fail with 4010 (no such connection).
void install(Script* script);

}  // namespace fake
