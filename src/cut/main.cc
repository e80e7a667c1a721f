#include "common/command_line.h"
#include "cut/d88cut.h"

// Closed standard descriptors are opened first, before any file could take
// their place.
#ifdef _WIN32
// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!common::OpenClosedStandardDescriptors()) return 1;
  cut::SetUpSignals();
  return common::RunWithUtf8Arguments(argc, argv, cut::RunD88Cut);
}
#else
int main(int argc, char** argv) {
  if (!common::OpenClosedStandardDescriptors()) return 1;
  cut::SetUpSignals();
  return cut::RunD88Cut(argc, argv);
}
#endif
