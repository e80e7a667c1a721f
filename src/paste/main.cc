#include "paste/d88paste.h"

#ifdef _WIN32
#include "common/command_line.h"

// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  paste::SetUpSignals();
  return common::RunWithUtf8Arguments(argc, argv, paste::RunD88Paste);
}
#else
int main(int argc, char** argv) {
  paste::SetUpSignals();
  return paste::RunD88Paste(argc, argv);
}
#endif
