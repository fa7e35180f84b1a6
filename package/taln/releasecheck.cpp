#include "package/taln/releasecheck.h"

#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/format.hpp>

#include "package/network/common/client.h"
#include "package/network/common/file.h"
#include "package/network/protocol/opacket.h"
#include "package/network/protocol/updateerror.h"
#include "package/platform/durablefile.h"
#include "package/taln/db/versiontext.h"
#include "package/taln/enginelog.h"

namespace fs = boost::filesystem;

namespace taln {

namespace {

constexpr unsigned char kFileDataType = 11;
// A state file is two short lines; anything longer is not one.
constexpr std::streamsize kMaxStateBytes = 256;

std::string Describe(const ReleaseState& state) {
  if (state.signedAt == 0) return FormatVersion(state.version) + " (by its manifest)";
  return (boost::format("%s signed at %d") % FormatVersion(state.version) % state.signedAt).str();
}

// The FileData series for bytes [0, size) of `file`, kept in memory; never more than `size`.
std::string ReceiveFile(network::common::Client& client, const network::common::File& file,
                        std::uint64_t size) {
  network::protocol::OPacket request(false, kFileDataType);
  if (file.byIndex()) {
    request << true << std::uint16_t{file.index()};
  } else {
    request << false << *file.version() << *file.remotePath();
  }
  request << std::uint64_t{0} << size;
  client.Send(request);
  std::ostringstream bytes;
  std::uint64_t received = 0;
  for (;;) {
    const auto reply = client.Receive();
    if (reply->Type() != kFileDataType || !reply->IsReply()) {
      throw ReleaseRefused(
          "the server answered the request for \"release.sig\" with another "
          "message");
    }
    bool ok = false;
    *reply >> ok;
    if (!ok) throw ReleaseRefused("the server refuses to send \"release.sig\"");
    // A block is its length and its bytes: one longer than what is left of the file is refused
    // before it is copied.
    if (reply->Remaining() > sizeof(std::uint32_t) + (size - received)) {
      throw ReleaseRefused("the server sends more of \"release.sig\" than the " +
                           std::to_string(size) + " bytes it claimed");
    }
    const std::uint32_t count = reply->ReadTo(bytes);
    received += count;
    if (count == 0) break;
  }
  if (received != size) {
    throw ReleaseRefused("\"release.sig\" ended after " + std::to_string(received) + " of the " +
                         std::to_string(size) + " bytes claimed");
  }
  return bytes.str();
}

}  // namespace

std::optional<signing::PublicKey> ReleaseKey(const std::string& configured) {
  const std::string key = configured.empty() ? std::string(BuiltInReleaseKey()) : configured;
  if (key.empty()) return std::nullopt;
  const auto parsed = signing::ParsePublicKey(key);
  // The settings and the build check the key; a bad one here must still not mean "no key".
  if (!parsed) throw ReleaseRefused("the release key is not 64 hexadecimal digits");
  return parsed;
}

std::string FetchReleaseSignature(network::common::Client& client, const UpdateDB& list,
                                  const Version& version, bool latest) {
  std::unique_ptr<network::common::File> file;
  if (latest) {
    if (!list.Contains(signing::kSignatureFile)) {
      throw ReleaseRefused("the release is not signed: its list has no \"release.sig\"");
    }
    const UpdateItem& item = list.Get(signing::kSignatureFile);
    file = std::make_unique<network::common::File>(item.index, std::string(), item.size);
  } else {
    file = std::make_unique<network::common::File>(signing::kSignatureFile, std::string(), version);
  }
  std::uint64_t size = 0;
  try {
    size = file->Size(client);
  } catch (const aus::UpdateError&) {
    throw ReleaseRefused("the release is not signed: the server has no \"release.sig\" for " +
                         FormatVersion(version));
  }
  if (size > signing::kMaxSignatureFileBytes) {
    throw ReleaseRefused("\"release.sig\" claims " + std::to_string(size) + " bytes, more than " +
                         std::to_string(signing::kMaxSignatureFileBytes));
  }
  if (size == 0) throw ReleaseRefused("\"release.sig\" is empty");
  return ReceiveFile(client, *file, size);
}

ReleaseState CheckRelease(const signing::PublicKey& key, const UpdateDB& list,
                          std::string_view signatureFile, const std::optional<Version>& pinned,
                          const std::optional<ReleaseState>& installed) {
  const auto signature = signing::ParseSignatureFile(signatureFile);
  if (!signature) {
    throw ReleaseRefused("\"release.sig\" is malformed (" + std::to_string(signatureFile.size()) +
                         " bytes)");
  }
  const ReleaseState offered{signature->version, signature->signedAt};
  const std::vector<UpdateItem> items(list.begin(), list.end());
  if (!signing::VerifySignature(key,
                                signing::CanonicalForm(offered.version, offered.signedAt, items),
                                signature->signature)) {
    throw ReleaseRefused("the signature of release " + Describe(offered) +
                         " does not match the list received, or is not by the release key");
  }
  if (pinned && *pinned != offered.version) {
    throw ReleaseRefused("the list is signed as release " + FormatVersion(offered.version) +
                         ", not as the version asked for, " + FormatVersion(*pinned));
  }
  if (installed) {
    if (!pinned && signing::IsOlder(offered.version, installed->version)) {
      throw ReleaseRefused("release " + Describe(offered) + " is older than the installed " +
                           Describe(*installed) +
                           " (Client.client_version can pin an older version)");
    }
    // A pin may go back to an older release, which was signed earlier; never to an older
    // signature of the very version installed.
    if (offered.signedAt < installed->signedAt &&
        (!pinned || offered.version == installed->version)) {
      throw ReleaseRefused("release " + Describe(offered) + " was signed before the installed " +
                           Describe(*installed));
    }
  }
  return offered;
}

std::optional<ReleaseState> LoadReleaseState(const std::string& root) {
  const fs::path path = fs::path(root) / kReleaseStateFile;
  boost::system::error_code error;
  if (!fs::exists(path, error)) return std::nullopt;
  std::ifstream in(path.string(), std::ios::binary);
  std::string text(kMaxStateBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  std::istringstream lines(text);
  std::string versionLine;
  std::string signedLine;
  ReleaseState state;
  if (text.size() <= static_cast<std::size_t>(kMaxStateBytes) && std::getline(lines, versionLine) &&
      std::getline(lines, signedLine) && versionLine.rfind("version=", 0) == 0 &&
      signedLine.rfind("signed=", 0) == 0) {
    state.version = ParseVersion(versionLine.substr(8));
    try {
      std::size_t end = 0;
      state.signedAt = std::stoll(signedLine.substr(7), &end);
      if (state.version != Version{} && end == signedLine.size() - 7) return state;
    } catch (const std::exception&) {
    }
  }
  EngineLog(kLogWarning, "InitializeAUSUpdateDB",
            "Cannot read '" + path.string() + "'; any signed release is taken as new");
  return std::nullopt;
}

void SaveReleaseState(const std::string& root, const ReleaseState& state) {
  const fs::path path = fs::path(root) / kReleaseStateFile;
  // Named as a backup: the sweep at the next start removes, or puts in place, what a killed
  // save leaves.
  const fs::path aside = fs::path(root) / (std::string(kReleaseStateFile) + ".$$$");
  bool written = false;
  {
    std::ofstream out(aside.string(), std::ios::binary | std::ios::trunc);
    out << "version=" << FormatVersion(state.version) << "\nsigned=" << state.signedAt << "\n";
    out.close();
    written = static_cast<bool>(out);
  }
  boost::system::error_code error;
  if (written && !platform::SyncFile(aside.string())) {
    fs::rename(aside, path, error);
    if (!error) {
      platform::SyncDirectory(root);
      return;
    }
  }
  fs::remove(aside, error);
  throw std::runtime_error("Can't save the release state!");
}

void VerifyRelease(network::common::Client& client, const std::string& root,
                   const signing::PublicKey& key, const UpdateDB& list, const Version& version,
                   bool latest) {
  std::string signatureFile;
  try {
    signatureFile = FetchReleaseSignature(client, list, version, latest);
  } catch (const ReleaseRefused&) {
    throw;
  } catch (const std::exception& error) {
    // A connection lost or a reply garbled on the way: still no verified list.
    throw ReleaseRefused(std::string("cannot fetch \"release.sig\": ") + error.what());
  }
  std::optional<ReleaseState> installed = LoadReleaseState(root);
  if (!installed) {
    // Installed before a key was set, or its record was lost: the root's manifest still says
    // which release it is, though not when that was signed.
    UpdateDB manifest((fs::path(root)));
    manifest.ReadManifest();
    if (manifest.ManifestVersion() != Version{})
      installed = ReleaseState{manifest.ManifestVersion(), 0};
  }
  const ReleaseState accepted = CheckRelease(
      key, list, signatureFile, latest ? std::nullopt : std::optional<Version>(version), installed);
  EngineLog(kLogInfo, "InitializeAUSUpdateDB",
            "Release " + Describe(accepted) + " is signed by the release key " +
                signing::FormatPublicKey(key));
  if (installed != accepted) SaveReleaseState(root, accepted);
}

}  // namespace taln
