#include "discovery/qtavahipoll.h"

#include <avahi-common/timeval.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>

// A watch or timeout that avahi frees from its own callback is deleted once that callback's Qt
// signal has been delivered, not under it.
template <typename T>
class TFiring {
 public:
  explicit TFiring(T* item) : item_(item) { item_->Firing = true; }
  ~TFiring() {
    item_->Firing = false;
    if (item_->Freed) QTimer::singleShot(0, [item = item_] { delete item; });
  }
  TFiring(const TFiring&) = delete;
  TFiring& operator=(const TFiring&) = delete;

 private:
  T* const item_;
};

// avahi names these structs and leaves their contents to the loop.
struct AvahiWatch {
  AvahiWatch(int fd, AvahiWatchCallback callback, void* userdata)
      : Fd(fd), Callback(callback), Userdata(userdata) {
    QObject::connect(&Read, &QSocketNotifier::activated, [this] { Fire(AVAHI_WATCH_IN); });
    QObject::connect(&Write, &QSocketNotifier::activated, [this] { Fire(AVAHI_WATCH_OUT); });
  }

  void Watch(AvahiWatchEvent events) {
    Read.setEnabled((events & AVAHI_WATCH_IN) != 0);
    Write.setEnabled((events & AVAHI_WATCH_OUT) != 0);
  }

  void Fire(AvahiWatchEvent event) {
    Last = event;
    TFiring firing(this);
    Callback(this, Fd, event, Userdata);
  }

  const int Fd;
  const AvahiWatchCallback Callback;
  void* const Userdata;
  AvahiWatchEvent Last = static_cast<AvahiWatchEvent>(0);
  bool Firing = false;
  bool Freed = false;
  QSocketNotifier Read{Fd, QSocketNotifier::Read};
  QSocketNotifier Write{Fd, QSocketNotifier::Write};
};

struct AvahiTimeout {
  AvahiTimeout(AvahiTimeoutCallback callback, void* userdata)
      : Callback(callback), Userdata(userdata) {
    Timer.setSingleShot(true);
    QObject::connect(&Timer, &QTimer::timeout, [this] {
      TFiring firing(this);
      Callback(this, Userdata);
    });
  }

  // avahi gives an absolute time on the wall clock, or none to disarm.
  void Arm(const struct timeval* at) {
    if (!at) {
      Timer.stop();
      return;
    }
    const AvahiUsec late = avahi_age(at);
    const AvahiUsec wait = late >= 0 ? 0 : -late;
    Timer.start(static_cast<int>(std::min<AvahiUsec>((wait + 999) / 1000, 24 * 3600 * 1000)));
  }

  const AvahiTimeoutCallback Callback;
  void* const Userdata;
  QTimer Timer;
  bool Firing = false;
  bool Freed = false;
};

namespace {

template <typename T>
void Free(T* item) {
  if (item->Firing)
    item->Freed = true;
  else
    delete item;
}

AvahiWatch* WatchNew(const AvahiPoll*, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
  auto* watch = new AvahiWatch(fd, callback, userdata);
  watch->Watch(events);
  return watch;
}

void WatchUpdate(AvahiWatch* watch, AvahiWatchEvent events) { watch->Watch(events); }

AvahiWatchEvent WatchGetEvents(AvahiWatch* watch) { return watch->Last; }

void WatchFree(AvahiWatch* watch) {
  watch->Watch(static_cast<AvahiWatchEvent>(0));
  Free(watch);
}

AvahiTimeout* TimeoutNew(const AvahiPoll*, const struct timeval* at, AvahiTimeoutCallback callback,
                         void* userdata) {
  auto* timeout = new AvahiTimeout(callback, userdata);
  timeout->Arm(at);
  return timeout;
}

void TimeoutUpdate(AvahiTimeout* timeout, const struct timeval* at) { timeout->Arm(at); }

void TimeoutFree(AvahiTimeout* timeout) {
  timeout->Timer.stop();
  Free(timeout);
}

}  // namespace

TQtAvahiPoll::TQtAvahiPoll()
    : api_{this,      WatchNew,   WatchUpdate,   WatchGetEvents,
           WatchFree, TimeoutNew, TimeoutUpdate, TimeoutFree} {}
