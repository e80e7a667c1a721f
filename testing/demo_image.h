// The sample images: an invented disk 1 and disk 2 of the game in one D88
// file, sound or damaged. Nothing in them comes from a real disk. The
// sample program writes them, and the tests run the tools on the same bytes.

#ifndef TESTING_DEMO_IMAGE_H_
#define TESTING_DEMO_IMAGE_H_

#include "testing/d88_builder.h"

namespace d88test {

// The whole D88 file: disk 1 ("DEMO DISK 1") with PROG, a directory of
// twelve entries and nine files on disk 1, then disk 2 ("DEMO DISK 2").
Bytes BuildDemoImage();

// The same two disks, damaged as a worn disk and a broken download leave
// them: disk 1 lacks track 1 R 4, and track 4 R 2 holds only 512 bytes;
// the file ends inside the fourth sector of disk 2's last track.
Bytes BuildDamagedDemoImage();

}  // namespace d88test

#endif  // TESTING_DEMO_IMAGE_H_
