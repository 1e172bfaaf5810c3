// HTTPS through libcurl, loaded at run time ("libcurl.so.4") only when a
// token must be fetched: quib without -oauth neither needs nor loads it.
#include <curl/curl.h>

#include <cstdlib>
#include <string>

#include "oauth/https_post.h"
#include "platform/platform.h"

namespace {

// The whole request, connection and TLS included.
constexpr long kRequestSeconds = 60;
// A token reply is a few kilobytes; a larger body is not a token endpoint's.
constexpr std::size_t kBodyMost = 1024 * 1024;

struct Curl {
  PlatformBinder bind{platform_load_system_library("libcurl.so.4")};
  decltype(&curl_easy_init) init = bind("curl_easy_init");
  decltype(&curl_easy_setopt) setopt = bind("curl_easy_setopt");
  decltype(&curl_easy_perform) perform = bind("curl_easy_perform");
  decltype(&curl_easy_getinfo) getinfo = bind("curl_easy_getinfo");
  decltype(&curl_easy_cleanup) cleanup = bind("curl_easy_cleanup");
  decltype(&curl_easy_strerror) strerror = bind("curl_easy_strerror");
};

// The library's entry points, bound once; null when it cannot be loaded.
const Curl* curl() {
  static const Curl table;
  return table.bind.missing ? nullptr : &table;
}

std::size_t keep_body(char* data, std::size_t size, std::size_t count, void* into) {
  Secret* body = static_cast<Secret*>(into);
  const std::size_t bytes = size * count;
  if (body->size() + bytes > kBodyMost) return 0;  // ends the transfer
  body->append(std::string_view(data, bytes));
  return bytes;
}

}  // namespace

int https_post_form(const std::string& url, std::string_view form, HttpsReply* reply,
                    std::string* why) {
  const Curl* c = curl();
  if (c == nullptr) {
    *why = "libcurl (libcurl.so.4) cannot be loaded: install libcurl4";
    return -1;
  }
  CURL* handle = c->init();
  if (handle == nullptr) {
    *why = "libcurl cannot start";
    return -1;
  }
  c->setopt(handle, CURLOPT_URL, url.c_str());
  c->setopt(handle, CURLOPT_PROTOCOLS_STR, "https,http");  // the URL was checked before
  c->setopt(handle, CURLOPT_POSTFIELDS, form.data());
  c->setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  c->setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  c->setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (const char* file = std::getenv("SSL_CERT_FILE")) c->setopt(handle, CURLOPT_CAINFO, file);
  if (const char* dir = std::getenv("SSL_CERT_DIR")) c->setopt(handle, CURLOPT_CAPATH, dir);
  c->setopt(handle, CURLOPT_TIMEOUT, kRequestSeconds);
  c->setopt(handle, CURLOPT_NOSIGNAL, 1L);
  c->setopt(handle, CURLOPT_USERAGENT, "quib");
  c->setopt(handle, CURLOPT_WRITEFUNCTION, keep_body);
  c->setopt(handle, CURLOPT_WRITEDATA, &reply->body);
  const CURLcode done = c->perform(handle);
  if (done == CURLE_OK) c->getinfo(handle, CURLINFO_RESPONSE_CODE, &reply->status);
  c->cleanup(handle);
  if (done != CURLE_OK) {
    *why = c->strerror(done);
    return -1;
  }
  return 0;
}
