#include "midi/midicb.h"

#include <algorithm>

#include "midi/midirules.h"

namespace {

void StoreInputEvent(TMidiCallbackInfo& info, UINT msg, DWORD_PTR param1,
                     const MIDIINEVENT& event) {
  const bool isShort = msg == MIM_DATA;
  if (isShort && (event.cbData == 0 || !IsForwarded(event.bData[0]))) return;
  if (isShort && info.SysexOnly.load(std::memory_order_relaxed)) return;
  if (info.Ring == nullptr || info.Window == nullptr) return;

  TRingItem item{event.dwTimeStamp, event.dwTime, {}, 0, nullptr};
  if (isShort) {
    std::copy_n(event.bData, sizeof item.Bytes, item.Bytes);
    item.Length = std::min<uint8_t>(event.cbData, sizeof item.Bytes);
  } else {
    item.Header = reinterpret_cast<MIDIHDR*>(param1);
  }
  if (RingPut(info.Ring, item)) {
    info.Window->Post(MIM_DATA, 0, 0);
    return;
  }
  if (info.Lost != nullptr) info.Lost->fetch_add(1, std::memory_order_relaxed);
  info.Window->Post(WM_USER, 0, reinterpret_cast<uintptr_t>(item.Header));
}

}  // namespace

void MidiCallback(void* /*device*/, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                  DWORD_PTR param2) {
  auto* info = reinterpret_cast<TMidiCallbackInfo*>(instance);
  if (info == nullptr) return;
  switch (msg) {
    case MIM_DATA:
    case MIM_LONGDATA:
    case MIM_LONGERROR:
      if (param2 != 0) {
        StoreInputEvent(*info, msg, param1, *reinterpret_cast<const MIDIINEVENT*>(param2));
      }
      break;
    case MOM_DONE:
      if (info->Window != nullptr) info->Window->Post(MOM_DONE, 0, param1);
      break;
    default:
      break;
  }
}
