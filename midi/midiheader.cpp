#include "midi/midiheader.h"

namespace mmsystem {

MMRESULT CheckHeader(const MIDIHDR* header, UINT headerSize) {
  if (header == nullptr || headerSize < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

MMRESULT PrepareHeader(MIDIHDR* header, UINT headerSize) {
  if (const MMRESULT result = CheckHeader(header, headerSize)) return result;
  if (header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  header->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareHeader(MIDIHDR* header, UINT headerSize) {
  if (const MMRESULT result = CheckHeader(header, headerSize)) return result;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT QueueHeader(MIDIHDR* header, UINT headerSize) {
  if (const MMRESULT result = CheckHeader(header, headerSize)) return result;
  if (!(header->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
  if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
  header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
  return MMSYSERR_NOERROR;
}

void MarkHeaderDone(MIDIHDR* header) {
  header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
}

}  // namespace mmsystem
