#pragma once

#include <list>
#include <string>

namespace taln {

class TALN_UpdaterPublisher;

// Receives updater events, always on the main thread.
class TALN_UpdaterSubscriber {
 public:
  virtual void OnUpdaterEvent(TALN_UpdaterPublisher* publisher, const std::string& state,
                              int progress, const std::string& message) = 0;

 protected:
  ~TALN_UpdaterSubscriber() = default;
};

// Delivers events to its subscribers in subscription order. Not locked: every call happens on
// the main thread. Subscribers are not owned.
class TALN_UpdaterPublisher {
 public:
  // Appends `subscriber` unless it is subscribed already.
  virtual void Subscribe(TALN_UpdaterSubscriber* subscriber);
  // Removes `subscriber`; unknown pointers are ignored.
  virtual void Unsubscribe(TALN_UpdaterSubscriber* subscriber);
  // Calls every subscriber, unless `state` is empty. A subscriber may unsubscribe itself during
  // the call, but no other. Exceptions of subscribers pass through.
  virtual void Publish(const std::string& state, int progress, const std::string& message);

 protected:
  ~TALN_UpdaterPublisher() = default;

 private:
  std::list<TALN_UpdaterSubscriber*> subscribers_;
};

}  // namespace taln
