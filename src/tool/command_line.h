// The command line and the console, the same way on every platform: the
// tools see their arguments as UTF-8 on Windows (as the bytes given
// elsewhere), and paths go back to the console in its own code page.

#ifndef TOOL_COMMAND_LINE_H_
#define TOOL_COMMAND_LINE_H_

#include <cstddef>

#ifdef _WIN32
#include <cwchar>
#endif

namespace d88 {

#ifdef _WIN32
// Calls `run` with the wide command line `argv` converted to UTF-8 and
// returns its result. Any file name can then pass through the tools, not
// only those of the ANSI code page.
int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*run)(int, char**));
#endif

// The path of the running executable (UTF-8 on Windows); `fallback` if it
// cannot be found.
const char* OwnExecutablePath(const char* fallback);

// `path` (UTF-8 on Windows) as the console shows it: on Windows converted to
// the console's output code page (the ANSI code page when there is no
// console), each character that page lacks as '?', into `buf` of `size`
// bytes; elsewhere `path` itself.
const char* PathForConsole(const char* path, char* buf, size_t size);

}  // namespace d88

#endif  // TOOL_COMMAND_LINE_H_
