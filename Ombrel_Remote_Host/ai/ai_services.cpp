#include "Ombrel_Remote_Host/ai/ai_services.h"

#include <utility>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/blocking_worker.h"
#include "base/serial_queue.h"

namespace ombrel {
namespace {

AIResponse refusal(std::int64_t id, std::string_view text) {
  return AIResponse{.id = id, .ok = false, .error = std::string(text)};
}

}  // namespace

// Services -----------------------------------------------------------------------------------

std::shared_ptr<AIServices> AIServices::create(Dependencies dependencies) {
  return std::shared_ptr<AIServices>(new AIServices(std::move(dependencies)));
}

AIServices::AIServices(Dependencies dependencies) : deps_(std::move(dependencies)) {}

std::shared_ptr<SessionAI> AIServices::install(const std::shared_ptr<HostSession>& session) {
  auto ai = std::make_shared<SessionAI>(shared_from_this(), session);
  session->setHandler(MessageType::aiRequest,
                      [ai](HostSession&, ByteView body) { ai->handle(body); });
  session->addTeardown([ai](HostSession&) { ai->end(); });
  std::lock_guard guard(sessionsMutex_);
  // Entries of ended sessions go as new ones come; a session's address may be reused.
  std::erase_if(sessions_, [](const auto& entry) { return entry.second.expired(); });
  sessions_[session.get()] = ai;
  return ai;
}

std::optional<std::string> AIServices::agentName(const HostSession& session) const {
  std::shared_ptr<SessionAI> ai;
  {
    std::lock_guard guard(sessionsMutex_);
    auto found = sessions_.find(&session);
    if (found != sessions_.end()) ai = found->second.lock();
  }
  return ai ? ai->agentName() : std::nullopt;
}

UITreeSource::FrontmostTree AIServices::readTree(bool& available) {
  std::lock_guard guard(treeMutex_);
  available = deps_.uiTree && deps_.uiTree->available();
  if (!available) return {};
  return deps_.uiTree->frontmostTree(treeMaxDepth, treeMaxNodes);
}

// One session -------------------------------------------------------------------------------

SessionAI::SessionAI(std::shared_ptr<AIServices> services, std::weak_ptr<HostSession> session)
    : services_(std::move(services)), session_(std::move(session)), queue_([this] {
        auto strong = session_.lock();
        return strong ? strong->conn()->queue() : nullptr;
      }()) {}

void SessionAI::handle(ByteView body) {
  if (body.size() > AIServices::maxRequestBody) return;
  auto request = NVJSON::tryDecode<AIRequest>(body);
  if (!request || ended_) return;
  auto session = session_.lock();
  if (!session) return;
  if (session->limited()) {
    send(refusal(request->id, AIServices::limitedText));
    return;
  }
  if (working_ && waiting_.size() >= AIServices::maxWaitingRequests) {
    send(refusal(request->id, AIServices::busyText));
    return;
  }
  waiting_.push_back(std::move(*request));
  next();
}

void SessionAI::end() {
  ended_ = true;
  waiting_.clear();
}

std::optional<std::string> SessionAI::agentName() const {
  std::lock_guard guard(nameMutex_);
  return agentName_;
}

void SessionAI::next() {
  // Requests answered at once come back here through answer(): a loop, not a recursion.
  if (advancing_) return;
  advancing_ = true;
  while (!working_ && !ended_ && !waiting_.empty()) {
    AIRequest request = std::move(waiting_.front());
    waiting_.pop_front();
    working_ = true;
    work(request);
  }
  advancing_ = false;
}

void SessionAI::noteAgent(const AIRequest& request) {
  std::optional<std::string> name;
  {
    std::lock_guard guard(nameMutex_);
    name = agentName_;
    switch (request.kind) {
      case AIRequest::Kind::hello:
        agentName_ = request.agentName;
        break;
      case AIRequest::Kind::goodbye:
        agentName_.reset();
        break;
      default:
        if (!agentName_) agentName_ = std::string(AIServices::defaultAgentName);
        break;
    }
    if (name == agentName_) return;
  }
  if (auto session = session_.lock()) {
    HostSessionDelegate& host = session->host();
    host.mainQueue().post([&host] { host.sessionsChanged(); });
  }
}

void SessionAI::work(const AIRequest& request) {
  noteAgent(request);
  const std::int64_t id = request.id;
  auto session = session_.lock();
  if (!session) return;
  switch (request.kind) {
    case AIRequest::Kind::hello:
    case AIRequest::Kind::goodbye:
      answer(AIResponse{.id = id, .ok = true});
      return;
    case AIRequest::Kind::displays:
      answer(AIResponse{.id = id, .ok = true, .displays = session->host().displays()});
      return;
    case AIRequest::Kind::screenshot:
      locate(request);
      return;
    case AIRequest::Kind::uiTree:
      break;
  }
  auto services = services_;
  answerLater(
      services->deps_.blockingWorker->run(
          queue_,
          [services, id] {
            bool available = false;
            auto tree = services->readTree(available);
            if (!available) return refusal(id, AIServices::treeUnavailableText);
            return AIResponse{
                .id = id, .ok = true, .app = std::move(tree.app), .tree = std::move(tree.tree)};
          },
          answerer()),
      id);
}

// The display is found on the worker (the display list asks the X server), the session's
// input is pointed at it here, and only then is the picture taken: an input event the agent
// sends after this request already lands on the display it asked about.
void SessionAI::locate(const AIRequest& request) {
  auto services = services_;
  std::weak_ptr<SessionAI> weak = weak_from_this();
  const std::int64_t id = request.id;
  answerLater(services->deps_.blockingWorker->run(
                  queue_,
                  [services, displayID = request.displayID] {
                    auto& channel = services->deps_.channel;
                    return channel ? channel->display(displayID) : std::nullopt;
                  },
                  [weak, id, maxSize = request.maxSize](std::optional<DisplayRect> display) {
                    auto self = weak.lock();
                    if (!self || self->ended_) return;
                    if (!display) {
                      self->answer(refusal(id, AIChannel::noDisplayText));
                      return;
                    }
                    self->capture(id, *display, maxSize);
                  }),
              id);
}

void SessionAI::capture(std::int64_t id, const DisplayRect& display,
                        std::optional<std::int64_t> maxSize) {
  auto session = session_.lock();
  if (session && services_->deps_.onDisplayBounds) {
    services_->deps_.onDisplayBounds(
        session,
        InputRect{static_cast<double>(display.x), static_cast<double>(display.y),
                  static_cast<double>(display.width), static_cast<double>(display.height)});
  }
  auto services = services_;
  answerLater(services->deps_.blockingWorker->run(
                  queue_,
                  [services, id, display, maxSize] {
                    auto result = services->deps_.channel->screenshot(display, maxSize);
                    if (auto* error = std::get_if<NVError>(&result)) {
                      return refusal(id, error->errorDescription());
                    }
                    auto& shot = std::get<AIChannel::Screenshot>(result);
                    return AIResponse{.id = id,
                                      .ok = true,
                                      .png = std::move(shot.png),
                                      .pointWidth = shot.pointWidth,
                                      .pointHeight = shot.pointHeight};
                  },
                  answerer()),
              id);
}

std::function<void(AIResponse)> SessionAI::answerer() {
  return [weak = weak_from_this()](AIResponse response) {
    auto self = weak.lock();
    if (self && !self->ended_) self->answer(response);
  };
}

void SessionAI::answerLater(bool posted, std::int64_t id) {
  // The worker's backlog is shared by every session; when it is full the request is refused.
  if (!posted) answer(refusal(id, AIServices::busyText));
}

void SessionAI::send(const AIResponse& response) {
  if (auto session = session_.lock()) {
    session->send(MessageType::aiResponse, NVJSON::encode(response));
  }
}

void SessionAI::answer(const AIResponse& response) {
  send(response);
  working_ = false;
  next();
}

}  // namespace ombrel
