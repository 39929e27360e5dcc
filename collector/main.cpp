// vorn-collector: the command line. It reads the command and hands it to its
// function in ops/; everything the commands do is there and below.
#include "ops/command_line.h"

int main(int argc, char** argv) {
  collector::CommandLine line;
  const int status = collector::readCommandLine(line, argc, argv);
  return status >= 0 ? status : collector::runCommandLine(line);
}
