#include "package/taln/talnupdaterpublisher.h"

#include <algorithm>

namespace taln {

void TALN_UpdaterPublisher::Subscribe(TALN_UpdaterSubscriber* subscriber) {
  if (std::find(subscribers_.begin(), subscribers_.end(), subscriber) == subscribers_.end()) {
    subscribers_.push_back(subscriber);
  }
}

void TALN_UpdaterPublisher::Unsubscribe(TALN_UpdaterSubscriber* subscriber) {
  const auto found = std::find(subscribers_.begin(), subscribers_.end(), subscriber);
  if (found != subscribers_.end()) subscribers_.erase(found);
}

void TALN_UpdaterPublisher::Publish(const std::string& state, int progress,
                                    const std::string& message) {
  if (state.empty()) return;
  for (auto node = subscribers_.begin(); node != subscribers_.end();) {
    // Step past the node first: the subscriber may unsubscribe itself.
    TALN_UpdaterSubscriber* subscriber = *node++;
    subscriber->OnUpdaterEvent(this, state, progress, message);
  }
}

}  // namespace taln
