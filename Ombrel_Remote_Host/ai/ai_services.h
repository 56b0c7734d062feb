#pragma once

// The AI channel of every session of the process.
//
// The host program builds one AIServices at start-up and calls install() for every new session
// before the session starts. Each session then gets the `aiRequest` handler (SessionAI):
// - a limited (assistance) session is answered "限時遠端協助期間不開放 AI 通道" for every
//   request, and nothing else happens: no name, no screen, no tree;
// - otherwise the requests are worked on one at a time, in the order they came: `hello`
//   records the agent's name, `goodbye` clears it, any other request while none is recorded
//   records "AI" (each change announced with sessionsChanged() on the main queue);
//   `displays` answers the delegate's display list; `uiTree` reads the frontmost
//   application's tree; `screenshot` points the session's input at the pictured display (so
//   clicks an agent derives from the picture land on it) and answers the PNG;
// - at most `maxWaitingRequests` wait behind the one being worked on; a request beyond that
//   is refused at once with "AI 通道忙碌中" (its answer may overtake the queued ones'), so a
//   peer flooding requests holds a bounded amount of the host.
//
// Threading: install() on any thread before the session starts. The handler runs on the
// session's connection queue, which never waits: screenshots and tree reads run on the
// blocking worker and their answers come back to the connection queue to be sent. The tree is
// read there, not on the main queue, so that an application that does not answer its
// accessibility bus cannot stall the host; the reads of all sessions take turns (a
// UITreeSource has one caller at a time). agentName() on any thread. Lifetime: the services
// hold the blocking worker's items, so they must go before it; sessions keep the services
// alive through their handlers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "OmbrelKit/ai_messages.h"
#include "Ombrel_Remote_Host/ai/ai_channel.h"
#include "Ombrel_Remote_Host/ai/ui_tree_source.h"
#include "Ombrel_Remote_Host/input/input_injector.h"
#include "base/bytes.h"

namespace ombrel {

class BlockingWorker;
class HostSession;
class Runtime;
class SerialQueue;
class SessionAI;

class AIServices : public std::enable_shared_from_this<AIServices> {
 public:
  static constexpr std::size_t maxWaitingRequests = 16;
  // Larger aiRequest bodies are dropped undecoded: a request is an id, a kind, two numbers
  // and a name.
  static constexpr std::size_t maxRequestBody = 65'536;
  static constexpr int treeMaxDepth = 12;
  static constexpr int treeMaxNodes = 800;
  static constexpr std::string_view limitedText = "限時遠端協助期間不開放 AI 通道";
  static constexpr std::string_view treeUnavailableText = "無法讀取介面（需要「輔助使用」權限）";
  static constexpr std::string_view busyText = "AI 通道忙碌中，請稍後再試";
  // The name of an agent that did not introduce itself.
  static constexpr std::string_view defaultAgentName = "AI";

  struct Dependencies {
    // Where screenshots and tree reads run (Runtime::blockingWorker); required.
    std::shared_ptr<BlockingWorker> blockingWorker;
    // Screenshots; null answers every screenshot with "找不到螢幕".
    std::shared_ptr<AIChannel> channel;
    // The accessibility tree; null answers every uiTree request as unavailable.
    std::shared_ptr<UITreeSource> uiTree;
    // Points the session's input at the display a screenshot pictures (connection queue).
    std::function<void(const std::shared_ptr<HostSession>&, InputRect)> onDisplayBounds;
  };

  static std::shared_ptr<AIServices> create(Dependencies dependencies);

  // Registers the session's aiRequest handler and its teardown. Call before session->start().
  std::shared_ptr<SessionAI> install(const std::shared_ptr<HostSession>& session);

  // The name of the agent using `session`'s AI channel, for the owner's views; nothing while
  // none is.
  std::optional<std::string> agentName(const HostSession& session) const;

 private:
  friend class SessionAI;
  explicit AIServices(Dependencies dependencies);

  UITreeSource::FrontmostTree readTree(bool& available);

  const Dependencies deps_;
  std::mutex treeMutex_;  // one tree reader at a time
  mutable std::mutex sessionsMutex_;
  std::map<const HostSession*, std::weak_ptr<SessionAI>> sessions_;  // sessionsMutex_
};

// One session's AI requests: the line of requests and the agent's name.
//
// States of the line: idle -> working (one request at the worker or being answered) -> idle
// once nothing waits; ended after teardown (nothing is worked on or answered any more).
// Threading: the connection queue, except agentName() (any thread).
class SessionAI : public std::enable_shared_from_this<SessionAI> {
 public:
  SessionAI(std::shared_ptr<AIServices> services, std::weak_ptr<HostSession> session);

  // One `aiRequest` body; undecodable bodies are dropped.
  void handle(ByteView body);
  void end();

  std::optional<std::string> agentName() const;

 private:
  void next();
  void work(const AIRequest& request);
  // A screenshot: find the display, point the session's input at it, take the picture.
  void locate(const AIRequest& request);
  void capture(std::int64_t id, const DisplayRect& display, std::optional<std::int64_t> maxSize);
  // What a worker's result is answered with, back on the connection queue.
  std::function<void(AIResponse)> answerer();
  void answerLater(bool posted, std::int64_t id);
  void noteAgent(const AIRequest& request);
  void send(const AIResponse& response);
  // The request being worked on is answered; the next one starts.
  void answer(const AIResponse& response);

  const std::shared_ptr<AIServices> services_;
  const std::weak_ptr<HostSession> session_;
  const std::shared_ptr<SerialQueue> queue_;
  std::deque<AIRequest> waiting_;  // connection queue
  bool working_ = false;           // connection queue
  bool advancing_ = false;         // connection queue: inside next()
  bool ended_ = false;             // connection queue

  mutable std::mutex nameMutex_;
  std::optional<std::string> agentName_;  // nameMutex_
};

}  // namespace ombrel
