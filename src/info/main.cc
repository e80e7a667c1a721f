#include "common/command_line.h"
#include "info/d88info.h"

// Closed standard descriptors are opened first, before any file could take
// their place. A reader that goes away (`| head`), or a file size limit met
// while a piped input is stored, makes writes fail, which d88info reports,
// instead of ending it without a word.
#ifdef _WIN32
// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!common::OpenClosedStandardDescriptors()) return 2;
  common::IgnoreWriteSignals();
  return common::RunWithUtf8Arguments(argc, argv, info::RunD88Info);
}
#else
int main(int argc, char** argv) {
  if (!common::OpenClosedStandardDescriptors()) return 2;
  common::IgnoreWriteSignals();
  return info::RunD88Info(argc, argv);
}
#endif
