#pragma once

#include <string>

#include <boost/function.hpp>

namespace taln {

// How the engine emits an event (state, progress, message); called on any engine thread.
using EventCallback = boost::function<void(const std::string&, int, const std::string&)>;

// The update engine's operations, as the launcher drives them.
class TALN_AbstractDownloadManager {
 public:
  virtual ~TALN_AbstractDownloadManager() = default;
  // Asks for an update of every required file at the next ProcessRequests.
  virtual void RequestUpdate() = 0;
  // Queues one file by its name relative to the root, from the latest (or the built-in)
  // version's database.
  virtual void RequestFile(const std::string& name, bool latest) = 0;
  // Lets the engine act on what was requested.
  virtual void ProcessRequests() = 0;
  // Starts the engine, which initialises first.
  virtual void Start() = 0;
  // Makes the next initialisation ignore "Update.db" and hash every file, so that the update
  // fetches whatever differs from the release. Before Start.
  virtual void RequestRepair() {}
};

}  // namespace taln

// The engine after shut-down: every operation returns at once.
class EmptyDownloadManager : public taln::TALN_AbstractDownloadManager {
 public:
  void RequestUpdate() override {}
  void RequestFile(const std::string&, bool) override {}
  void ProcessRequests() override {}
  void Start() override {}
};
