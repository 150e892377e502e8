#include "midi/midicb.h"

#include "midi/midirules.h"

namespace {

void StoreInputEvent(TMidiCallbackInfo& info, UINT msg, DWORD_PTR param1, DWORD_PTR param2) {
  const bool isShort = msg == MIM_DATA;
  if (isShort && !IsForwarded(static_cast<uint8_t>(param1))) return;
  if (isShort && info.SysexOnly.load(std::memory_order_relaxed)) return;
  if (info.Ring == nullptr || info.Window == nullptr) return;

  TRingItem item{static_cast<uint32_t>(param2), 0, nullptr};
  if (isShort) {
    item.ShortMessage = static_cast<uint32_t>(param1);
  } else {
    item.Header = reinterpret_cast<MIDIHDR*>(param1);
  }
  if (RingPut(info.Ring, item)) {
    info.Window->Post(MIM_DATA, 0, 0);
  } else {
    info.Window->Post(WM_USER, 0, reinterpret_cast<uintptr_t>(item.Header));
  }
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
      StoreInputEvent(*info, msg, param1, param2);
      break;
    case MOM_DONE:
      if (info->Window != nullptr) info->Window->Post(MOM_DONE, 0, param1);
      break;
    default:
      break;
  }
}
