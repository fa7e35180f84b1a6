#pragma once

#include <cstdint>
#include <functional>

namespace launcher {

// SDL's event type for a queued task: SDL_USEREVENT + 1. The event's user.data1 is the Task.
inline constexpr std::uint32_t kTaskEventType = 0x8001;

// One unit of work for the main thread. Created by PostTask, owned by its queued event while it
// waits, run and destroyed by LauncherWindow::Idle. A task still queued when the loop has ended
// is never run.
struct Task {
  std::function<void()> callable;
};

// Queues `callable` for the main thread as a task event; callable from any thread, returns once
// the event is queued. A refused push is retried up to 50 times, 5 ms apart (a success on retry k
// logs the warning "Event pushed to the queue. retry_counter = k"); after 51 refusals it logs the
// error "Failed to push event to the queue." and drops the task without running it. Needs SDL's
// event subsystem (LauncherWindow initialises it); before that every push is refused.
void PostTask(std::function<void()> callable);

}  // namespace launcher
