// The transfer: serves one accepted target from its loader connection to the
// end of its target program.
#pragma once

#include <cstdint>

#include "moxtil/engine/RunState.h"

/// The transfer: the thread function that serves one target; arg is its
/// PROCESS_INFO slot. 0 when the target was served to the end, -1 after a
/// failure (its status line is written).
int process2(void* arg);

/// The one way the transfer of p ends, whatever ended it, once its
/// connection is closed: a data connection handed to it and not taken is
/// reset; then the first steps of a slot's end, in their order: its
/// progress lines flushed, out of the live view, its failure `line` (null:
/// none) written with the explanation in p.why (a cancel's reason first),
/// its figures into its record, and the busy state ended. The acceptor
/// takes the last steps: the record kept, then the slot free (ReleaseSlot).
/// `peer`: the connection it last used, for explanations.
void EndTransfer(PROCESS_INFO& p, const char* line, const char* peer);

/// Writes the progress line of p for `current` of `total` bytes sent
/// ("042 %"), over the whole list in file-list mode. Never 100: "100 % finish"
/// tells that.
void PrintWritePercentage(PROCESS_INFO& p, int64_t total, int64_t current);
/// The percentage of that line, 0 to 99, rounded: of the whole list when
/// `fileList` (`rowsDone` of its `rows` sent to the end before this one),
/// else of this program. A program under 100 bytes counts as 100 bytes.
long WritePercentage(int64_t total, int64_t current, bool fileList, int rowsDone, int rows);
