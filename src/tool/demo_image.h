// The sample image: an invented disk 1 and disk 2 of the game in one D88
// file. Nothing in it comes from a real disk. The sample program writes it,
// and the tests run the tools on the same bytes.

#ifndef TOOL_DEMO_IMAGE_H_
#define TOOL_DEMO_IMAGE_H_

#include "d88/d88_builder.h"

namespace d88 {

// The whole D88 file: disk 1 ("DEMO DISK 1") with PROG, a directory of
// twelve entries and nine files on disk 1, then disk 2 ("DEMO DISK 2").
Bytes BuildDemoImage();

}  // namespace d88

#endif  // TOOL_DEMO_IMAGE_H_
