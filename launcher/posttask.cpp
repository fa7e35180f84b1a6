#include "launcher/posttask.h"

#include <memory>

#include <SDL.h>

#include "package/logging/logger.h"

namespace launcher {
namespace {

static_assert(kTaskEventType == SDL_USEREVENT + 1);

constexpr int kPushRetries = 50;
constexpr Uint32 kPushRetryDelayMs = 5;

}  // namespace

void PostTask(std::function<void()> callable) {
  auto task = std::make_unique<Task>(Task{std::move(callable)});
  SDL_Event event;
  SDL_zero(event);
  event.type = kTaskEventType;
  event.user.data1 = task.get();

  // SDL_PushEvent answers 1 when queued, 0 when a filter refused it, -1 on a full queue.
  bool queued = SDL_PushEvent(&event) == 1;
  for (int retry = 1; !queued && retry <= kPushRetries; ++retry) {
    SDL_Delay(kPushRetryDelayMs);
    queued = SDL_PushEvent(&event) == 1;
    if (queued) {
      Logger::Instance().Print("ENGINE", 3, "Event pushed to the queue. retry_counter = %d", retry);
    }
  }
  if (!queued) {
    Logger::Instance().Print("ENGINE", 4, "Failed to push event to the queue.");
    return;
  }
  static_cast<void>(task.release());  // the queued event owns the task now
}

}  // namespace launcher
