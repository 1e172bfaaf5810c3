// The OAuth file's reader and rewriter. Whatever the text, a file that
// reads is read again after the cache and the refresh token are rewritten,
// with those three values new and every other value as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oauth/oauth_file.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  OauthSettings before;
  std::string why;
  const int line = parse_oauth_file(text, &before, &why);
  if (line != 0) {
    check(line > 0 && !why.empty());
    return 0;
  }
  const Secret rewritten = rewrite_oauth_file(
      text, {{"access_token", "at-new"}, {"expires_at", "1234"}, {"refresh_token", "rt-new"}});
  OauthSettings after;
  check(parse_oauth_file(rewritten.view(), &after, &why) == 0);
  check(after.access_token.view() == "at-new" && after.expires_at == 1234 &&
        after.refresh_token.view() == "rt-new");
  check(after.provider == before.provider && after.client_id == before.client_id &&
        after.client_secret.view() == before.client_secret.view() &&
        after.token_url == before.token_url && after.scope == before.scope);
  return 0;
}
