#include "host_port.h"

void split_host_port(const std::string& text, const std::string& service, std::string* host,
                     std::string* port) {
  *host = text;
  *port = service;
  if (!text.empty() && text[0] == '[') {
    std::string::size_type close = text.find(']');
    if (close == std::string::npos) return;  // left whole: it will not resolve
    *host = text.substr(1, close - 1);
    if (close + 1 < text.size() && text[close + 1] == ':') *port = text.substr(close + 2);
    return;
  }
  std::string::size_type colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return;
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
}
