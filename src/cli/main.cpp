#include "cli/command_line.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform_prepare_process();
  return quib_main(argc, argv);
}
