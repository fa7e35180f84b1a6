#include "package/taln/talnupdaterpublisher.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using taln::TALN_UpdaterPublisher;
using taln::TALN_UpdaterSubscriber;

class Publisher : public TALN_UpdaterPublisher {};

// Records "<name>:<state>:<progress>:<message>" into a shared journal.
class Recorder : public TALN_UpdaterSubscriber {
 public:
  Recorder(std::string name, std::vector<std::string>& journal, bool leaveOnFirst = false)
      : name_(std::move(name)), journal_(journal), leaveOnFirst_(leaveOnFirst) {}

  void OnUpdaterEvent(TALN_UpdaterPublisher* publisher, const std::string& state, int progress,
                      const std::string& message) override {
    journal_.push_back(name_ + ":" + state + ":" + std::to_string(progress) + ":" + message);
    if (leaveOnFirst_) publisher->Unsubscribe(this);
  }

 private:
  std::string name_;
  std::vector<std::string>& journal_;
  bool leaveOnFirst_;
};

TEST(TALN_UpdaterPublisherTest, DeliversInSubscriptionOrderOncePerSubscriber) {
  std::vector<std::string> journal;
  Recorder first("a", journal), second("b", journal);
  Publisher publisher;
  publisher.Publish("S", 1, "nobody listens");
  publisher.Subscribe(&first);
  publisher.Subscribe(&second);
  publisher.Subscribe(&first);
  publisher.Publish("", 2, "empty state");
  publisher.Publish("S", 3, "m");
  EXPECT_EQ(journal, (std::vector<std::string>{"a:S:3:m", "b:S:3:m"}));
}

TEST(TALN_UpdaterPublisherTest, SubscriberMayLeaveDuringDelivery) {
  std::vector<std::string> journal;
  Recorder leaving("a", journal, true), staying("b", journal);
  Publisher publisher;
  publisher.Subscribe(&leaving);
  publisher.Subscribe(&staying);
  publisher.Publish("S", 0, "1");
  publisher.Publish("S", 0, "2");
  publisher.Unsubscribe(&leaving);  // unknown by now: ignored
  EXPECT_EQ(journal, (std::vector<std::string>{"a:S:0:1", "b:S:0:1", "b:S:0:2"}));
}

}  // namespace
