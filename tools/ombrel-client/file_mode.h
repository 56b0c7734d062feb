#pragma once

//   ombrel-client --connect HOST:PORT [--send PATH]... [--receive DIR [--files N]]
//
// Files both ways, as a client app sends and takes them. Each --send PATH goes to the host with
// a FileSender once the session is authorized; the host answers each with fileResult. With
// --receive DIR the host's offers are taken into DIR by a FileReceiver (safe unique names, the
// offered size checked) and answered with fileResult. The connection closes once every file
// sent is answered and, with --files N, N files came in; without --files the client takes
// files until the host closes or the timeout.
//
// Events: {"event":"fileProgress","direction":"send"|"receive","id","name","progress"} every
// 10 %, {"event":"fileResult","id","name","ok","message"} (the host's answer to a file sent),
// {"event":"sendFailed","name","error"}, {"event":"fileReceived","id","name","ok","message",
// "file","size"} (one per file offered, "file" and "size" when it was stored).
//
// Exit status: 0 when every file went and came as planned, 1 otherwise.
//
// Threading: the connection's queue (ClientMode); the senders' callbacks hop onto it.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OmbrelKit/desktop_messages.h"
#include "client_session.h"

namespace ombrel {

class FileReceiver;
class FileSender;
class Runtime;

class FileMode : public ClientMode, public std::enable_shared_from_this<FileMode> {
 public:
  struct Config {
    std::vector<std::string> send;
    std::optional<std::string> receiveDirectory;
    std::optional<int> files;  // files to receive before closing
  };

  explicit FileMode(Config config);
  ~FileMode() override;

  // Parses one file argument at argv[i] (advancing i past its value). True when it was one;
  // `good` tells whether it parsed. The first one makes `mode` a FileMode.
  static bool parseArgument(int argc, char** argv, int& i, std::shared_ptr<ClientMode>& mode,
                            bool& good);

  // Where the senders' queues come from; before begin().
  void setRuntime(Runtime& runtime) { runtime_ = &runtime; }

  void begin(std::shared_ptr<NVConnection> conn, Emit emit) override;
  bool handle(MessageType type, const Bytes& body) override;
  void end() override;
  int status() const override;

 private:
  struct Sending {
    std::shared_ptr<FileSender> sender;
    double reported = 0;
  };

  void sendProgress(const std::string& id, double fraction);
  void sendFailed(const std::string& id, const std::string& error);
  void received(const FileResult& result, const std::optional<std::filesystem::path>& stored);
  void progress(const std::string& direction, const std::string& id, const std::string& name,
                double fraction, double& reported);
  void closeWhenDone();

  Config config_;
  Runtime* runtime_ = nullptr;
  std::shared_ptr<NVConnection> conn_;
  Emit emit_;
  std::map<std::string, Sending> sending_;  // by transfer id, until the host answers
  std::unique_ptr<FileReceiver> receiver_;
  std::map<std::string, std::pair<std::string, double>> incoming_;  // id -> name, reported
  int receivedCount_ = 0;
  bool failed_ = false;
};

}  // namespace ombrel
