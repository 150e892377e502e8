#pragma once

// The preparation rules for MIDIHDR that inputs and outputs share. The caller holds the
// device's lock, since a queued header is also written on the backend's thread.

#include "midi/mmsystem.h"

namespace mmsystem {

// MMSYSERR_INVALPARAM unless `header` is a whole MIDIHDR.
MMRESULT CheckHeader(const MIDIHDR* header, UINT headerSize);
// Preparing a prepared header again changes nothing.
MMRESULT PrepareHeader(MIDIHDR* header, UINT headerSize);
// Refused while the header is queued; an unprepared header stays as it is.
MMRESULT UnprepareHeader(MIDIHDR* header, UINT headerSize);
// Refuses a header that is unprepared or already queued; otherwise marks it queued.
MMRESULT QueueHeader(MIDIHDR* header, UINT headerSize);
// Marks a queued header as returned to its owner.
void MarkHeaderDone(MIDIHDR* header);

}  // namespace mmsystem
