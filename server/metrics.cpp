#include "server/metrics.h"

#include "package/taln/db/versiontext.h"
#include "server/messagetype.h"

namespace aus::server {

namespace {

constexpr const char* kTypeNames[] = {"ProtocolVersion", "ClientVersion", "UpdateDb",
                                      "FileData",        "FileSize",      "other"};
constexpr const char* kCodeNames[] = {"", "invalid_request", "unknown_version", "file_not_found",
                                      "read_failed"};

unsigned TypeSlot(unsigned char type) {
  switch (type) {
    case kProtocolVersionType:
      return 0;
    case kClientVersionType:
      return 1;
    case kUpdateDbType:
      return 2;
    case kFileDataType:
      return 3;
    case kFileSizeType:
      return 4;
    default:
      return 5;
  }
}

void Family(std::string& text, const char* name, const char* type, const char* help) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& text, const char* name, const std::string& labels, std::uint64_t value) {
  text += name;
  if (!labels.empty()) text += "{" + labels + "}";
  text += " " + std::to_string(value) + "\n";
}

}  // namespace

void Metrics::Opened() {
  open_.fetch_add(1);
  accepted_.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Closed() { open_.fetch_sub(1); }

void Metrics::Request(unsigned char type) {
  requests_[TypeSlot(type)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Refusal(aus::error_code code) {
  const auto slot = static_cast<unsigned>(code);
  if (slot > 0 && slot < kCodes) refusals_[slot].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Reloaded(bool ok) { (ok ? reloads_ : failedReloads_).fetch_add(1); }

std::string Metrics::Text(const Releases* releases) const {
  std::string text;
  Family(text, "aus_connections_open", "gauge", "Connections open now.");
  Sample(text, "aus_connections_open", {}, open_.load());
  Family(text, "aus_connections_total", "counter", "Connections accepted since start.");
  Sample(text, "aus_connections_total", {}, accepted_.load());
  Family(text, "aus_requests_total", "counter", "Requests read, by message type.");
  for (unsigned i = 0; i < kTypes; ++i) {
    Sample(text, "aus_requests_total", std::string("type=\"") + kTypeNames[i] + "\"",
           requests_[i].load());
  }
  Family(text, "aus_refusals_total", "counter", "FileSize and FileData requests refused, by code.");
  for (unsigned code = 1; code < kCodes; ++code) {
    Sample(text, "aus_refusals_total",
           "code=\"" + std::to_string(code) + "\",name=\"" + kCodeNames[code] + "\"",
           refusals_[code].load());
  }
  Family(text, "aus_bytes_sent_total", "counter", "Bytes written to connections.");
  Sample(text, "aus_bytes_sent_total", {}, bytesSent_.load());
  Family(text, "aus_reloads_total", "counter", "Reloads of the releases, by result.");
  Sample(text, "aus_reloads_total", "result=\"ok\"", reloads_.load());
  Sample(text, "aus_reloads_total", "result=\"failed\"", failedReloads_.load());
  Family(text, "aus_release_files", "gauge",
         "Releases offered to new connections: files listed, by version; latest=\"true\" marks "
         "the one offered as latest.");
  const Release* latest = releases ? releases->Latest() : nullptr;
  if (releases) {
    for (const auto& [version, release] : releases->All()) {
      Sample(text, "aus_release_files",
             "version=\"" + FormatVersion(version) + "\",latest=\"" +
                 (&release == latest ? "true" : "false") + "\"",
             release.files.size());
    }
  }
  Family(text, "aus_release_unavailable", "gauge",
         "Releases that cannot be served whole (1), by version.");
  if (releases) {
    for (const auto& [version, broken] : releases->Unavailable()) {
      Sample(text, "aus_release_unavailable", "version=\"" + FormatVersion(version) + "\"", 1);
    }
  }
  return text;
}

}  // namespace aus::server
