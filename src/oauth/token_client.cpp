#include "oauth/token_client.h"

#include <ctime>

#include "oauth/https_post.h"
#include "oauth/jwt.h"
#include "oauth/oauth_file.h"
#include "oauth/token_reply.h"
#include "oauth/token_request.h"
#include "platform/platform.h"
#include "quib/console.h"
#include "smtp/transcript.h"

namespace {

// A cached token is used while more than this is left of it, so that a job
// run every minute asks the endpoint about once an hour.
constexpr long long kCacheMarginSeconds = 5 * 60;
// slow_down asks for this much more between polls (RFC 8628 section 3.5).
constexpr long long kSlowDownSeconds = 5;

const char kNothingSent[] = "aborting, nothing sent\n";

// The OAuth file of a run, read and checked.
struct OauthRun {
  explicit OauthRun(const std::string& file) : path(file) {}
  std::string path;
  Secret text;
  OauthSettings settings;
  ServiceAccountKey key;
  TokenPlan plan;
  PlatformLock lock;
  ~OauthRun() { platform_unlock(&lock); }
};

long long now_seconds() { return static_cast<long long>(std::time(nullptr)); }

int fail(const std::string& line) {
  say(line);
  return -1;
}

// Reads a file that holds a secret (the OAuth file, a key).
int read_private(const std::string& path, Secret* text, std::string* fault) {
  const int read = platform_read_private_file(path, text);
  if (read == kSecretOpenToOthers) {
    *fault = path + " can be read by others: refused (chmod 600 " + path + ")";
  } else if (read != 0) {
    *fault = path + " cannot be read";
  }
  return read == 0 ? 0 : -1;
}

// Reads and checks the OAuth file (again, once the lock is held).
int load(OauthRun* run, std::string* fault) {
  run->text.clear();
  run->settings = OauthSettings();
  if (read_private(run->path, &run->text, fault) != 0) return -1;
  std::string why;
  const int line = parse_oauth_file(run->text.view(), &run->settings, &why);
  if (line != 0) {
    *fault = run->path + " line " + std::to_string(line) + ": " + why;
    return -1;
  }
  if (!run->settings.service_account.empty()) {
    Secret key_text;
    if (read_private(run->settings.service_account, &key_text, fault) != 0) return -1;
    if (read_service_account_key(key_text.view(), &run->key) != 0) {
      *fault = run->settings.service_account + ": not a service account key (JSON)";
      return -1;
    }
  }
  if (plan_token_request(run->settings, run->key.token_uri, &run->plan, &why) != 0) {
    *fault = run->path + ": " + why;
    return -1;
  }
  return 0;
}

// Takes the cached token, if usable, into *token; *cached tells whether it was.
bool take_cached(const OauthSettings& settings, std::string_view refused, Secret* token,
                 bool* cached) {
  *cached = !settings.access_token.empty() && settings.access_token.view() != refused &&
            settings.expires_at - now_seconds() > kCacheMarginSeconds;
  if (*cached) *token = Secret(settings.access_token.view());
  return *cached;
}

// The client assertion or the service account's, where one is needed.
int assertion_for(const OauthRun& run, const std::string& user, Secret* jwt, std::string* fault) {
  std::string why;
  int made = 0;
  if (run.plan.grant == Grant::kJwtBearer) {
    made = service_account_assertion(run.key, user, run.plan.scope, run.plan.token_url,
                                     now_seconds(), jwt, &why);
  } else if (!run.settings.certificate.empty()) {
    Secret pem;
    if (read_private(run.settings.certificate, &pem, fault) != 0) return -1;
    made = client_assertion(pem.view(), run.settings.client_id, run.plan.token_url, now_seconds(),
                            jwt, &why);
  }
  if (made != 0) *fault = "signing the assertion: " + why;
  return made;
}

FormFields token_form(const OauthRun& run, std::string_view assertion) {
  const OauthSettings& s = run.settings;
  FormFields fields;
  switch (run.plan.grant) {
    case Grant::kJwtBearer:
      return {{"grant_type", grant_type_text(Grant::kJwtBearer)}, {"assertion", assertion}};
    case Grant::kRefreshToken:
      fields.emplace_back("client_id", s.client_id);
      if (s.provider != "google") fields.emplace_back("scope", run.plan.scope);
      fields.emplace_back("refresh_token", s.refresh_token.view());
      fields.emplace_back("grant_type", "refresh_token");
      add_client_credential(s, assertion, &fields);
      return fields;
    default:
      fields.emplace_back("client_id", s.client_id);
      fields.emplace_back("scope", run.plan.scope);
      add_client_credential(s, assertion, &fields);
      fields.emplace_back("grant_type", "client_credentials");
      return fields;
  }
}

// The line that tells why the endpoint gave no token.
std::string reply_fault(const OauthRun& run, int read, long status, const TokenReply& reply) {
  std::string line = "token request to " + run.plan.token_url + " (" +
                     grant_type_text(run.plan.grant) + ") failed: HTTP " + std::to_string(status) +
                     ", ";
  if (read == kReplyNotJson) return line + "a reply that is not JSON";
  if (read == kReplyNoToken) return line + "a reply without an access_token";
  line += reply.error;
  if (!reply.error_description.empty()) line += ": " + reply.error_description;
  if (reply.error == "invalid_grant" && run.plan.grant == Grant::kRefreshToken) {
    line += "; run quib -oauth-login " + run.path + " again";
  }
  return line;
}

// POSTs the form to url and reads the reply as a token reply.
int post(const OauthRun& run, const std::string& url, const FormFields& fields, HttpsReply* http,
         std::string* fault) {
  std::string why;
  const int posted = https_post_form(url, form_encode(fields).view(), http, &why);
  if (posted != 0) {
    *fault =
        "token request to " + url + " (" + grant_type_text(run.plan.grant) + ") failed: " + why;
    return kTokenEndpointAway;
  }
  return 0;
}

// Asks the endpoint for a token. 0, or -1 (kTokenEndpointAway when no
// reply came) with *fault.
int fetch(const OauthRun& run, const std::string& user, TokenReply* reply, std::string* fault) {
  Secret assertion;
  if (assertion_for(run, user, &assertion, fault) != 0) return -1;
  const FormFields fields = token_form(run, assertion.view());
  HttpsReply http;
  if (int posted = post(run, run.plan.token_url, fields, &http, fault)) return posted;
  const int read = read_token_reply(http.body.view(), reply);
  if (transcript_on()) {
    transcript_event(
        "token request to " + run.plan.token_url + ": grant_type=" +
        grant_type_text(run.plan.grant) + ", HTTP " + std::to_string(http.status) +
        (read == 0 ? ", expires in " + std::to_string(reply->expires_in) + " s" : ", no token"));
  }
  if (read == 0 && http.status == 200) return 0;
  *fault = reply_fault(run, read == 0 ? kReplyError : read, http.status, *reply);
  return -1;
}

// Writes the new token (and a rotated refresh token) into the file.
int save(OauthRun* run, const TokenReply& reply) {
  const std::string expires = std::to_string(now_seconds() + reply.expires_in);
  std::vector<std::pair<std::string, std::string_view>> values = {
      {"access_token", reply.access_token.view()}, {"expires_at", expires}};
  if (!reply.refresh_token.empty())
    values.emplace_back("refresh_token", reply.refresh_token.view());
  const Secret text = rewrite_oauth_file(run->text.view(), values);
  return run->lock.handle >= 0 ? platform_replace_file(run->path, text.view()) : -1;
}

// The token from the cache or the endpoint, the file rewritten. *fault
// when it fails; *unsaved when the token could not be kept.
int obtain(OauthRun* run, const std::string& user, std::string_view refused, Secret* token,
           bool* cached, std::string* fault) {
  *cached = false;
  if (load(run, fault) != 0) return -1;
  if (run->plan.grant == Grant::kClientCredentials && run->settings.client_secret.empty() &&
      run->settings.certificate.empty()) {
    *fault = run->path + ": no credential (client_secret, certificate, service_account, or a " +
             "refresh_token from quib -oauth-login " + run->path + ")";
    return -1;
  }
  if (take_cached(run->settings, refused, token, cached)) return 0;
  const bool rotating = run->plan.grant == Grant::kRefreshToken;
  if (platform_lock(run->path + ".lock", &run->lock) != 0 || !platform_folder_writable(run->path)) {
    platform_unlock(&run->lock);
    if (rotating) {
      *fault = run->path + " cannot be rewritten (its folder, or " + run->path +
               ".lock): a new refresh token would be lost";
      return -1;
    }
  } else if (load(run, fault) != 0) {
    return -1;
  } else if (take_cached(run->settings, refused, token, cached)) {
    return 0;  // another run fetched it meanwhile
  }
  TokenReply reply;
  if (int fetched = fetch(*run, user, &reply, fault)) return fetched;
  run->settings.expires_at = now_seconds() + reply.expires_in;
  *token = Secret(reply.access_token.view());
  if (save(run, reply) != 0) {
    say(rotating && !reply.refresh_token.empty()
            ? "the new refresh token could not be saved in " + run->path +
                  ": run quib -oauth-login " + run->path + " again\n"
            : "the token could not be kept in " + run->path + "; sending all the same\n");
  }
  return 0;
}

}  // namespace

int oauth_token_for_run(const std::string& path, const std::string& user, std::string_view refused,
                        Secret* token, bool* cached) {
  platform_protect_secrets();
  OauthRun run{path};
  std::string fault;
  const int obtained = obtain(&run, user, refused, token, cached, &fault);
  if (obtained != 0) fail(fault + "\n" + kNothingSent);
  return obtained;
}

int oauth_check(const std::string& path) {
  platform_protect_secrets();
  OauthRun run{path};
  std::string fault;
  Secret token;
  bool cached = false;
  // The mailbox only goes into a service account's assertion as its sub.
  if (obtain(&run, "", "", &token, &cached, &fault) != 0) return fail(fault + "\n");
  const long long left = (run.settings.expires_at - now_seconds()) / 60;
  say(std::string("grant: ") + grant_type_text(run.plan.grant) +
      "\nendpoint: " + run.plan.token_url + "\ntoken: " + (cached ? "cached, " : "new, ") +
      std::to_string(left) + " minutes left\n");
  return 0;
}

namespace {

// Asks for a device code and prints where to enter it. 0, or -1 with *fault.
int start_device_flow(const OauthRun& run, DeviceReply* device, std::string* fault) {
  FormFields fields = {{"client_id", run.settings.client_id}, {"scope", run.plan.scope}};
  HttpsReply http;
  if (post(run, run.plan.device_url, fields, &http, fault) != 0) return -1;
  TokenReply error;
  const int read = read_device_reply(http.body.view(), device, &error);
  if (read == 0 && http.status == 200) {
    say("To sign in, open " + device->verification_uri + " and enter the code " +
        device->user_code + "\n");
    return 0;
  }
  *fault = "device code request to " + run.plan.device_url + " failed: HTTP " +
           std::to_string(http.status) + ", " +
           (read == kReplyError ? error.error + (error.error_description.empty() ? "" : ": ") +
                                      error.error_description
                                : std::string("a reply without a device_code"));
  return -1;
}

// Polls the token endpoint until the user has signed in, the code expired
// or the endpoint refused. 0 with the token in *reply, or -1 with *fault.
int poll_device_flow(const OauthRun& run, const DeviceReply& device, TokenReply* reply,
                     std::string* fault) {
  long long interval = device.interval;
  const long long deadline = now_seconds() + device.expires_in;
  while (now_seconds() < deadline) {
    platform_sleep_ms(static_cast<int>(interval * 1000));
    FormFields fields = {{"grant_type", grant_type_text(Grant::kDeviceCode)},
                         {"client_id", run.settings.client_id},
                         {"device_code", device.device_code.view()}};
    add_client_credential(run.settings, "", &fields);
    HttpsReply http;
    if (post(run, run.plan.token_url, fields, &http, fault) != 0) return -1;
    *reply = TokenReply();
    const int read = read_token_reply(http.body.view(), reply);
    if (read == 0 && http.status == 200) return 0;
    if (read == kReplyError && reply->error == "authorization_pending") continue;
    if (read == kReplyError && reply->error == "slow_down") {
      interval += kSlowDownSeconds;
      continue;
    }
    *fault = reply_fault(run, read == 0 ? kReplyError : read, http.status, *reply);
    return -1;
  }
  *fault = "the code was not entered in time: run quib -oauth-login " + run.path + " again";
  return -1;
}

}  // namespace

int oauth_login(const std::string& path) {
  platform_protect_secrets();
  OauthRun run{path};
  std::string fault;
  if (load(&run, &fault) != 0) return fail(fault + "\n");
  if (run.settings.provider == "google") {
    return fail(
        "Google does not allow its mail scope in the device flow: use a service account "
        "(Google Workspace) or an app password\n");
  }
  if (run.plan.device_url.empty()) return fail(path + ": device_url is missing\n");
  if (platform_lock(path + ".lock", &run.lock) != 0 || !platform_folder_writable(path)) {
    return fail(path + " cannot be rewritten (its folder, or " + path +
                ".lock): the refresh token would be lost\n");
  }
  // The device flow is delegated: the plan's scope is the delegated one.
  run.plan.grant = Grant::kRefreshToken;
  run.settings.refresh_token = Secret("-");
  std::string why;
  plan_token_request(run.settings, run.key.token_uri, &run.plan, &why);
  run.settings.refresh_token.clear();
  DeviceReply device;
  TokenReply reply;
  if (start_device_flow(run, &device, &fault) != 0 ||
      poll_device_flow(run, device, &reply, &fault) != 0) {
    return fail(fault + "\n");
  }
  if (reply.refresh_token.empty()) {
    return fail(
        "the endpoint signed you in but sent no refresh token (is offline_access in the "
        "scope?)\n");
  }
  if (load(&run, &fault) != 0 || save(&run, reply) != 0) {
    return fail("the refresh token could not be saved in " + path + "\n");
  }
  say("signed in: the refresh token is stored in " + path + "\n");
  return 0;
}
