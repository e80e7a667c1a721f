// Small text helpers for d88info's account.

#ifndef INFO_TEXT_H_
#define INFO_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "d88/d88_format.h"

namespace info {

// printf-style formatting; the result is cut at 255 bytes.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The bytes as they are, which keeps Shift-JIS text intact, with control
// bytes shown as '.' so that a name cannot end a line or move the cursor.
std::string Printable(const char* bytes, size_t len);

// "1 sector", "2 sectors".
std::string Count(long long count, const char* one, const char* many);

// "C/H/R/N".
std::string IdText(d88::SectorId id);

// Sorted track indexes as ranges: "0-4, 6, 64".
std::string TrackList(const std::vector<int32_t>& tracks);

// Texts seen before, each with the index of what it came from, to tell
// when a text repeats an earlier one. Keeps texts of at most `max_kept`
// bytes in all: once that is used up, later texts are not kept and so never
// found. A text is kept as its length and SHA-256 digest, not its bytes.
class EarlierTexts {
 public:
  explicit EarlierTexts(size_t max_kept = 256 * 1024) : max_kept_(max_kept) {}

  // The index of the first earlier text equal to `text`, or -1; in that
  // case `text` is kept with `index`, while there is room.
  int32_t Find(int32_t index, const std::string& text);

 private:
  struct Kept {
    int32_t index;
    size_t size;
    std::string digest;
  };
  std::vector<Kept> kept_;
  size_t max_kept_;
  size_t size_ = 0;
};

}  // namespace info

#endif  // INFO_TEXT_H_
