// How d88info writes its account: to standard output through one
// ConsoleOutput, line by line, with the lines of a part gathered first
// where the part may repeat an earlier one.

#ifndef INFO_REPORT_H_
#define INFO_REPORT_H_

#include <cstdint>
#include <string>

#include "common/command_line.h"

namespace info {

// The account's standard output for the run.
common::ConsoleOutput& AccountOutput();

// Writes `line` to AccountOutput(), or, after GatherLines(&text), appends
// it to `text` until GatherLines(nullptr).
void PrintLine(const std::string& line);
void GatherLines(std::string* into);

// A field of the account: "  label       text".
void PrintField(const std::string& label, const std::string& text);

// A further line of the field above.
void PrintMore(const std::string& text);

// The disk character of a signature; a byte outside printable ASCII is also
// given in hex.
std::string DiskCharText(uint8_t disk_char);

}  // namespace info

#endif  // INFO_REPORT_H_
