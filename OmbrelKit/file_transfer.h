#pragma once

// Files over a session's secure connection, in both directions.
//
// FileSender streams one local file: a fileOffer, then fileChunks of 256 KiB with at most 8 sent
// and not yet completed (reading resumes from the send completions, so a slow peer bounds the
// memory at 2 MiB per transfer), then fileDone. Success is the peer's fileResult, which the
// sender never sees; the sender reports failures only.
//
// FileReceiver takes the peer's offers into one folder: limits on size and number, safe and
// unique names, and a completeness check. A transfer's final name is reserved at the offer (an
// empty file created exclusively), but its bytes go to a hidden sibling in the same folder that
// is renamed over the reservation only when the byte count matches, so a crash or power loss
// mid-transfer never leaves a truncated file under a name that looks complete.
// removeLeftovers() clears what such a crash left (run it at start-up).
//
// Threading: a sender does all its work, completions included, on its own serial queue
// ("nerovalde.file.send"); its callbacks run there. A receiver is used from one queue at a time
// (the session's connection queue); its callbacks run inside handle() and cancelAll().

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OmbrelKit/desktop_messages.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/nv_error.h"
#include "base/bytes.h"

namespace ombrel {

class NVConnection;
class Runtime;

class FileSender : public std::enable_shared_from_this<FileSender> {
 public:
  static constexpr std::int64_t chunkSize = 262'144;
  static constexpr std::int64_t window = 8;

  // Nothing (and `error` set) when the file cannot be opened for reading.
  static std::shared_ptr<FileSender> create(const std::filesystem::path& path,
                                            std::shared_ptr<NVConnection> conn, Runtime& runtime,
                                            std::error_code& error);
  ~FileSender();
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  // Set before start(); both run on the sender's queue.
  std::function<void(double progress)> onProgress;
  std::function<void(const NVError& error)> onFinished;  // failures only, at most once

  // Sends the offer and starts pumping. Once.
  void start();

  const std::string& id() const { return id_; }
  const std::string& name() const { return name_; }
  std::int64_t size() const { return size_; }

 private:
  FileSender(std::string id, std::filesystem::path path, std::int64_t size, int fd,
             std::shared_ptr<NVConnection> conn, Runtime& runtime);

  struct Private;
  std::string id_;
  std::string name_;
  std::int64_t size_ = 0;
  std::unique_ptr<Private> d_;
};

class FileReceiver {
 public:
  static constexpr std::int64_t maxFileBytes = 68'719'476'736;  // 64 GiB
  static constexpr std::size_t maxConcurrent = 8;
  static constexpr std::size_t maxNameUnits = 200;  // UTF-16 units
  static constexpr const char* refusedText = "無法接收這個檔案";
  static constexpr const char* createFailedText = "無法建立檔案";
  static constexpr const char* incompleteText = "檔案不完整";

  // `directory` is created (with its parents) at the first offer.
  explicit FileReceiver(std::filesystem::path directory);
  // Cancels what is in progress (cancelAll) without reporting it.
  ~FileReceiver();
  FileReceiver(const FileReceiver&) = delete;
  FileReceiver& operator=(const FileReceiver&) = delete;

  std::function<void(const std::string& id, double progress)> onProgress;
  // Every answer the peer gets: refusals, failures and successes (with where the file is).
  std::function<void(const FileResult& result, std::optional<std::filesystem::path> stored)>
      onFinished;

  // Consumes fileOffer, fileChunk and fileDone (true); false for every other type.
  bool handle(MessageType type, ByteView body);
  // Ends every transfer in progress, removing its files; returns their offers.
  std::vector<FileOffer> cancelAll();
  std::size_t inProgress() const;

  const std::filesystem::path& directory() const { return directory_; }

  // A safe, visible, single-component name for what a peer offered.
  static std::string sanitize(std::string_view name);
  // `name` cut to `maxUnits` UTF-16 units, keeping a short extension.
  static std::string shorten(std::string_view name, std::size_t maxUnits);
  // Creates `name`, else "stem 2.ext", "stem 3.ext" ... exclusively (mode 0644). Nothing (and
  // `error` set) on any error but "exists", or after 10000 tries.
  static std::optional<std::filesystem::path> createUnique(const std::filesystem::path& directory,
                                                           const std::string& name,
                                                           std::error_code& error);
  // Removes the hidden siblings of transfers a crash interrupted, and their empty
  // reservations, from `directory`. Returns how many transfers were cleared.
  static std::size_t removeLeftovers(const std::filesystem::path& directory);

 private:
  struct Incoming;
  void offer(ByteView body);
  void chunk(ByteView body);
  void done(ByteView body);
  void answer(const FileOffer& offer, const char* failure);

  std::filesystem::path directory_;
  std::map<std::string, std::unique_ptr<Incoming>> incoming_;
};

}  // namespace ombrel
