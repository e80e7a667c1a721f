#include "info/report.h"

#include "info/text.h"

namespace info {

using common::ConsoleOutput;

namespace {

// Where PrintLine's text goes instead of standard output; null: nowhere else.
std::string* g_gathered = nullptr;

}  // namespace

ConsoleOutput& AccountOutput() {
  static ConsoleOutput output;
  return output;
}

void PrintLine(const std::string& line) {
  if (g_gathered == nullptr) {
    AccountOutput().Print("%s", line.c_str());
  } else {
    *g_gathered += line;
  }
}

void GatherLines(std::string* into) { g_gathered = into; }

void PrintField(const std::string& label, const std::string& text) {
  PrintLine(Format("  %-12s", label.c_str()) + text + "\n");
}

void PrintMore(const std::string& text) {
  PrintLine(std::string(14, ' ') + text + "\n");
}

std::string DiskCharText(uint8_t disk_char) {
  const char ch = static_cast<char>(disk_char);
  std::string text = Printable(&ch, 1);
  if (disk_char < 0x20 || disk_char > 0x7E) {
    text += Format(" (0x%02X)", static_cast<unsigned>(disk_char));
  }
  return text;
}

}  // namespace info
