#include "cut/d88cut.h"

#ifdef _WIN32
#include "common/command_line.h"

// The wide command line carries every file name; the tool takes it as UTF-8.
int wmain(int argc, wchar_t** argv) {
  cut::SetUpSignals();
  return common::RunWithUtf8Arguments(argc, argv, cut::RunD88Cut);
}
#else
int main(int argc, char** argv) {
  cut::SetUpSignals();
  return cut::RunD88Cut(argc, argv);
}
#endif
