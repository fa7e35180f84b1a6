#include "launcher/posttask.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <SDL.h>
#include <gtest/gtest.h>

#include "launcher/launcherwindow.h"
#include "launcher/tests/windowtest.h"

namespace {

using launcher::LauncherWindow;
using launcher::PostTask;
using launcher::Task;

class TaskQueueTest : public launcher_test::WindowTest {
 protected:
  ~TaskQueueTest() override {
    DropQueuedEvents();
    SDL_SetEventFilter(nullptr, nullptr);
  }

  static void PushTaskEvent(Task* task) {
    SDL_Event event;
    SDL_zero(event);
    event.type = launcher::kTaskEventType;
    event.user.data1 = task;
    ASSERT_EQ(SDL_PushEvent(&event), 1);
  }

  // Makes SDL refuse the next `count` task events pushed.
  // Setting a filter makes SDL discard every queued event, tasks included.
  static void RefuseTaskEvents(int count) {
    DropQueuedEvents();
    refusalsLeft_ = count;
    SDL_SetEventFilter(
        [](void*, SDL_Event* event) -> int {
          if (event->type != launcher::kTaskEventType || refusalsLeft_ == 0) return 1;
          --refusalsLeft_;
          return 0;
        },
        nullptr);
  }

  static std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
  }

  static inline std::atomic<int> refusalsLeft_ = 0;
  LauncherWindow window_;
};

TEST_F(TaskQueueTest, QueuedTasksRunInOrderUntilTheQuitEvent) {
  std::vector<int> ran;
  PostTask([&] { ran.push_back(1); });
  PostTask([&] { ran.push_back(2); });
  window_.Close();
  PostTask([&] { ran.push_back(3); });

  EXPECT_FALSE(window_.Idle());
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(TaskQueueTest, TasksFromSeveralThreadsRunOnceInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kTasksPerThread = 300;
  std::vector<std::vector<int>> ran(kThreads);  // written only by the main thread
  std::vector<std::thread> posters;
  posters.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&ran, t] {
      for (int i = 0; i < kTasksPerThread; ++i) PostTask([&ran, t, i] { ran[t].push_back(i); });
    });
  }
  for (auto& poster : posters) poster.join();
  window_.Close();

  EXPECT_FALSE(window_.Idle());
  std::vector<int> expected(kTasksPerThread);
  for (int i = 0; i < kTasksPerThread; ++i) expected[i] = i;
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ran[t], expected) << "thread " << t;
}

TEST_F(TaskQueueTest, TaskEventWithoutTaskIsLoggedAndSkipped) {
  bool ran = false;
  PushTaskEvent(nullptr);
  PostTask([&] { ran = true; });
  window_.Close();

  EXPECT_FALSE(window_.Idle());
  EXPECT_TRUE(ran);
  EXPECT_EQ(LogLines(),
            std::vector<std::string>{"ENGINE; WARNING; LauncherWindow.Idle.SDL_USEREVENT+1: "
                                     "evt.user.data1 == nullptr"});
}

TEST_F(TaskQueueTest, FailingTaskIsLoggedAndRaisedOutOfIdle) {
  struct Case {
    const char* name;
    std::function<void()> callable;
    std::string caught;
    std::string logged;  // after "task <address>"
  };
  const Case cases[] = {
      {"runtime_error", [] { throw std::runtime_error("boom"); }, "runtime_error: boom",
       ". Msg: boom"},
      {"no callable", nullptr, "exception: bad_function_call", ". Msg: bad_function_call"},
      {"not a std::exception", [] { throw 7; }, "int: 7", "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Logger::Instance().SetFile("log.txt");
    bool behindRan = false;
    auto* task = new Task{c.callable};
    PushTaskEvent(task);
    PostTask([&] { behindRan = true; });

    std::string caught;
    try {
      window_.Idle();
    } catch (const std::runtime_error& e) {
      caught = std::string("runtime_error: ") + e.what();
    } catch (const std::exception& e) {
      caught = std::string("exception: ") + e.what();
    } catch (int value) {
      caught = "int: " + std::to_string(value);
    }
    EXPECT_EQ(caught, c.caught);
    EXPECT_FALSE(behindRan);
    const std::string kind = c.logged == "." ? "unknown exception" : "exception";
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"ENGINE; ERROR; LauncherWindow::Idle: " + kind +
                                       " while invoking task " + Address(task) + c.logged});
    DropQueuedEvents();
  }
}

TEST_F(TaskQueueTest, RefusedPushIsRetriedFiftyTimesThenDropped) {
  struct Case {
    const char* name;
    int refusals;
    bool runs;
    std::vector<std::string> logged;
  };
  const Case cases[] = {
      {"accepted at once", 0, true, {}},
      {"third retry", 3, true, {"ENGINE; WARNING; Event pushed to the queue. retry_counter = 3"}},
      {"last retry", 50, true, {"ENGINE; WARNING; Event pushed to the queue. retry_counter = 50"}},
      {"every attempt refused", 51, false, {"ENGINE; ERROR; Failed to push event to the queue."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Logger::Instance().SetFile("log.txt");
    RefuseTaskEvents(c.refusals);
    bool ran = false;
    PostTask([&] { ran = true; });
    EXPECT_EQ(refusalsLeft_, 0);
    window_.Close();

    EXPECT_FALSE(window_.Idle());
    EXPECT_EQ(ran, c.runs);
    EXPECT_EQ(LogLines(), c.logged);
  }
}

}  // namespace
