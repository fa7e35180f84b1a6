#pragma once

#include <memory>
#include <string>

#include <boost/noncopyable.hpp>

#include "package/taln/talnabstractdownloadmanager.h"
#include "package/taln/talnupdaterpublisher.h"

namespace taln {

// The update engine as the launcher sees it: forwards the four operations to the working
// engine (an EmptyDownloadManager after Shutdown) and publishes the engine's events to its
// subscribers on the main thread, through TALN_Client.InvokeInMainThread.
class TALN_DownloadManager : public TALN_AbstractDownloadManager,
                             public TALN_UpdaterPublisher,
                             private boost::noncopyable {
 public:
  // The process's facade, created by the first call for `root`; later calls ignore the root.
  static TALN_DownloadManager& Instance(const std::string& root);

  // A facade over a new engine for `root` (not started). Tests build their own.
  explicit TALN_DownloadManager(const std::string& root);
  ~TALN_DownloadManager() override;

  void RequestUpdate() override;
  void RequestFile(const std::string& name, bool latest) override;
  void ProcessRequests() override;
  void Start() override;
  void RequestRepair() override;

  // Replaces the engine by an EmptyDownloadManager and destroys it, which waits for its worker
  // to stop. Main thread only, not concurrently with the other operations.
  void Shutdown();

  // The engine's EventCallback: queues Publish(state, progress, message) for the main thread.
  // Throws what InvokeInMainThread throws (no invoker installed).
  void OnEngineEvent(const std::string& state, int progress, const std::string& message);

 private:
  std::unique_ptr<TALN_AbstractDownloadManager> implementation_;
};

}  // namespace taln
