#include "Ombrel_Remote_Host/app/headless_host.h"

#include <algorithm>
#include <utility>

#include "Ombrel_Remote_Host/platform/platform_backends.h"
#include "Ombrel_Remote_Host/reachability/port_mapper_service.h"
#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/screen/privacy_screen.h"

namespace ombrel {

HeadlessHost::HeadlessHost(Options options, std::ostream& out)
    : options_(options),
      out_(out),
      runtime_(std::make_unique<Runtime>()),
      power_(openPowerManager(runtime_->sharedClock())),
      screenLock_(openScreenLock()) {}

HeadlessHost::~HeadlessHost() {
  stop();
  // Sessions and their connections live on the runtime's io_context: they go first.
  controller_.reset();
  relay_.reset();
  factory_.reset();
  // The installers may hold the services sessions used; they still need the runtime's queues.
  installers_.clear();
  runtime_.reset();
}

void HeadlessHost::addSessionInstaller(SessionInstaller installer) {
  installers_.push_back(std::move(installer));
}

void HeadlessHost::setFileSending(FileSending send) { fileSending_ = std::move(send); }

void HeadlessHost::start() {
  factory_ = std::make_shared<HostSessionFactory>(*runtime_);
  factory_->onCreated = [installers = installers_](const std::shared_ptr<HostSession>& session) {
    for (const auto& install : installers) install(session);
  };
  // Every session's injector writes the process's record; the cards read it through the guard.
  guard_ = std::make_unique<OwnerInputGuard>(InjectionRecord::shared(), runtime_->clock());
  pairing_ = std::make_unique<TerminalPairing>(out_, runtime_->clock(), guard_.get());
  lastLineAt_ = runtime_->clock().now();

  HostController::Dependencies deps;
  deps.runtime = runtime_.get();
  deps.power = power_;
  deps.screenLock = screenLock_;
  deps.loginItem = openLoginItem();
  deps.advertiser = openBonjourAdvertiser(HostController::machineHostName());
  deps.sessions = factory_;
  deps.setPrivacyScreen = [](bool on) { PrivacyScreen::shared().set(on); };
  deps.displays = [] { return Displays::all(); };
  deps.listenerPort = options_.port;
  // The relay proves the identity the controller serves: load it once for both.
  if (!options_.identity) options_.identity = DeviceIdentity::loadOrCreate("host");
  deps.identity = options_.identity;
  relay_ = RelayClient::create(*runtime_, options_.identity);
  deps.relay = relay_;
  deps.relayAddress = options_.relayAddress;
  deps.portMapper =
      std::make_shared<PortMapperService>(PortMapper::Endpoints{}, runtime_->sharedClock());
  controller_ = HostController::create(std::move(deps));

  runtime_->mainQueue()->sync([this] {
    if (const std::string status = controller_->identityStatus(); !status.empty()) {
      line("identity: " + status);
    }
    controller_->observe([this](HostField field) { observe(field); });
    for (HostField field :
         {HostField::listenerStatus, HostField::listenerPort, HostField::bonjourStatus,
          HostField::relayStatus, HostField::keepAwakeStatus, HostField::launchAtLoginStatus,
          HostField::sessions, HostField::pendingPairings}) {
      observe(field);
    }
  });
}

void HeadlessHost::line(const std::string& text) { out_ << text << std::endl; }

void HeadlessHost::fileLine(const std::string& text) { line("files: " + text); }

void HeadlessHost::observe(HostField field) {
  auto& c = *controller_;
  switch (field) {
    case HostField::listenerPort:
      if (c.listenerPort() != 0 && c.listenerPort() != reportedPort_) {
        line("listening port=" + std::to_string(c.listenerPort()));
      }
      reportedPort_ = c.listenerPort();
      break;
    case HostField::listenerStatus:
      if (!c.listenerStatus().empty()) line("listener: " + c.listenerStatus());
      break;
    case HostField::bonjourStatus:
      if (!c.bonjourStatus().text.empty()) line("bonjour: " + c.bonjourStatus().text);
      break;
    case HostField::relayStatus:
      if (!c.relayStatus().empty()) line("relay: " + c.relayStatus());
      break;
    case HostField::portMappingStatus:
      if (!c.portMappingStatus().text.empty()) line("port mapping: " + c.portMappingStatus().text);
      break;
    case HostField::lastEvent:
      if (c.lastEvent()) line("event: " + *c.lastEvent());
      break;
    case HostField::keepAwakeStatus:
      if (!c.keepAwakeStatus().empty()) line("keep-awake: " + c.keepAwakeStatus());
      break;
    case HostField::launchAtLoginStatus:
      if (!c.launchAtLoginStatus().empty()) line("login item: " + c.launchAtLoginStatus());
      break;
    case HostField::sessions:
      if (c.sessions().size() != reportedSessions_) {
        reportedSessions_ = c.sessions().size();
        line("sessions: " + std::to_string(reportedSessions_));
      }
      break;
    case HostField::pendingPairings:
      syncCards();
      break;
    default:
      break;
  }
}

void HeadlessHost::syncCards() {
  const auto& pending = controller_->pendingPairings();
  std::set<std::string> waiting;
  for (const auto& request : pending) {
    const std::string& id = request.session->id();
    waiting.insert(id);
    if (shownCards_.insert(id).second) {
      pairing_->show({.sessionID = id,
                      .deviceName = request.session->clientName(),
                      .code = request.code,
                      .grantSeconds = request.session->grantSeconds()});
    }
  }
  for (auto it = shownCards_.begin(); it != shownCards_.end();) {
    if (waiting.count(*it)) {
      ++it;
      continue;
    }
    pairing_->withdraw(*it);
    it = shownCards_.erase(it);
  }
}

void HeadlessHost::answer(std::string text) {
  // Remote input is judged against when the line arrived, not when the main queue gets to it.
  const double readAt = runtime_->clock().now();
  runtime_->mainQueue()->post([this, text = std::move(text), readAt] {
    if (stopped_ || !controller_) return;
    const double since = std::exchange(lastLineAt_, std::max(lastLineAt_, readAt));
    if (auto paths = sendCommand(text)) return sendFiles(*paths, since, readAt);
    auto decision = pairing_->answer(text, readAt);
    if (!decision) return;
    const auto& pending = controller_->pendingPairings();
    auto request = std::find_if(pending.begin(), pending.end(), [&](const auto& entry) {
      return entry.session->id() == decision->sessionID;
    });
    if (request == pending.end()) return;
    auto session = request->session;
    controller_->answer(session, decision->choice != TerminalPairing::Choice::deny,
                        decision->choice == TerminalPairing::Choice::allowOwnDevice);
  });
}

std::optional<std::vector<std::string>> HeadlessHost::sendCommand(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\\' && i + 1 < line.size() &&
               (quote == 0 || line[i + 1] == '"' || line[i + 1] == '\\')) {
      word += line[++i];
      inWord = true;
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (inWord) words.push_back(std::exchange(word, {}));
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
    // Any other first word makes the line an answer to a card.
    if (words.size() == 1 && words.front() != "send") return std::nullopt;
  }
  if (inWord && !quote) words.push_back(std::move(word));
  if (words.empty() || words.front() != "send") return std::nullopt;
  if (quote) return std::vector<std::string>();
  words.erase(words.begin());
  return words;
}

void HeadlessHost::sendFiles(const std::vector<std::string>& paths, double since, double readAt) {
  if (paths.empty()) {
    fileLine("用法：send 路徑…（路徑有空白時加上引號）");
    return;
  }
  // The host's files leave the computer: only the person at it may ask for that.
  if (auto refusal = guard_->checkLine(since, readAt)) {
    fileLine(std::string(OwnerInputGuard::text(*refusal)));
    return;
  }
  if (!fileSending_) {
    fileLine("這個主機不能傳送檔案");
    return;
  }
  fileSending_(std::vector<std::filesystem::path>(paths.begin(), paths.end()));
}

void HeadlessHost::stop() {
  if (!controller_) return;
  const bool first = runtime_->mainQueue()->sync([this] {
    if (stopped_) return false;
    stopped_ = true;
    return true;
  });
  if (!first) return;
  controller_->shutdown();
  relay_->shutdown();
  PrivacyScreen::shared().set(false);
}

}  // namespace ombrel
