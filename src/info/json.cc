#include "info/json.h"

#include "info/text.h"

namespace info {

namespace {

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr uint32_t kReplacement = 0xFFFD;

// The length of the valid UTF-8 sequence at `p` (`left` bytes on) and its
// code point; 0 when none begins there.
size_t DecodeUtf8(const unsigned char* p, size_t left, uint32_t* cp) {
  const unsigned char b = p[0];
  size_t len = 0;
  uint32_t min = 0;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    *cp = b & 0x1Fu;
    min = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    *cp = b & 0x0Fu;
    min = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    *cp = b & 0x07u;
    min = 0x10000;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    *cp = *cp << 6 | (p[i] & 0x3Fu);
  }
  if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

// The code point of the double-byte Shift-JIS character `lead`, `trail`
// among those ShiftJisToUtf8 maps; kReplacement for the others.
uint32_t DoubleByte(unsigned lead, unsigned trail) {
  if (lead == 0x81) {
    switch (trail) {
      case 0x40:
        return 0x3000;  // ideographic space
      case 0x41:
        return 0x3001;  // 、
      case 0x42:
        return 0x3002;  // 。
      case 0x45:
        return 0x30FB;  // ・
      case 0x5B:
        return 0x30FC;  // ー
      default:
        return kReplacement;
    }
  }
  if (lead == 0x82) {
    if (trail >= 0x4F && trail <= 0x58) return 0xFF10 + trail - 0x4F;
    if (trail >= 0x60 && trail <= 0x79) return 0xFF21 + trail - 0x60;
    if (trail >= 0x81 && trail <= 0x9A) return 0xFF41 + trail - 0x81;
    if (trail >= 0x9F && trail <= 0xF1) return 0x3041 + trail - 0x9F;
  }
  if (lead == 0x83) {
    // Katakana, with 0x7F left out of the trail bytes.
    if (trail >= 0x40 && trail <= 0x7E) return 0x30A1 + trail - 0x40;
    if (trail >= 0x80 && trail <= 0x96) return 0x30E0 + trail - 0x80;
  }
  return kReplacement;
}

}  // namespace

void JsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_) text_ += ',';
  first_ = false;
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  text_ += bracket;
  first_ = true;
}

void JsonWriter::Close(char bracket) {
  text_ += bracket;
  first_ = false;
}

void JsonWriter::Key(const char* key) {
  if (!first_) text_ += ',';
  first_ = false;
  text_ += '"';
  text_ += key;
  text_ += "\":";
  after_key_ = true;
}

void JsonWriter::String(const std::string& utf8) {
  BeforeValue();
  text_ += '"';
  const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t left = utf8.size();
  while (left > 0) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(p, left, &cp);
    if (len == 0) {
      cp = kReplacement;
      len = 1;
    }
    if (cp == '"' || cp == '\\') {
      text_ += '\\';
      text_ += static_cast<char>(cp);
    } else if (cp < 0x20 || cp == 0x7F) {
      text_ += Format("\\u%04X", static_cast<unsigned>(cp));
    } else {
      AppendUtf8(text_, cp);
    }
    p += len;
    left -= len;
  }
  text_ += '"';
}

void JsonWriter::Int(long long value) {
  BeforeValue();
  text_ += Format("%lld", value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
}

std::string ShiftJisToUtf8(const uint8_t* bytes, size_t len) {
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    const unsigned b = bytes[i];
    const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    if (b < 0x80) {
      AppendUtf8(out, b);
    } else if (b >= 0xA1 && b <= 0xDF) {
      AppendUtf8(out, 0xFF61 + b - 0xA1);  // half-width katakana
    } else if (lead && i + 1 < len && bytes[i + 1] >= 0x40 &&
               bytes[i + 1] <= 0xFC && bytes[i + 1] != 0x7F) {
      AppendUtf8(out, DoubleByte(b, bytes[i + 1]));
      ++i;
    } else {
      AppendUtf8(out, kReplacement);
    }
  }
  return out;
}

std::string HexBytes(const uint8_t* bytes, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace info
