// d88info --check: whether d88cut would write every file of each disk 1 of
// the game whole.

#ifndef INFO_CHECK_H_
#define INFO_CHECK_H_

#include "d88/d88_image.h"

namespace info {

// Reads, for every disk 1 of the game in the file open in `image`, PROG, the
// directory and each file on disk 1 as d88cut would, and prints to the
// account's output what would be written incomplete, and what would be
// written whole from sectors whose status shows the drive's error. Returns
// 0 if all is complete and unflagged, 1 if something is incomplete or
// flagged or the file holds no disk 1. After a failed read of the file it
// names only the files found incomplete or flagged, with no verdict on the
// whole; the caller reports the read error.
int RunCheck(d88::D88Image& image);

}  // namespace info

#endif  // INFO_CHECK_H_
