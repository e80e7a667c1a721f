#include "common/command_line.h"
#include "paste/d88paste.h"

#ifdef _WIN32

// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!common::OpenClosedStandardDescriptors()) return 1;
  paste::SetUpSignals();
  return common::RunWithUtf8Arguments(argc, argv, paste::RunD88Paste);
}
#else
int main(int argc, char** argv) {
  // Closed standard descriptors would otherwise be taken by the input or
  // the copy being written, and text meant for the console would land there.
  if (!common::OpenClosedStandardDescriptors()) return 1;
  paste::SetUpSignals();
  return paste::RunD88Paste(argc, argv);
}
#endif
