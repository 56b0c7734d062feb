// A peer's file messages into a FileReceiver in a scratch folder, and arbitrary names through
// sanitize(). Whatever the peer sends, nothing may appear outside the folder or below it, and
// once the receiver is gone no partial file may be left.
//
// Input: a sequence of [op][length][length bytes of body]. The op picks raw bodies (offer,
// chunk, done) or bodies built from the bytes around one of a few transfer ids, so that chunks
// and dones meet the offers they belong to.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/file_transfer.h"
#include "OmbrelKit/nv_json.h"
#include "base/log.h"

using namespace ombrel;
namespace fs = std::filesystem;

namespace {

const std::string ids[] = {
    "6F9619FF-8B86-4011-B42D-00C04FC964FF",
    "6F9619FF-8B86-4011-B42D-00C04FC964F0",
    "00000000-0000-4000-8000-000000000000",
    "short",
};

// Never destroyed, so the exit handler that removes it can still name it.
const fs::path& scratch() {
  static const fs::path* root = [] {
    std::string pattern = (fs::temp_directory_path() / "ombrel-file-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    return new fs::path(pattern);
  }();
  static const bool removedAtExit = (std::atexit([] {
                                       std::error_code ec;
                                       fs::remove_all(*root, ec);
                                     }) == 0);
  (void)removedAtExit;
  return *root;
}

void checkName(std::string_view offered) {
  const std::string name = FileReceiver::sanitize(offered);
  if (name.empty() || name == "." || name == ".." || name.front() == '.') std::abort();
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) std::abort();
  if (FileReceiver::sanitize(name) != name) std::abort();
}

std::int64_t offeredSize(ByteView bytes) {
  if (bytes.empty()) return 0;
  switch (bytes[0] % 4) {
    case 0:
      return FileReceiver::maxFileBytes + (bytes[0] & 0x10 ? 1 : 0);
    case 1:
      return -1 - bytes[0];
    default:
      return bytes.size() > 1 ? bytes[1] : 0;
  }
}

// The folder holds regular files and nothing else, and the scratch root only the folder.
void checkContained(const fs::path& folder) {
  for (const auto& entry : fs::directory_iterator(scratch())) {
    if (entry.path() != folder) std::abort();
  }
  if (!fs::exists(folder)) return;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file() || entry.is_symlink()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (log::setSink([](std::string_view) {}), true);
  (void)quiet;
  if (size > (1 << 14)) return 0;
  checkName(std::string_view(reinterpret_cast<const char*>(data), size));

  const fs::path folder = scratch() / "in";
  {
    FileReceiver receiver(folder);
    receiver.onFinished = [](const FileResult& result, std::optional<fs::path> stored) {
      if (stored && (result.ok != true || stored->parent_path() != scratch() / "in")) std::abort();
      if (!result.ok && stored) std::abort();
      if (stored && stored->filename().string().starts_with('.')) std::abort();  // hidden
    };
    ByteView input(data, size);
    while (input.size() >= 2) {
      const std::uint8_t op = input[0];
      const std::size_t length = std::min<std::size_t>(input[1], input.size() - 2);
      const ByteView body = input.subspan(2, length);
      input = input.subspan(2 + length);
      const std::string& id = ids[body.empty() ? 0 : body[0] % 4];
      const ByteView rest = body.empty() ? body : body.subspan(1);
      bool consumed = true;
      switch (op % 8) {
        case 0:
          consumed = receiver.handle(MessageType::fileOffer, body);
          break;
        case 1: {
          const std::string name(rest.begin() + std::min<std::size_t>(rest.size(), 2), rest.end());
          checkName(name);
          consumed = receiver.handle(MessageType::fileOffer,
                                     NVJSON::encode(FileOffer{id, name, offeredSize(rest)}));
          break;
        }
        case 2:
          consumed = receiver.handle(MessageType::fileChunk, body);
          break;
        case 3: {
          Bytes chunk(id.begin(), id.end());
          chunk.resize(FileChunk::idLength, '-');
          chunk.insert(chunk.end(), rest.begin(), rest.end());
          consumed = receiver.handle(MessageType::fileChunk, chunk);
          break;
        }
        case 4:
          consumed = receiver.handle(MessageType::fileDone, body);
          break;
        case 5:
          consumed = receiver.handle(MessageType::fileDone, NVJSON::encode(FileDone{id}));
          break;
        case 6:
          receiver.cancelAll();
          if (receiver.inProgress() != 0) std::abort();
          break;
        default:
          if (receiver.handle(MessageType::clipboard, body)) std::abort();
          break;
      }
      if (!consumed || receiver.inProgress() > FileReceiver::maxConcurrent) std::abort();
      checkContained(folder);
    }
  }
  // Gone with the receiver: every partial file and its reservation.
  if (FileReceiver::removeLeftovers(folder) != 0) std::abort();
  checkContained(folder);
  std::error_code ec;
  fs::remove_all(folder, ec);
  return 0;
}
