#include "app/front_end.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  platform::RequestRedirectionGuard();
  return RunCommandLine(argc, argv);
}
