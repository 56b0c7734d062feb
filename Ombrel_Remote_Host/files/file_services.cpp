#include "Ombrel_Remote_Host/files/file_services.h"

#include <sys/xattr.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include "OmbrelKit/file_transfer.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/runtime.h"
#include "base/serial_queue.h"
#include "base/xdg_dirs.h"

namespace ombrel {
namespace {

constexpr const char* kNoClientsText = "沒有已授權的裝置連線，檔案沒有傳送";

// What a peer named goes on the owner's terminal only as a file name could be stored: no control
// characters that would forge or break status lines, no direction overrides.
std::string shown(std::string_view name) { return FileReceiver::sanitize(name); }

std::string sendingLine(std::string_view name, std::string_view client, double fraction) {
  const int percent = static_cast<int>(fraction * 100.0 + 1e-9);
  return "傳送「" + std::string(name) + "」給 " + std::string(client) + "：" +
         std::to_string(percent) + "%";
}

std::string sendFailedLine(std::string_view name, std::string_view client) {
  return "傳送失敗：" + std::string(name) + "（" + std::string(client) + "）";
}

}  // namespace

// One session's side of the receiving: connection queue only.
struct FileServices::SessionFiles {
  std::unique_ptr<FileReceiver> receiver;
};

struct FileServices::Outgoing {
  const HostSession* session = nullptr;
  std::shared_ptr<FileSender> sender;
  std::string name;
  std::string clientName;
  double reported = 0;    // the fraction last reported
  double reportedAt = 0;  // when, on the runtime's clock
};

std::filesystem::path FileServices::downloadFolder() {
  return XdgDirs::userDir("DOWNLOAD").value_or(XdgDirs::home() / "Downloads") / "Ombrel Remote";
}

std::shared_ptr<FileServices> FileServices::create(Runtime& runtime, Options options) {
  auto services = std::shared_ptr<FileServices>(new FileServices(runtime, std::move(options)));
  FileReceiver::removeLeftovers(services->directory_);
  return services;
}

FileServices::FileServices(Runtime& runtime, Options options)
    : runtime_(runtime),
      directory_(options.directory.empty() ? downloadFolder() : std::move(options.directory)),
      report_(std::move(options.report)) {}

FileServices::~FileServices() = default;

std::string FileServices::quarantineValue(std::int64_t unixSeconds) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(unixSeconds));
  return "0081;" + std::string(hex) + ";Ombrel Remote;";
}

std::string FileServices::receivedLine(std::string_view clientName, std::string_view fileName) {
  return "收到來自 " + std::string(clientName) + " 的「" + std::string(fileName) +
         "」（下載/Ombrel Remote）";
}

std::string FileServices::receiveFailedLine(std::string_view fileName) {
  return "接收失敗：" + std::string(fileName);
}

void FileServices::report(std::string line) {
  if (!report_) return;
  runtime_.mainQueue()->post([report = report_, line = std::move(line)] { report(line); });
}

std::size_t FileServices::sending() const {
  std::lock_guard guard(lock_);
  return outgoing_.size();
}

// Receiving -----------------------------------------------------------------------------------

void FileServices::install(const std::shared_ptr<HostSession>& session) {
  {
    std::lock_guard guard(lock_);
    std::erase_if(sessions_, [](const auto& entry) { return entry.second.session.expired(); });
    sessions_[session.get()] = Installed{session};
  }
  auto files = std::make_shared<SessionFiles>();
  auto self = shared_from_this();
  for (MessageType type : {MessageType::fileOffer, MessageType::fileChunk, MessageType::fileDone}) {
    session->setHandler(type, [self, files, type](HostSession& s, ByteView body) {
      self->incoming(s, *files, type, body);
    });
  }
  session->setHandler(MessageType::fileResult,
                      [self](HostSession& s, ByteView body) { self->answered(s, body); });
  session->addTeardown([self, files](HostSession& s) { self->ended(s, *files); });
}

void FileServices::incoming(HostSession& session, SessionFiles& files, MessageType type,
                            ByteView body) {
  if (!session.host().lockedReceive()) {
    auto refuse = [&session](const FileOffer& offer) {
      session.send(
          MessageType::fileResult,
          NVJSON::encode(FileResult{
              .id = offer.id, .name = offer.name, .ok = false, .message = notReceivingText}));
    };
    if (type == MessageType::fileOffer) {
      if (auto offer = NVJSON::tryDecode<FileOffer>(body)) refuse(*offer);
    }
    // Switching receiving off also stops what was coming in: nothing more is written.
    if (files.receiver) {
      for (const FileOffer& offer : files.receiver->cancelAll()) refuse(offer);
    }
    return;
  }
  if (!files.receiver) {
    files.receiver = std::make_unique<FileReceiver>(directory_);
    // The receiver calls back only from inside handle() and cancelAll(), which run here with
    // the session alive.
    files.receiver->onFinished = [this, weak = session.weak_from_this()](
                                     const FileResult& result,
                                     std::optional<std::filesystem::path> stored) {
      if (auto s = weak.lock()) received(*s, result, stored);
    };
  }
  files.receiver->handle(type, body);
}

void FileServices::received(HostSession& session, const FileResult& result,
                            const std::optional<std::filesystem::path>& stored) {
  session.send(MessageType::fileResult, NVJSON::encode(result));
  if (!result.ok || !stored) {
    report(receiveFailedLine(shown(result.name)));
    return;
  }
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  const std::string value = quarantineValue(now);
  // A file system without user attributes (some FUSE and network mounts) keeps the file
  // unmarked: the file itself is what the owner asked for.
  (void)::setxattr(stored->c_str(), quarantineAttribute, value.data(), value.size(), 0);
  report(receivedLine(session.clientName(), stored->filename().string()));
}

void FileServices::ended(HostSession& session, SessionFiles& files) {
  if (files.receiver) {
    auto cancelled = files.receiver->cancelAll();
    files.receiver.reset();
    for (const FileOffer& offer : cancelled) report(receiveFailedLine(shown(offer.name)));
  }
  std::vector<Outgoing> cut;
  {
    std::lock_guard guard(lock_);
    if (auto found = sessions_.find(&session); found != sessions_.end()) found->second.ended = true;
    for (auto it = outgoing_.begin(); it != outgoing_.end();) {
      if (it->second.session != &session) {
        ++it;
        continue;
      }
      cut.push_back(std::move(it->second));
      it = outgoing_.erase(it);
    }
  }
  for (const Outgoing& transfer : cut) report(sendFailedLine(transfer.name, transfer.clientName));
}

// Sending -------------------------------------------------------------------------------------

void FileServices::sendToClients(const std::vector<std::filesystem::path>& paths) {
  std::vector<std::string> lines;
  std::vector<std::shared_ptr<HostSession>> targets;
  std::vector<std::shared_ptr<FileSender>> senders;
  {
    std::lock_guard guard(lock_);
    for (const auto& [address, installed] : sessions_) {
      auto session = installed.session.lock();
      if (session && !installed.ended && session->authorized()) targets.push_back(session);
    }
    if (targets.empty()) lines.push_back(kNoClientsText);
    const double now = runtime_.clock().now();
    for (const auto& path : paths) {
      if (targets.empty()) break;
      const std::string name = path.filename().string();
      std::error_code error;
      if (std::filesystem::is_directory(path, error)) {
        lines.push_back("只能傳送檔案：" + name + " 是資料夾");
        continue;
      }
      for (const auto& session : targets) {
        auto sender = FileSender::create(path, session->conn(), runtime_, error);
        if (!sender) {
          lines.push_back("無法讀取：" + name + "（" + error.message() + "）");
          break;
        }
        std::weak_ptr<FileServices> weak = weak_from_this();
        sender->onProgress = [weak, id = sender->id()](double fraction) {
          if (auto self = weak.lock()) self->progress(id, fraction);
        };
        sender->onFinished = [weak, id = sender->id()](const NVError& failure) {
          if (auto self = weak.lock()) self->failed(id, failure.what());
        };
        outgoing_.emplace(sender->id(), Outgoing{.session = session.get(),
                                                 .sender = sender,
                                                 .name = sender->name(),
                                                 .clientName = session->clientName(),
                                                 .reportedAt = now});
        senders.push_back(std::move(sender));
      }
    }
  }
  for (auto& line : lines) report(std::move(line));
  // Started outside the lock: a sender may call back at once.
  for (const auto& sender : senders) sender->start();
}

void FileServices::progress(const std::string& id, double fraction) {
  std::optional<std::string> line;
  {
    std::lock_guard guard(lock_);
    auto found = outgoing_.find(id);
    if (found == outgoing_.end()) return;
    Outgoing& transfer = found->second;
    const double now = runtime_.clock().now();
    if (fraction >= transfer.reported + progressStep ||
        (fraction > transfer.reported && now - transfer.reportedAt >= progressInterval)) {
      transfer.reported = fraction;
      transfer.reportedAt = now;
      line = sendingLine(transfer.name, transfer.clientName, fraction);
    }
  }
  if (line) report(std::move(*line));
}

void FileServices::failed(const std::string& id, const std::string& why) {
  std::optional<Outgoing> transfer;
  {
    std::lock_guard guard(lock_);
    auto found = outgoing_.find(id);
    if (found == outgoing_.end()) return;
    transfer = std::move(found->second);
    outgoing_.erase(found);
  }
  report(sendFailedLine(transfer->name, transfer->clientName) + "：" + why);
}

void FileServices::answered(const HostSession& session, ByteView body) {
  auto result = NVJSON::tryDecode<FileResult>(body);
  if (!result) return;
  // The sending side lives with the owner's actions, on the main queue.
  runtime_.mainQueue()->post(
      [self = shared_from_this(), address = &session, result = std::move(*result)] {
        std::optional<Outgoing> transfer;
        {
          std::lock_guard guard(self->lock_);
          auto found = self->outgoing_.find(result.id);
          // Only the client a file went to can answer for it.
          if (found == self->outgoing_.end() || found->second.session != address) return;
          transfer = std::move(found->second);
          self->outgoing_.erase(found);
        }
        if (result.ok) {
          self->report("已傳送「" + transfer->name + "」給 " + transfer->clientName);
        } else {
          self->report(transfer->clientName + " 沒有收下「" + transfer->name + "」" +
                       (result.message ? "：" + shown(*result.message) : std::string()));
        }
      });
}

}  // namespace ombrel
