#include "info/d88info.h"
#include "tool/command_line.h"

// Closed standard descriptors are opened first, before any file could take
// their place. A reader that goes away (`| head`), or a file size limit met
// while a piped input is stored, makes writes fail, which d88info reports,
// instead of ending it without a word.
#ifdef _WIN32
// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  if (!d88::OpenClosedStandardDescriptors()) return 2;
  d88::IgnoreWriteSignals();
  return d88::RunWithUtf8Arguments(argc, argv, d88::RunD88Info);
}
#else
int main(int argc, char** argv) {
  if (!d88::OpenClosedStandardDescriptors()) return 2;
  d88::IgnoreWriteSignals();
  return d88::RunD88Info(argc, argv);
}
#endif
