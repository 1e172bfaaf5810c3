// For a target that drives the dialogue, included by its one source file:
// the scripted socket library, installed and loaded at start-up as the
// mailer loads the real one, playing g_script.
#pragma once

#include <cstdlib>

#include "fakes/fake_gensock.h"
#include "smtp/socket_library.h"

fake::Script g_script;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fake::install(&g_script);
  if (load_socket_library() != 0) std::abort();
  return 0;
}
