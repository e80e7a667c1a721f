#include "tool/command_line.h"
#include "tool/d88cut.h"

// Closed standard descriptors are opened first, before any file could take
// their place.
#ifdef _WIN32
// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!d88::OpenClosedStandardDescriptors()) return 1;
  d88::SetUpSignals();
  return d88::RunWithUtf8Arguments(argc, argv, d88::RunD88Cut);
}
#else
int main(int argc, char** argv) {
  if (!d88::OpenClosedStandardDescriptors()) return 1;
  d88::SetUpSignals();
  return d88::RunD88Cut(argc, argv);
}
#endif
