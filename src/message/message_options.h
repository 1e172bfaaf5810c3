// What the command line asks of the message beyond the classic options.
#pragma once

#include <string>
#include <vector>

#include "message/header_fields.h"

struct MessageOptions {
  std::vector<const char*> attachments;  // -attach: the files, in the order given
  int html = 0;                          // -html: the body is text/html
  const char* charset = "";              // -charset: the body's (and header's) character set
  std::string message_id;                // written as Message-ID when not empty
  std::vector<HeaderField> headers;      // -header, in the order given
  std::vector<const char*> embeds;       // -embed: inline files of an HTML body
};
