#include "testing/failing_reads.h"

#include "d88/file_source.h"

namespace d88test {

namespace {

// Which reads fail, counting from the time it was set, and with what.
struct Failing {
  int64_t at = 0;
  int64_t count = 0;
  int code = 0;
  int64_t reads = 0;
};

size_t FailingRead(void* context, intptr_t file, int64_t offset, uint8_t* buf,
                   size_t len, int* code) {
  Failing& failing = *static_cast<Failing*>(context);
  ++failing.reads;
  if (failing.reads >= failing.at &&
      failing.reads - failing.at < failing.count) {
    *code = failing.code;
    return 0;
  }
  return d88::ReadFromSystem(file, offset, buf, len, code);
}

Failing g_failing;
const d88::FileSource g_source = {FailingRead, &g_failing};

}  // namespace

void FailInputReads(int64_t k, int code, int64_t count) {
  g_failing = {k, count, code, 0};
  d88::SetFileSource(k != 0 ? &g_source : nullptr);
}

}  // namespace d88test
