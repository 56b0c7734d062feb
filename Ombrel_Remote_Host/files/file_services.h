#pragma once

// File transfer for every session of the process, both ways.
//
// Receiving: each installed session gets a FileReceiver (made at its first file message) that
// writes into the download folder, and handlers for fileOffer, fileChunk and fileDone. While the
// owner has receiving switched off (HostSessionDelegate::lockedReceive), a new offer and every
// transfer in progress are answered "這台電腦目前不接收檔案" and nothing is written. Every answer
// of the receiver goes to the client as fileResult; a stored file is marked as downloaded from
// elsewhere (the quarantine attribute; a file system without user attributes goes without) and
// reported to the owner. When the session ends its transfers in progress are removed.
//
// Sending: sendToClients() streams each file to every authorized session with a FileSender of
// its own. The owner hears the progress (every 10 % or, for slow transfers, every second), each
// failure, and the client's fileResult, which ends the transfer.
//
// Report lines go to Options::report, always on the main queue.
//
// Threading: install() on any thread before the session starts; the session's file handlers
// and teardown run on its connection queue (the receiver's disk writes with them, as its own
// contract says); senders on their own queues; sendToClients() on any thread. The shared state
// (installed sessions, transfers going out) sits under one mutex. Lifetime: sessions keep the
// services alive through their handlers; the services must go before the Runtime.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OmbrelKit/desktop_messages.h"
#include "OmbrelKit/message_type.h"
#include "base/bytes.h"

namespace ombrel {

class FileReceiver;
class FileSender;
class HostSession;
class Runtime;

class FileServices : public std::enable_shared_from_this<FileServices> {
 public:
  static constexpr const char* notReceivingText = "這台電腦目前不接收檔案";
  static constexpr const char* quarantineAttribute = "user.com.apple.quarantine";
  // A transfer's progress is reported at least this far apart, or this many seconds apart.
  static constexpr double progressStep = 0.1;
  static constexpr double progressInterval = 1.0;

  using Report = std::function<void(const std::string& line)>;

  struct Options {
    // Where received files go; empty: downloadFolder().
    std::filesystem::path directory;
    // The owner's report lines (main queue); null reports nothing.
    Report report;
  };

  // The XDG download directory (else ~/Downloads) + "/Ombrel Remote".
  static std::filesystem::path downloadFolder();

  // Clears what an interrupted transfer left in the folder (a crash, a power loss).
  static std::shared_ptr<FileServices> create(Runtime& runtime, Options options);
  ~FileServices();
  FileServices(const FileServices&) = delete;
  FileServices& operator=(const FileServices&) = delete;

  // The session's file handlers and teardown. Before session->start().
  void install(const std::shared_ptr<HostSession>& session);

  // The owner's files to every authorized session (the controller's sendFilesToClients).
  void sendToClients(const std::vector<std::filesystem::path>& paths);

  const std::filesystem::path& directory() const { return directory_; }
  // Transfers going out that have not ended yet.
  std::size_t sending() const;

  // The quarantine value for a file received at `unixSeconds`.
  static std::string quarantineValue(std::int64_t unixSeconds);
  // The owner's lines.
  static std::string receivedLine(std::string_view clientName, std::string_view fileName);
  static std::string receiveFailedLine(std::string_view fileName);

 private:
  struct SessionFiles;
  struct Outgoing;
  struct Installed {
    std::weak_ptr<HostSession> session;
    bool ended = false;
  };

  FileServices(Runtime& runtime, Options options);

  void incoming(HostSession& session, SessionFiles& files, MessageType type, ByteView body);
  void received(HostSession& session, const FileResult& result,
                const std::optional<std::filesystem::path>& stored);
  void answered(const HostSession& session, ByteView body);
  void ended(HostSession& session, SessionFiles& files);
  void progress(const std::string& id, double fraction);
  void failed(const std::string& id, const std::string& why);
  void report(std::string line);

  Runtime& runtime_;
  const std::filesystem::path directory_;
  const Report report_;

  mutable std::mutex lock_;
  // Installed sessions by address; entries of sessions that are gone go as new ones come (an
  // address may be reused).
  std::map<const HostSession*, Installed> sessions_;  // lock_
  std::map<std::string, Outgoing> outgoing_;          // lock_, by transfer id
};

}  // namespace ombrel
