// placeholder until the forge and recovery land
#include "cli.h"
namespace salvor::cli {
int cmdDemo(const std::vector<std::string>&) { return kExitFailure; }
int cmdRecover(const std::vector<std::string>&) { return kExitFailure; }
}
