#include "info/text.h"

#include <cstdarg>
#include <cstdio>

#include "info/sha256.h"

namespace info {

using d88::SectorId;

std::string Format(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  return buf;
}

std::string Printable(const char* bytes, size_t len) {
  std::string out(bytes, len);
  for (char& ch : out) {
    const unsigned char u = static_cast<unsigned char>(ch);
    if (u < 0x20 || u == 0x7F) ch = '.';
  }
  return out;
}

std::string Count(long long count, const char* one, const char* many) {
  return Format("%lld %s", count, count == 1 ? one : many);
}

std::string IdText(SectorId id) {
  return Format("%d/%d/%d/%d", id.c, id.h, id.r, id.n);
}

std::string TrackList(const std::vector<int32_t>& tracks) {
  std::string out;
  for (size_t i = 0; i < tracks.size();) {
    size_t j = i;
    while (j + 1 < tracks.size() && tracks[j + 1] == tracks[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += j == i ? Format("%d", tracks[i])
                  : Format("%d-%d", tracks[i], tracks[j]);
    i = j + 1;
  }
  return out;
}

int32_t EarlierTexts::Find(int32_t index, const std::string& text) {
  const std::string digest =
      Sha256Hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  for (const Kept& kept : kept_) {
    if (kept.size == text.size() && kept.digest == digest) return kept.index;
  }
  if (text.size() <= max_kept_ - size_) {
    size_ += text.size();
    kept_.push_back({index, text.size(), digest});
  }
  return -1;
}

}  // namespace info
