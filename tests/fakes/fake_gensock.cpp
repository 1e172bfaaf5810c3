#include "fakes/fake_gensock.h"

namespace {

fake::Script* g_script = nullptr;

int next_result(std::deque<int>* results) {
  if (results->empty()) return 0;
  int result = results->front();
  results->pop_front();
  return result;
}

bool announced(int feature) { return (g_script->capabilities & feature) != 0; }

void check_handle(gensock_handle_t handle) {
  if (handle != g_script->handle) ++g_script->bad_calls;
}

}  // namespace

namespace fake {

void install(Script* script) { g_script = script; }

}  // namespace fake

extern "C" {

GENSOCK_API int gensock_connect(const char* server, const char* service, gensock_handle_t* handle) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  g_script->transcript += std::string("connect ") + server + " " + service + "\n";
  int result = next_result(&g_script->connect_results);
  if (result == 0) *handle = g_script->handle;
  return result;
}

GENSOCK_API int gensock_gethostname(char* name, int size) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  g_script->transcript += "gethostname\n";
  int result = next_result(&g_script->gethostname_results);
  if (result == 0) name[g_script->local_host.copy(name, static_cast<std::size_t>(size) - 1)] = 0;
  return result;
}

GENSOCK_API int gensock_getchar(gensock_handle_t handle, int wait, char* ch) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  check_handle(handle);
  fake::Script& s = *g_script;
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

GENSOCK_API int gensock_put_data(gensock_handle_t handle, const char* data, unsigned long length) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  check_handle(handle);
  g_script->transcript += "C: " + std::string(data, length);
  if (length == 0 || data[length - 1] != '\n') g_script->transcript += "\n";
  return next_result(&g_script->put_data_results);
}

GENSOCK_API int gensock_put_data_buffered(gensock_handle_t handle, const char* data,
                                          unsigned long length) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
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

GENSOCK_API int gensock_put_data_flush(gensock_handle_t handle) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  check_handle(handle);
  g_script->transcript += "flush\n";
  g_script->in_data = false;
  return next_result(&g_script->flush_results);
}

GENSOCK_API int gensock_close(gensock_handle_t handle) {
  if (g_script == nullptr) return GENSOCK_ERR_NOT_A_SOCKET;
  check_handle(handle);
  g_script->transcript += "close\n";
  return next_result(&g_script->close_results);
}

GENSOCK_API int gensock_capabilities(void) {
  return g_script == nullptr ? 0 : g_script->capabilities;
}

}  // extern "C"
