// HTTPS through WinHTTP, loaded at run time (winhttp.dll from the system
// folder) only when a token must be fetched. The system's certificate
// store decides whom to trust; WinHTTP verifies by default and nothing
// here turns that off.
#include <windows.h>
// After windows.h, whose types it uses.
#include <winhttp.h>

#include <string>

#include "oauth/https_post.h"
#include "platform/platform.h"

namespace {

constexpr int kRequestMs = 60 * 1000;
constexpr std::size_t kBodyMost = 1024 * 1024;

struct WinHttp {
  PlatformBinder bind{platform_load_system_library("winhttp.dll")};
  decltype(&WinHttpOpen) open = bind("WinHttpOpen");
  decltype(&WinHttpCrackUrl) crack_url = bind("WinHttpCrackUrl");
  decltype(&WinHttpConnect) connect = bind("WinHttpConnect");
  decltype(&WinHttpOpenRequest) open_request = bind("WinHttpOpenRequest");
  decltype(&WinHttpSetTimeouts) set_timeouts = bind("WinHttpSetTimeouts");
  decltype(&WinHttpSendRequest) send_request = bind("WinHttpSendRequest");
  decltype(&WinHttpReceiveResponse) receive_response = bind("WinHttpReceiveResponse");
  decltype(&WinHttpQueryHeaders) query_headers = bind("WinHttpQueryHeaders");
  decltype(&WinHttpReadData) read_data = bind("WinHttpReadData");
  decltype(&WinHttpCloseHandle) close = bind("WinHttpCloseHandle");
};

// The library's entry points, bound once; null when it cannot be loaded.
const WinHttp* winhttp() {
  static const WinHttp table;
  return table.bind.missing ? nullptr : &table;
}

std::wstring wide(const std::string& text) {
  std::wstring out;
  for (unsigned char c : text) out += static_cast<wchar_t>(c);  // URLs are ASCII
  return out;
}

std::string failure(const char* step) {
  return std::string(step) + " failed (WinHTTP error " + std::to_string(GetLastError()) + ")";
}

// The request on an open connection: sent, its status and body read.
int exchange(const WinHttp& w, HINTERNET request, std::string_view form, HttpsReply* reply,
             std::string* why) {
  const wchar_t kHeaders[] = L"Content-Type: application/x-www-form-urlencoded\r\n";
  if (!w.send_request(request, kHeaders, static_cast<DWORD>(-1L), const_cast<char*>(form.data()),
                      static_cast<DWORD>(form.size()), static_cast<DWORD>(form.size()), 0) ||
      !w.receive_response(request, nullptr)) {
    *why = failure("the request");
    return -1;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  w.query_headers(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &status,
                  &size, nullptr);
  reply->status = static_cast<long>(status);
  char block[4096];
  DWORD got = 0;
  while (w.read_data(request, block, sizeof block, &got) && got > 0) {
    if (reply->body.size() + got > kBodyMost) break;
    reply->body.append(std::string_view(block, got));
  }
  SecureZeroMemory(block, sizeof block);
  return 0;
}

}  // namespace

int https_post_form(const std::string& url, std::string_view form, HttpsReply* reply,
                    std::string* why) {
  const WinHttp* w = winhttp();
  if (w == nullptr) {
    *why = "winhttp.dll cannot be loaded";
    return -1;
  }
  const std::wstring address = wide(url);
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host / sizeof host[0];
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizeof path / sizeof path[0];
  if (!w->crack_url(address.c_str(), 0, 0, &parts)) {
    *why = "the URL cannot be read";
    return -1;
  }
  HINTERNET session = w->open(L"quib", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? w->connect(session, host, parts.nPort, 0) : nullptr;
  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  HINTERNET request = connection
                          ? w->open_request(connection, L"POST", path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, secure)
                          : nullptr;
  int result = -1;
  if (request == nullptr) {
    *why = failure("connecting");
  } else {
    w->set_timeouts(request, kRequestMs, kRequestMs, kRequestMs, kRequestMs);
    result = exchange(*w, request, form, reply, why);
  }
  if (request) w->close(request);
  if (connection) w->close(connection);
  if (session) w->close(session);
  return result;
}
