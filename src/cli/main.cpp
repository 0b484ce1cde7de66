#include <string>
#include <vector>

#include "cli/RunDriver.h"
#include "platform/SystemPlatform.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  auto platform = sondrel::MakeSystemPlatform();
  return sondrel::RunSondrel(*platform, args, stdout, stderr);
}
