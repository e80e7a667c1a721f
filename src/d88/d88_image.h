// Reader for D88 disk image files.

#ifndef D88_D88_IMAGE_H_
#define D88_D88_IMAGE_H_

#include <cstddef>
#include <cstdint>

#include "d88/d88_format.h"
#include "d88/input_file.h"

namespace d88 {

// What a track table entry of the selected image leads to, as every read of
// the track sees it.
enum class TrackState {
  kAbsent,   // the entry is 0 (or the index is outside the table): no track
  kOutside,  // the entry points before the image or past its disk size:
             // reads find nothing there
  kPresent,  // reads walk the track's records from there; past the end of
             // the file they find none
};

// Where a sector's data lies in the file: the offset of its first byte and
// the data size that its record's header gives.
struct SectorLocation {
  int64_t offset;
  int32_t data_size;
};

// Reads sectors from the images of one D88 file.
//
// The reader keeps one open file and works through positioned reads on it.
// The file is assumed not to change while it is open: the reader keeps
// bytes of it and what walks over its tracks found, and answers later reads
// from them.
//
// A track's records are walked once for a lookup with a given C, H and N:
// that walk notes, for each R from 0 to 255, the first record with ID
// (C, H, R, N) and its data size, so that lookups for other sectors of the
// track with the same C, H and N (the sectors of one track of a disk)
// need no further walk. A lookup with another C, H or N walks the track
// again and replaces what was noted. SelectImage and Open drop everything
// noted. The results are exactly those of a walk from the track's first
// record for every lookup: the first match wins, the walk ends where
// described under ReadTrackHeaders, and data is read from the file when a
// lookup asks for it.
//
// Walks and data reads read the file in blocks of kFetchSize bytes, of which
// the last 8 read stay in memory (one read serves a whole track of the
// common formats). The record headers that walks read are kept too, by file
// offset, so that walks from any track of any image that reach records
// already walked read nothing.
//
// Memory: the object itself is small and may live on the stack. The first
// Open allocates, once for the object's life, 128 KiB of file blocks and
// room for what walks found (328 KiB: 256 notes of 8 bytes for each of the
// 164 tracks, kept densely, so that ordinary images use a few KiB of it),
// whatever the file holds; pages are touched only as they are used. The
// record headers are kept in a table of 90 KiB (6,144 slots of 15 bytes,
// 3 of them the sector marks, taken only once a header has marks),
// enough for the walks of ordinary images, which grows to 1.41 MiB (98,304
// slots) when walks reach more than 4,096 records or offsets past 1 GiB,
// and goes back to the small table at the next Open. Bytes in memory
// (OpenMemory) are read in place, not copied into blocks.
// Work: between two SelectImage calls, one walk of at most 65,535 records
// per track for each change of C, H or N on it, however many lookups; a
// caller that keeps C, H and N per track, as a disk's tracks have them,
// walks each track of each image at most once.
// Reads: a record header is read from the file only by the first walk since
// Open that reaches it, with at most two positioned reads of kFetchSize
// bytes (one unless it crosses the end of a block, none if a kept block
// holds it); later walks over it read nothing, but for the 4,096 headers at
// most that the small table held when it grew, read once more. So the walks
// of one Open read at most 32 KiB in two reads per distinct record they
// reach (and those 4,096 again), as long as the kept headers hold those
// records: the longest walk fills two thirds of the large table, and its
// headers all stay kept but for a rare few whose place is crowded. Where
// walks reach far more records, the headers of the latest walks are kept,
// and a walk over records whose headers were dropped reads them again, two
// reads per record at most. A lookup's data costs one read per block it
// spans that is not kept. ReadTrackIds reads through the kept blocks alone.
//
// Usage: Open, GetImageCount, then per image SelectImage, optionally
// SetSectorRange, then any number of ReadSector, ReadSectors and
// ReadTrackIds.
//
// A pipe, FIFO, socket, terminal or other character device (a stream) is
// read only as far as reads need its bytes, into an anonymous temporary
// file, so that it reads exactly as a file holding the same bytes; at most
// kMaxStreamSize bytes of it are read. Bytes in memory (OpenMemory) read
// exactly as a file holding them.
//
// No operation prints or throws; failure shows only in the results. A read
// that fails delivers only what arrived before the failure, as the end of
// the file would; GetReadError tells the two apart. Damaged files (truncated
// tracks, sector counts that disagree, negative or huge offsets and sizes)
// make reads deliver fewer bytes, never read outside the file or the
// caller's buffer, and never loop without end.
//
// Not thread-safe: operations share the open file, the selection and what
// the reader keeps.
class D88Image {
 public:
  // Bytes that one read of the file fetches: room for a whole track of the
  // common formats (eight records of 1024 bytes take 8,320 bytes, eighteen
  // of 512 bytes 9,504). Blocks start at multiples of it in the file.
  static constexpr size_t kFetchSize = 16384;

  // One past the last file offset any lookup can read: images start at
  // offsets up to 2^31 - 1, a track up to a disk size (at most 2^31 - 1)
  // beyond its image, and a walk covers at most kMaxSectorCount records of
  // up to 16 + 65535 bytes each.
  static constexpr int64_t kMaxReadExtent =
      int64_t{INT32_MAX} + INT32_MAX +
      int64_t{kMaxSectorCount} *
          static_cast<int64_t>(kSectorHeaderSize + 0xFFFF);

  // The most bytes read of a stream: a read that needs more fails, with
  // GetReadError telling why. 64 images of the largest real disk take
  // less than 100 MB; a stream that never ends fails within seconds.
  static constexpr int64_t kMaxStreamSize = int64_t{256} << 20;

  // What made the last Open fail.
  enum class OpenFailure {
    kNone,    // it did not fail
    kFile,    // the file could not be opened, or is a directory
    kMemory,  // the reader's memory could not be allocated
    kStream,  // a stream has nowhere to be copied to
  };

  D88Image();
  ~D88Image();

  D88Image(const D88Image&) = delete;
  D88Image& operator=(const D88Image&) = delete;

  // Opens `path` (UTF-8 on Windows) for binary reading and indexes its
  // images: at most kMaxImages, each where a whole image header can be read.
  // A file that is already open is closed first. Returns false if the file
  // cannot be opened or is a directory, if the reader's memory cannot be
  // allocated, or if a stream has nowhere to be copied to; GetOpenFailure
  // and GetError then tell why. An empty file opens with no images.
  //
  // A null `path` closes the file, sets the image count to 0 and returns
  // true. The selected image's fields are kept until the next SelectImage.
  bool Open(const char* path);

  // Opens the `size` bytes at `data` as Open opens a file holding them, with
  // the same results for every later call. The bytes are not copied: the
  // caller keeps them alive and unchanged until the next Open or the
  // reader's end. Fails only if the reader's memory cannot be allocated.
  bool OpenMemory(const void* data, size_t size);

  // The last error, as the system words it: why the last Open or
  // OpenMemory failed (for a file that could not be opened, the system's
  // reason, such as "No such file or directory"), or else the first error
  // met while reading since then (GetReadError). Null if there was none.
  const char* GetError() const;

  // What made the last Open fail; kNone after one that succeeded.
  OpenFailure GetOpenFailure() const { return open_failure_; }

  // The first error met while reading the file since the last Open began,
  // as the system words it (a failed read, or why a stream could not be
  // read or copied); null if there was none. Also null after an Open that
  // failed for any cause but kStream.
  const char* GetReadError() const { return file_.error(); }

  // Number of images indexed by the last Open, 0 to kMaxImages.
  int32_t GetImageCount() const { return image_count_; }

  // Loads the header of image `index`. Returns false, with no image
  // selected, if no file is open, the index is out of range or the header
  // cannot be read whole.
  bool SelectImage(int32_t index);

  // Sets the sector numbers R that begin and end every track, used by
  // ReadSectors to step from one track to the next. Survives SelectImage.
  void SetSectorRange(int32_t first, int32_t last) {
    first_sector_ = first;
    last_sector_ = last;
  }

  // Reads the data of the first sector with ID (c, h, r, n) on track `track`
  // of the selected image into `buf`, at most `max_len` bytes (the caller
  // ensures `buf` holds that many). Returns the number of bytes read: the
  // record's data size lowered to `max_len`, less if the file ends inside the
  // data; 0 if the track is absent or invalid or holds no such sector. Bytes
  // of `buf` that the file did not supply keep their contents.
  int32_t ReadSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                     uint8_t* buf, int32_t max_len);
  int32_t ReadSector(int32_t track, SectorId id, uint8_t* buf,
                     int32_t max_len) {
    return ReadSector(track, id.c, id.h, id.r, id.n, buf, max_len);
  }

  // Finds the sector that ReadSector(track, c, h, r, n, ...) reads, by the
  // same lookup, and stores where its data lies into `where`. Returns false,
  // leaving `where` alone, where ReadSector finds no sector. The data may
  // run past the end of the file, where ReadSector delivers fewer bytes;
  // GetFileSize tells.
  bool LocateSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                    SectorLocation* where);

  // Reads `len` bytes from consecutive sectors into `buf` (which must hold
  // `len` bytes), in chunks of 128 << n bytes; only the last chunk may be
  // short. After the last sector of the range the run steps to the next
  // track: head 0 to head 1 on the same cylinder, head 1 to head 0 of the
  // next cylinder, both at the first sector. Stops at the first chunk that
  // cannot be read whole. Returns the bytes of the whole chunks read; bytes
  // of a failing chunk that did arrive stay in `buf` but are not counted.
  // Returns 0 for a size code outside 0 to kMaxSizeCode. C, H and R count
  // on past 255 as plain integers, and then match no sector.
  int32_t ReadSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                      uint8_t* buf, int32_t len);
  int32_t ReadSectors(int32_t track, SectorId first, uint8_t* buf,
                      int32_t len) {
    return ReadSectors(track, first.c, first.h, first.r, first.n, buf, len);
  }

  // Stores the IDs (C, H, R, N) of the records of track `track`, 4 bytes
  // each, into `buf`, as many as fit in `len` bytes. Returns the number of
  // bytes stored.
  int32_t ReadTrackIds(int32_t track, uint8_t* buf, int32_t len);

  // Stores the headers of the records of track `track` that ReadSector's
  // walk visits, in file order, into `headers` (room for `max_headers`).
  // The walk ends after a record whose count is 0 (ReadSector never finds
  // one), after the record at position count - 1 by its own header's count,
  // after the first header's count of records, where a whole header cannot
  // be read, or when `max_headers` are stored; a buffer of kMaxSectorCount
  // headers holds every walk whole. Returns the number stored; 0 for an absent
  // or invalid track. `file_ended`, unless null, tells whether the walk ended
  // because a header could not be read whole. Reads no sector data.
  int32_t ReadTrackHeaders(int32_t track, SectorHeader* headers,
                           int32_t max_headers, bool* file_ended);

  // The walk of ReadTrackHeaders without a buffer: calls `visit` with
  // `context` and each header in turn, as many as the walk visits. Returns
  // their number; `file_ended` as for ReadTrackHeaders. `visit` must not
  // call the reader.
  using HeaderVisitor = void (*)(void* context, const SectorHeader& header);
  int32_t VisitTrackHeaders(int32_t track, HeaderVisitor visit, void* context,
                            bool* file_ended);

  // A place in the walk over a track's records: the file offset of the
  // next record's header, the number of records the walk visited before it,
  // and the count in the first record's header (0 before the first record).
  struct WalkPlace {
    int64_t offset;
    int32_t index;
    int32_t first_count;
  };

  // Stores where the walk of track `track` of the selected image starts
  // into `place`. Returns false, leaving `place` alone, for a track that
  // ReadTrackHeaders finds absent or invalid.
  bool GetTrackStart(int32_t track, WalkPlace* place) const;

  // Goes on with a walk from `*place` exactly as the walk that reached it
  // would: calls `visit` with `context` and each header in turn until the
  // walk ends, by the rules of ReadTrackHeaders, or `visit` returns false.
  // A header for which `visit` returns false is not visited: `*place` then
  // names it, so that a later call goes on from there. Returns true if the
  // walk ended, with `*place` after its last record and `file_ended`, unless
  // null, telling whether a header could not be read whole; false if `visit`
  // stopped it. A caller that knows where a walk's records lead can so skip
  // over them. Any place is safe: reads stay inside the file (an index is
  // taken between 0 and kMaxSectorCount, a count below 65,536), and a walk
  // ends within the file's records. `visit` must not call the reader.
  using HeaderFilter = bool (*)(void* context, const SectorHeader& header);
  bool WalkRecords(WalkPlace* place, HeaderFilter visit, void* context,
                   bool* file_ended);

  // Reads up to `len` bytes of the open file at `offset` into `buf` (which
  // holds `len` bytes), whatever they are; returns the number read, fewer
  // where the file ends or a read fails, 0 if no file is open. For a caller
  // that judges what kind of file it is.
  int32_t ReadFileBytes(int64_t offset, uint8_t* buf, int32_t len);

  // Size in bytes of the open file; -1 if none is open or the size cannot
  // be found. A stream is read to its end for it (at most kMaxStreamSize
  // bytes): one that fails or is longer has no size, and GetReadError tells
  // why.
  int64_t GetFileSize() const;

  // Stores the identity of the open file, so that a caller can tell it
  // apart from files it writes. Returns false if none is open, for bytes in
  // memory, or if the system cannot tell it.
  bool GetFileIdentity(FileIdentity* identity) const;

  // Name of the selected image: up to 16 bytes, always NUL-terminated;
  // empty when none is selected.
  const char* GetDiskName() const { return disk_name_; }

  // Media type byte of the selected image, 0 to 255; -1 when none is
  // selected.
  int32_t GetMediaType() const { return media_type_; }

  // Disk size field and file offset of the selected image (0 and -1 when
  // none is selected), and the track table entry for `track` (0 for an
  // index outside the table).
  int32_t GetDiskSize() const { return disk_size_; }
  int32_t GetImageBase() const { return image_base_; }
  int32_t GetTrackOffset(int32_t track) const;

  // The state of track `track` of the selected image, by the rules that
  // every read of the track follows: a track that is not kPresent delivers
  // nothing to ReadSector, ReadTrackIds or ReadTrackHeaders; a kPresent one
  // lists at least one header, or reaches the end of the file. kAbsent for
  // every track when no file is open or no image is selected.
  TrackState GetTrackState(int32_t track) const;

 private:
  // What the reader keeps between calls: file blocks and the tracks' notes.
  struct Kept;
  struct TrackNotes;

  void Close();
  // Allocates what the reader keeps, once; false, with the failure noted,
  // if it cannot.
  bool Prepare();
  // Indexes the images of the file just opened.
  void IndexImages();
  void ResetSelection();
  bool TrackIsValid(int32_t track) const;
  // The notes of the selected image's track `track` (valid) for C, H and N
  // (byte values), walking the track first unless they are already kept.
  const TrackNotes& NotesFor(int32_t track, int32_t c, int32_t h, int32_t n);

  InputFile file_;
  OpenFailure open_failure_ = OpenFailure::kNone;
  char memory_error_[128] = {};  // the wording of kMemory
  Kept* kept_ = nullptr;         // allocated by the first Open
  // Counts selections (and Opens); notes made under another count are
  // stale.
  uint64_t selection_ = 1;
  int32_t image_count_;
  int32_t first_sector_;
  int32_t last_sector_;
  int32_t image_offsets_[kMaxImages];
  int32_t disk_size_;
  int32_t image_base_;
  int32_t track_table_[kTrackCount];
  int32_t media_type_;
  char disk_name_[kDiskNameSize + 1];
};

}  // namespace d88

#endif  // D88_D88_IMAGE_H_
