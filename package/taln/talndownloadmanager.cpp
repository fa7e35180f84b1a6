#include "package/taln/talndownloadmanager.h"

#include <utility>

#include "package/platform/hosthooks.h"
#include "package/taln/talndownloadmanagerimpl.h"

namespace taln {

TALN_DownloadManager& TALN_DownloadManager::Instance(const std::string& root) {
  static TALN_DownloadManager manager(root);
  return manager;
}

TALN_DownloadManager::TALN_DownloadManager(const std::string& root)
    : implementation_(std::make_unique<TALN_DownloadManagerImpl>(
          root, [this](const std::string& state, int progress, const std::string& message) {
            OnEngineEvent(state, progress, message);
          })) {}

TALN_DownloadManager::~TALN_DownloadManager() = default;

void TALN_DownloadManager::RequestUpdate() { implementation_->RequestUpdate(); }

void TALN_DownloadManager::RequestFile(const std::string& name, bool latest) {
  implementation_->RequestFile(name, latest);
}

void TALN_DownloadManager::ProcessRequests() { implementation_->ProcessRequests(); }

void TALN_DownloadManager::Start() { implementation_->Start(); }

void TALN_DownloadManager::RequestRepair() { implementation_->RequestRepair(); }

void TALN_DownloadManager::Shutdown() {
  auto previous = std::exchange(implementation_, std::make_unique<EmptyDownloadManager>());
  previous.reset();
}

void TALN_DownloadManager::OnEngineEvent(const std::string& state, int progress,
                                         const std::string& message) {
  TALN_Client::InvokeInMainThread(
      [this, state, progress, message] { Publish(state, progress, message); });
}

}  // namespace taln
