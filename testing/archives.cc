#include "testing/archives.h"

namespace d88test {

namespace {

void PutU16(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8 & 0xFF));
}

void PutU32(Bytes& out, uint32_t v) {
  PutU16(out, v & 0xFFFF);
  PutU16(out, v >> 16);
}

void PutText(Bytes& out, const std::string& text) {
  out.insert(out.end(), text.begin(), text.end());
}

// A deflate stream of stored blocks of at most 65,535 bytes each.
Bytes StoredDeflate(const Bytes& data) {
  Bytes out;
  size_t at = 0;
  do {
    const size_t n = data.size() - at < 0xFFFF ? data.size() - at : 0xFFFF;
    out.push_back(at + n == data.size() ? 1 : 0);  // BFINAL, BTYPE 00
    PutU16(out, static_cast<uint32_t>(n));
    PutU16(out, static_cast<uint32_t>(~n & 0xFFFF));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < data.size());
  return out;
}

}  // namespace

uint32_t Crc32(const Bytes& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
  }
  return ~crc;
}

Bytes ZipOf(const std::string& name, const Bytes& data, ZipMethod method) {
  const bool deflated = method == ZipMethod::kDeflated;
  const Bytes stored = deflated ? StoredDeflate(data) : data;
  const uint32_t crc = Crc32(data);
  // Version 2.0, no flags, the method, a time and date, the CRC and sizes,
  // the name's length, no extra field.
  auto entry_fields = [&](Bytes& out) {
    for (uint32_t v : {20u, 0u, deflated ? 8u : 0u, 0x6000u, 0x5A21u}) {
      PutU16(out, v);
    }
    PutU32(out, crc);
    PutU32(out, static_cast<uint32_t>(stored.size()));
    PutU32(out, static_cast<uint32_t>(data.size()));
    PutU16(out, static_cast<uint32_t>(name.size()));
    PutU16(out, 0);
  };
  Bytes zip;
  PutU32(zip, 0x04034B50);  // local file header
  entry_fields(zip);
  PutText(zip, name);
  Append(zip, stored);
  const uint32_t directory = static_cast<uint32_t>(zip.size());
  PutU32(zip, 0x02014B50);  // central directory entry
  PutU16(zip, 20);
  entry_fields(zip);
  for (int i = 0; i < 3; ++i) PutU16(zip, 0);  // comment, disk, attributes
  PutU32(zip, 0);                              // external attributes
  PutU32(zip, 0);                              // offset of the local header
  PutText(zip, name);
  const uint32_t directory_size = static_cast<uint32_t>(zip.size()) - directory;
  PutU32(zip, 0x06054B50);  // end of the central directory
  for (uint32_t v : {0u, 0u, 1u, 1u}) PutU16(zip, v);
  PutU32(zip, directory_size);
  PutU32(zip, directory);
  PutU16(zip, 0);
  return zip;
}

Bytes GzipOf(const Bytes& data) {
  // Deflate, no flags, no time, no extra flags, Unix.
  Bytes gz = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 3};
  Append(gz, StoredDeflate(data));
  PutU32(gz, Crc32(data));
  PutU32(gz, static_cast<uint32_t>(data.size()));
  return gz;
}

Bytes LzhOf(const std::string& name, const Bytes& data) {
  // From the method on: method, sizes, time, attribute, level 0, name,
  // CRC-16 (left 0: no reader here checks it).
  Bytes rest;
  PutText(rest, "-lh0-");
  PutU32(rest, static_cast<uint32_t>(data.size()));
  PutU32(rest, static_cast<uint32_t>(data.size()));
  PutU32(rest, 0x5A216000);
  rest.push_back(0x20);
  rest.push_back(0);
  rest.push_back(static_cast<uint8_t>(name.size()));
  PutText(rest, name);
  PutU16(rest, 0);
  uint8_t sum = 0;
  for (uint8_t b : rest) sum = static_cast<uint8_t>(sum + b);
  Bytes lzh = {static_cast<uint8_t>(rest.size()), sum};
  Append(lzh, rest);
  Append(lzh, data);
  lzh.push_back(0);  // the end of the archive
  return lzh;
}

Bytes SevenZipSignatureOf(const Bytes& data) {
  // Signature, version 0.4, then the start header's CRC, the next header's
  // offset, size and CRC, left 0.
  Bytes out = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  out.resize(32, 0);
  Append(out, data);
  return out;
}

}  // namespace d88test
