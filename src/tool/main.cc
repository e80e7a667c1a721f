#include "tool/d88cut.h"

#ifdef _WIN32
#include "tool/command_line.h"

// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  d88::SetUpSignals();
  return d88::RunWithUtf8Arguments(argc, argv, d88::RunD88Cut);
}
#else
int main(int argc, char** argv) {
  d88::SetUpSignals();
  return d88::RunD88Cut(argc, argv);
}
#endif
