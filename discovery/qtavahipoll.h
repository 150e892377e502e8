#pragma once

// avahi-client's main loop interface served by the Qt event loop of the thread that creates
// it: socket watches become QSocketNotifiers, timeouts single-shot QTimers. Debian ships no
// avahi-qt for Qt 6, and a loop of avahi's own would need a thread and locks around every
// call into the client.
//
// Thread: everything, avahi's callbacks included, runs on the creating thread.

#include <avahi-common/watch.h>

class TQtAvahiPoll {
 public:
  TQtAvahiPoll();
  TQtAvahiPoll(const TQtAvahiPoll&) = delete;
  TQtAvahiPoll& operator=(const TQtAvahiPoll&) = delete;

  // Lives as long as this object; every client made with it must be freed first.
  const AvahiPoll* Api() const { return &api_; }

 private:
  AvahiPoll api_;
};
