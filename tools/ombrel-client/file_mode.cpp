#include "file_mode.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "OmbrelKit/file_transfer.h"
#include "OmbrelKit/messages.h"
#include "base/runtime.h"

namespace ombrel {
namespace {

constexpr double kProgressStep = 0.1;

nlohmann::json optionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

}  // namespace

FileMode::FileMode(Config config) : config_(std::move(config)) {}

FileMode::~FileMode() = default;

bool FileMode::parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                             bool& good) {
  static const std::string names[] = {"--send", "--receive", "--files"};
  const std::string arg = argv[i];
  if (std::find(std::begin(names), std::end(names), arg) == std::end(names)) return false;
  auto* files = dynamic_cast<FileMode*>(mode.get());
  if (!files) {
    if (mode) {  // one mode per run
      good = false;
      return true;
    }
    mode = std::make_shared<FileMode>(Config());
    files = static_cast<FileMode*>(mode.get());
  }
  Config& c = files->config_;
  if (i + 1 >= argc) {
    good = false;
    return true;
  }
  const std::string value = argv[++i];
  if (arg == "--send") {
    c.send.push_back(value);
    good = !value.empty();
  } else if (arg == "--receive") {
    c.receiveDirectory = value;
    good = !value.empty();
  } else {
    int count = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    good = error == std::errc() && end == value.data() + value.size() && count > 0;
    c.files = count;
  }
  return true;
}

void FileMode::begin(std::shared_ptr<NVConnection> conn, Emit emit) {
  conn_ = std::move(conn);
  emit_ = std::move(emit);
  if (config_.receiveDirectory) {
    receiver_ = std::make_unique<FileReceiver>(*config_.receiveDirectory);
    receiver_->onProgress = [this](const std::string& id, double fraction) {
      auto found = incoming_.find(id);
      if (found == incoming_.end()) return;
      progress("receive", id, found->second.first, fraction, found->second.second);
    };
    receiver_->onFinished = [this](const FileResult& result,
                                   std::optional<std::filesystem::path> stored) {
      received(result, stored);
    };
  }
  std::weak_ptr<FileMode> weak = weak_from_this();
  for (const std::string& path : config_.send) {
    std::error_code error;
    auto sender = runtime_ ? FileSender::create(path, conn_, *runtime_, error) : nullptr;
    if (!sender) {
      emit_({{"event", "sendFailed"}, {"name", path}, {"error", error.message()}});
      failed_ = true;
      continue;
    }
    const std::string id = sender->id();
    auto queue = conn_->queue();
    sender->onProgress = [weak, queue, id](double fraction) {
      queue->post([weak, id, fraction] {
        if (auto self = weak.lock()) self->sendProgress(id, fraction);
      });
    };
    sender->onFinished = [weak, queue, id](const NVError& failure) {
      queue->post([weak, id, error = std::string(failure.what())] {
        if (auto self = weak.lock()) self->sendFailed(id, error);
      });
    };
    sending_[id] = Sending{sender};
    sender->start();
  }
  closeWhenDone();
}

bool FileMode::handle(MessageType type, const Bytes& body) {
  switch (type) {
    case MessageType::fileOffer:
      if (!receiver_) return false;
      if (auto offer = NVJSON::tryDecode<FileOffer>(body)) {
        incoming_.try_emplace(offer->id, FileReceiver::sanitize(offer->name), 0.0);
      }
      receiver_->handle(type, body);
      return true;
    case MessageType::fileChunk:
    case MessageType::fileDone:
      if (!receiver_) return false;
      receiver_->handle(type, body);
      return true;
    case MessageType::fileResult: {
      auto result = NVJSON::tryDecode<FileResult>(body);
      if (!result) return true;
      auto found = sending_.find(result->id);
      if (found == sending_.end()) return true;
      emit_({{"event", "fileResult"},
             {"id", result->id},
             {"name", result->name},
             {"ok", result->ok},
             {"message", optionalText(result->message)}});
      if (!result->ok) failed_ = true;
      sending_.erase(found);
      closeWhenDone();
      return true;
    }
    default:
      return false;
  }
}

void FileMode::progress(const std::string& direction, const std::string& id,
                        const std::string& name, double fraction, double& reported) {
  if (fraction < reported + kProgressStep && !(fraction >= 1.0 && reported < 1.0)) return;
  reported = fraction;
  emit_({{"event", "fileProgress"},
         {"direction", direction},
         {"id", id},
         {"name", name},
         {"progress", fraction}});
}

void FileMode::sendProgress(const std::string& id, double fraction) {
  auto found = sending_.find(id);
  if (found == sending_.end()) return;
  progress("send", id, found->second.sender->name(), fraction, found->second.reported);
}

void FileMode::sendFailed(const std::string& id, const std::string& error) {
  auto found = sending_.find(id);
  if (found == sending_.end()) return;
  emit_({{"event", "sendFailed"}, {"name", found->second.sender->name()}, {"error", error}});
  failed_ = true;
  sending_.erase(found);
  closeWhenDone();
}

void FileMode::received(const FileResult& result,
                        const std::optional<std::filesystem::path>& stored) {
  conn_->sendJSON(MessageType::fileResult, result);
  nlohmann::json event = {{"event", "fileReceived"},
                          {"id", result.id},
                          {"name", result.name},
                          {"ok", result.ok},
                          {"message", optionalText(result.message)}};
  if (stored) {
    std::error_code error;
    event["file"] = stored->string();
    event["size"] = std::filesystem::file_size(*stored, error);
  }
  emit_(event);
  incoming_.erase(result.id);
  if (!result.ok) failed_ = true;
  ++receivedCount_;
  closeWhenDone();
}

void FileMode::closeWhenDone() {
  if (!sending_.empty()) return;
  if (receiver_ && (!config_.files || receivedCount_ < *config_.files)) return;
  conn_->close();
}

void FileMode::end() {
  // Partial files go with the receiver; a file the host never answered did not arrive.
  receiver_.reset();
  for (const auto& [id, sending] : sending_) {
    emit_({{"event", "sendFailed"},
           {"name", sending.sender->name()},
           {"error", "the connection closed before the host answered"}});
    failed_ = true;
  }
  sending_.clear();
}

int FileMode::status() const {
  const bool short_ = config_.files && receivedCount_ < *config_.files;
  return failed_ || short_ ? 1 : 0;
}

}  // namespace ombrel
