#include "server/requesthandler.h"

#include <algorithm>
#include <string>

#include "package/network/protocol/ioerror.h"
#include "package/taln/db/updateitem.h"
#include "package/taln/db/versiontext.h"

namespace aus::server {

namespace {

using network::protocol::IO_Error;
using network::protocol::IPacket;
using network::protocol::OPacket;

const char* Describe(aus::error_code code) {
  switch (code) {
    case aus::error_code::kInvalidRequest:
      return "invalid request";
    case aus::error_code::kUnknownVersion:
      return "unknown version";
    case aus::error_code::kFileNotFound:
      return "file not found";
    case aus::error_code::kReadFailed:
      return "read failed";
  }
  return "refused";
}

// A client's name as it may appear in the log: control bytes shown as '?', cut at 200 bytes.
std::string Printable(const std::string& name) {
  std::string text = name.substr(0, 200);
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// Thrown inside this file to turn a request into a refusal.
struct Refused {
  aus::error_code code;
  std::string what;
};

Answer Reply(PacketBuffer reply) { return {Answer::Action::kReply, std::move(reply), {}, {}, {}}; }

Answer Close(std::string note) { return {Answer::Action::kClose, {}, {}, std::move(note), {}}; }

// Every request must be read to its last byte: trailing bytes mean the layouts disagree.
void ExpectEnd(const IPacket& request) {
  if (request.Remaining() != 0) BOOST_THROW_EXCEPTION(IO_Error());
}

// A broken release is refused as a read failure: the server has it but cannot serve it, and an
// older release must not stand in for it.
[[noreturn]] void RefuseUnavailable(const BrokenRelease& broken) {
  throw Refused{aus::error_code::kReadFailed,
                "release " + FormatVersion(broken.version) + " is unavailable"};
}

const Release& LatestRelease(const Releases& releases) {
  if (const Release* latest = releases.Latest()) return *latest;
  if (const BrokenRelease* broken = releases.LatestUnavailable()) RefuseUnavailable(*broken);
  throw Refused{aus::error_code::kUnknownVersion, "no release"};
}

const Release& FindRelease(const Releases& releases, const Version& version) {
  if (version == Version{}) return LatestRelease(releases);
  if (const Release* release = releases.Find(version)) return *release;
  if (const BrokenRelease* broken = releases.FindUnavailable(version)) RefuseUnavailable(*broken);
  throw Refused{aus::error_code::kUnknownVersion, "version " + FormatVersion(version)};
}

const ReleaseFile& FindFile(const Release& release, const std::string& path) {
  std::string name = path;
  taln::NormalizeName(name);
  if (!taln::IsSafeName(name)) {
    throw Refused{aus::error_code::kInvalidRequest, "unsafe path '" + Printable(path) + "'"};
  }
  const ReleaseFile* file = release.Find(name);
  if (!file) {
    throw Refused{aus::error_code::kFileNotFound,
                  FormatVersion(release.version) + "/" + Printable(name)};
  }
  return *file;
}

Answer AnswerUpdateDb(const Releases& releases, IPacket& request) {
  bool latest = false;
  Version version;
  request >> latest >> version;
  ExpectEnd(request);
  const Release* release = latest ? releases.Latest() : releases.Find(version);
  if (release) return Reply(release->updateDbReply);
  // UpdateDb has no refusal; an empty list fails the launcher's update, which leaves the
  // installation as it is.
  static const PacketBuffer empty = (OPacket(true, kUpdateDbType) << std::uint32_t{0}).Data();
  Answer answer = Reply(empty);
  const BrokenRelease* broken =
      latest ? releases.LatestUnavailable() : releases.FindUnavailable(version);
  if (broken) {
    answer.note =
        "UpdateDb answered empty: release " + FormatVersion(broken->version) + " is unavailable";
  }
  return answer;
}

Answer AnswerFileSize(const Releases& releases, IPacket& request) {
  Version version;
  std::string path;
  request >> version >> path;
  ExpectEnd(request);
  const ReleaseFile& file = FindFile(FindRelease(releases, version), path);
  return Reply((OPacket(true, kFileSizeType) << true << file.size).Data());
}

Answer AnswerFileData(const Releases& releases, IPacket& request) {
  bool byIndex = false;
  request >> byIndex;
  std::uint16_t index = 0;
  Version version;
  std::string path;
  if (byIndex) {
    request >> index;
  } else {
    request >> version >> path;
  }
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  request >> offset >> length;
  ExpectEnd(request);

  const ReleaseFile* file = nullptr;
  if (byIndex) {
    const Release& latest = LatestRelease(releases);
    if (index >= latest.files.size()) {
      throw Refused{aus::error_code::kFileNotFound, "index " + std::to_string(index)};
    }
    file = &latest.files[index];
  } else {
    file = &FindFile(FindRelease(releases, version), path);
  }
  Answer answer{Answer::Action::kTransfer, {}, {}, {}, {}};
  answer.transfer.file = file;
  answer.transfer.begin = std::min(offset, file->size);
  const std::uint64_t left = file->size - answer.transfer.begin;
  answer.transfer.end = answer.transfer.begin + (length == 0 ? left : std::min(length, left));
  return answer;
}

}  // namespace

PacketBuffer Refusal(unsigned char type, aus::error_code code) {
  return (OPacket(true, type) << false << code).Data();
}

Answer AnswerRequest(const Releases& releases, IPacket& request) {
  const unsigned char type = request.Type();
  if (request.IsReply()) return Close("reply bit set on a request of type " + std::to_string(type));
  try {
    switch (type) {
      case kProtocolVersionType: {
        Version version;
        request >> version;
        ExpectEnd(request);
        return {};
      }
      case kClientVersionType: {
        Version version;
        std::string platform;
        request >> version >> platform;
        ExpectEnd(request);
        return {};
      }
      case kUpdateDbType:
        return AnswerUpdateDb(releases, request);
      case kFileSizeType:
        return AnswerFileSize(releases, request);
      case kFileDataType:
        return AnswerFileData(releases, request);
      default:
        return Close("unknown message type " + std::to_string(type));
    }
  } catch (const Refused& refused) {
    Answer answer = Reply(Refusal(type, refused.code));
    answer.refusal = refused.code;
    answer.note = std::string(type == kFileDataType ? "FileData" : "FileSize") + " refused (" +
                  std::to_string(static_cast<int>(refused.code)) + " " + Describe(refused.code) +
                  "): " + refused.what;
    return answer;
  } catch (const IO_Error&) {
    if (type == kFileDataType || type == kFileSizeType) {
      Answer answer = Reply(Refusal(type, aus::error_code::kInvalidRequest));
      answer.refusal = aus::error_code::kInvalidRequest;
      answer.note = "malformed request of type " + std::to_string(type) + " refused (1 " +
                    Describe(aus::error_code::kInvalidRequest) + ")";
      return answer;
    }
    return Close("malformed request of type " + std::to_string(type));
  }
}

}  // namespace aus::server
