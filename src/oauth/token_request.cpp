#include "oauth/token_request.h"

namespace {

struct Provider {
  const char* name;
  const char* token_url;  // "{tenant}" stands for the tenant
  const char* device_url;
  const char* app_scope;        // client credentials and service accounts
  const char* delegated_scope;  // refresh tokens and the device flow
};

const Provider kProviders[] = {
    {"microsoft", "https://login.microsoftonline.com/{tenant}/oauth2/v2.0/token",
     "https://login.microsoftonline.com/{tenant}/oauth2/v2.0/devicecode",
     "https://outlook.office365.com/.default",
     "https://outlook.office.com/SMTP.Send offline_access"},
    {"google", "https://oauth2.googleapis.com/token", "", "https://mail.google.com/",
     "https://mail.google.com/"},
    {"generic", "", "", "", ""},
};

const char kClientAssertionType[] = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

std::string with_tenant(std::string text, const std::string& tenant) {
  const std::size_t at = text.find("{tenant}");
  if (at != std::string::npos) text.replace(at, 8, tenant);
  return text;
}

int refuse(const std::string& text, std::string* why) {
  *why = text;
  return -1;
}

}  // namespace

const char* grant_type_text(Grant grant) {
  switch (grant) {
    case Grant::kRefreshToken:
      return "refresh_token";
    case Grant::kJwtBearer:
      return "urn:ietf:params:oauth:grant-type:jwt-bearer";
    case Grant::kDeviceCode:
      return "urn:ietf:params:oauth:grant-type:device_code";
    default:
      return "client_credentials";
  }
}

bool token_url_allowed(std::string_view url) {
  if (url.substr(0, 8) == "https://") return url.size() > 8;
  if (url.substr(0, 7) != "http://") return false;
  const std::string_view rest = url.substr(7);
  for (std::string_view host : {"127.0.0.1", "[::1]"}) {
    if (rest.substr(0, host.size()) == host &&
        (rest.size() == host.size() || rest[host.size()] == ':' || rest[host.size()] == '/')) {
      return true;
    }
  }
  return false;
}

int plan_token_request(const OauthSettings& settings, const std::string& key_token_uri,
                       TokenPlan* plan, std::string* why) {
  const Provider* provider = nullptr;
  for (const Provider& candidate : kProviders) {
    if (settings.provider == candidate.name) provider = &candidate;
  }
  if (provider == nullptr) return refuse("provider must be microsoft, google or generic", why);
  if (settings.client_id.empty() && settings.service_account.empty()) {
    return refuse("client_id is missing", why);
  }
  const int credentials = !settings.client_secret.empty() + !settings.certificate.empty() +
                          !settings.service_account.empty();
  if (credentials > 1) {
    return refuse("at most one of client_secret, certificate and service_account may be given",
                  why);
  }
  plan->grant = !settings.refresh_token.empty()     ? Grant::kRefreshToken
                : !settings.service_account.empty() ? Grant::kJwtBearer
                                                    : Grant::kClientCredentials;
  const bool microsoft = settings.provider == "microsoft";
  if (microsoft && settings.tenant.empty() &&
      (settings.token_url.empty() || settings.device_url.empty())) {
    return refuse("tenant is missing (the tenant's id or domain)", why);
  }
  plan->token_url = !settings.token_url.empty() ? settings.token_url
                    : !key_token_uri.empty()    ? key_token_uri
                                                : with_tenant(provider->token_url, settings.tenant);
  plan->device_url = !settings.device_url.empty()
                         ? settings.device_url
                         : with_tenant(provider->device_url, settings.tenant);
  const bool delegated = plan->grant == Grant::kRefreshToken;
  plan->scope = !settings.scope.empty() ? settings.scope
                : delegated             ? provider->delegated_scope
                                        : provider->app_scope;
  if (plan->token_url.empty()) return refuse("token_url is missing", why);
  if (!token_url_allowed(plan->token_url) ||
      (!plan->device_url.empty() && !token_url_allowed(plan->device_url))) {
    return refuse("the endpoints must be https:// (http:// only to 127.0.0.1 or [::1])", why);
  }
  return 0;
}

Secret form_encode(const FormFields& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  Secret form;
  for (const auto& field : fields) {
    if (!form.empty()) form.append('&');
    for (const std::string_view* part : {&field.first, &field.second}) {
      for (unsigned char c : *part) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
          form.append(static_cast<char>(c));
        } else {
          form.append('%');
          form.append(kHex[c >> 4]);
          form.append(kHex[c & 15]);
        }
      }
      if (part == &field.first) form.append('=');
    }
  }
  return form;
}

void add_client_credential(const OauthSettings& settings, std::string_view assertion,
                           FormFields* fields) {
  if (!settings.client_secret.empty()) {
    fields->emplace_back("client_secret", settings.client_secret.view());
  } else if (!assertion.empty()) {
    fields->emplace_back("client_assertion_type", kClientAssertionType);
    fields->emplace_back("client_assertion", assertion);
  }
}
