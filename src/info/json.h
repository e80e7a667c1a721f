// Writing JSON for d88info --json: a writer that always makes valid JSON and
// valid UTF-8, and the decoding of disk names from Shift-JIS.

#ifndef INFO_JSON_H_
#define INFO_JSON_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace info {

// Appends JSON to a string. Commas and the escaping of strings are its
// business; the caller opens and closes objects and arrays in order and
// gives each object member its key first.
class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }

  // The key of the next member of the object open.
  void Key(const char* key);

  // A string from bytes that should be UTF-8: each byte that does not
  // begin a valid sequence becomes U+FFFD; control characters are escaped.
  void String(const std::string& utf8);
  void Int(long long value);
  void Bool(bool value);
  void Null();

  // Key and value at once.
  void Member(const char* key, const std::string& value) {
    Key(key);
    String(value);
  }
  void Member(const char* key, long long value) {
    Key(key);
    Int(value);
  }
  void BoolMember(const char* key, bool value) {
    Key(key);
    Bool(value);
  }

  // A value that is already JSON, written by another JsonWriter.
  void Raw(const std::string& json) {
    BeforeValue();
    text_ += json;
  }

  const std::string& text() const { return text_; }

 private:
  void Open(char bracket);
  void Close(char bracket);
  void BeforeValue();

  std::string text_;
  bool first_ = true;  // nothing written yet in the object or array open
  bool after_key_ = false;
};

// The bytes of a disk name decoded as Shift-JIS (code page 932) into UTF-8:
// ASCII, half-width katakana, and of the double-byte characters the
// ideographic space, 、。・ー, full-width digits and Latin letters, hiragana
// and katakana; every other double-byte character, and any byte that begins
// none, becomes U+FFFD.
std::string ShiftJisToUtf8(const uint8_t* bytes, size_t len);

// The bytes in lowercase hex.
std::string HexBytes(const uint8_t* bytes, size_t len);

}  // namespace info

#endif  // INFO_JSON_H_
