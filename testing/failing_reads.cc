#include "testing/failing_reads.h"

#include "d88/file_source.h"

namespace d88test {

namespace {

class FailingReads : public d88::FileSource {
 public:
  void Fail(int64_t k, int code, int64_t count) {
    at_ = k;
    count_ = count;
    code_ = code;
    reads_ = 0;
  }

  size_t ReadAt(intptr_t file, int64_t offset, uint8_t* buf, size_t len,
                int* code) const override {
    ++reads_;
    if (reads_ >= at_ && reads_ - at_ < count_) {
      *code = code_;
      return 0;
    }
    return FileSource::ReadAt(file, offset, buf, len, code);
  }

 private:
  int64_t at_ = 0;
  int64_t count_ = 0;
  int code_ = 0;
  mutable int64_t reads_ = 0;
};

FailingReads g_failing;

}  // namespace

void FailInputReads(int64_t k, int code, int64_t count) {
  g_failing.Fail(k, code, count);
  d88::SetFileSource(k != 0 ? &g_failing : nullptr);
}

}  // namespace d88test
