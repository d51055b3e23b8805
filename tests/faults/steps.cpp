// The file layer's driver for the step table in faults_test.cpp: rewrites the
// file named by its second argument as "new\n", or with "delete" first
// removes it, and exits with the number of the step that failed (0 when none
// did). The exit status, not output, carries it: a write of the driver's own
// could be the call that fails.
#include <cstring>

#include "platform/files.h"

namespace {

platform::Status Rewrite(const char* path) {
  platform::FileContents file;
  platform::AtomicFileWriter out;
  platform::Status status = file.Load(path);
  if (status.ok()) status = out.Open(file);
  if (status.ok()) status = out.Write("new\n");
  if (status.ok()) status = out.Commit();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 100;
  const platform::Status status =
      std::strcmp(argv[1], "delete") == 0 ? platform::DeleteOneFile(argv[2]) : Rewrite(argv[2]);
  return static_cast<int>(status.step);
}
