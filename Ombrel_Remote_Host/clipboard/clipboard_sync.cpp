#include "Ombrel_Remote_Host/clipboard/clipboard_sync.h"

#include <utility>

#include "OmbrelKit/desktop_messages.h"
#include "OmbrelKit/image_guard.h"
#include "OmbrelKit/message_type.h"
#include "OmbrelKit/nv_json.h"
#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/serial_queue.h"

namespace ombrel {

// Services -----------------------------------------------------------------------------------

std::shared_ptr<ClipboardServices> ClipboardServices::create(
    std::shared_ptr<Pasteboard> pasteboard) {
  return std::shared_ptr<ClipboardServices>(new ClipboardServices(std::move(pasteboard)));
}

ClipboardServices::ClipboardServices(std::shared_ptr<Pasteboard> pasteboard)
    : pasteboard_(std::move(pasteboard)) {}

std::shared_ptr<ClipboardSync> ClipboardServices::install(
    const std::shared_ptr<HostSession>& session, std::shared_ptr<SessionInput> input) {
  if (!pasteboard_) return nullptr;
  auto sync = std::make_shared<ClipboardSync>(
      pasteboard_, session, session->host().mainQueue().shared_from_this(), std::move(input));
  {
    std::lock_guard guard(lock_);
    // Entries of ended sessions go as new ones come; a session's address may be reused.
    std::erase_if(syncs_, [](const auto& entry) { return entry.second.expired(); });
    syncs_[session.get()] = sync;
  }
  for (auto [type, paste] : {std::pair{MessageType::clipboard, false},
                             std::pair{MessageType::clipboardTextPaste, true}}) {
    session->setHandler(type, [sync, paste = paste](HostSession&, ByteView body) {
      sync->receiveText(body, paste);
    });
  }
  for (auto [type, paste] : {std::pair{MessageType::clipboardImage, false},
                             std::pair{MessageType::clipboardImagePaste, true}}) {
    session->setHandler(type, [sync, paste = paste](HostSession&, ByteView body) {
      sync->receiveImage(body, paste);
    });
  }
  // The services hold the sync only weakly: the session's handlers and this hook keep it.
  session->addTeardown([sync, self = shared_from_this()](HostSession& ended) {
    sync->end();
    std::lock_guard guard(self->lock_);
    auto found = self->syncs_.find(&ended);
    if (found != self->syncs_.end() && found->second.lock() == sync) self->syncs_.erase(found);
  });
  return sync;
}

void ClipboardServices::check(const std::shared_ptr<HostSession>& session) {
  std::shared_ptr<ClipboardSync> sync;
  {
    std::lock_guard guard(lock_);
    auto found = syncs_.find(session.get());
    if (found != syncs_.end()) sync = found->second.lock();
  }
  if (sync) sync->sendIfChanged();
}

// One session ---------------------------------------------------------------------------------

ClipboardSync::ClipboardSync(std::shared_ptr<Pasteboard> pasteboard,
                             std::weak_ptr<HostSession> session,
                             std::shared_ptr<SerialQueue> mainQueue,
                             std::shared_ptr<SessionInput> input)
    : pasteboard_(std::move(pasteboard)),
      session_(std::move(session)),
      mainQueue_(std::move(mainQueue)),
      input_(std::move(input)),
      // What the desktop held before the session came is not the session's to receive.
      lastChange_(pasteboard_->changeCount()) {}

namespace {

// Whether the desktop's clipboard may go to `session` now.
bool mayReceive(const std::shared_ptr<HostSession>& session) {
  return session && session->authorized() && !session->limited() && session->host().lockedSync() &&
         session->accessAllowed();
}

}  // namespace

void ClipboardSync::sendIfChanged() {
  mainQueue_->assertCurrent();
  if (ended_ || readInFlight_ || !mayReceive(session_.lock())) return;
  const std::int64_t count = pasteboard_->changeCount();
  if (count == lastChange_) return;
  // Whatever the read finds, these contents are not looked at again.
  lastChange_ = count;
  readInFlight_ = true;
  // The answer comes back to the main queue holding nothing: whatever it would hold could be
  // the last reference to the session or the pasteboard, which must not go on the reader.
  std::weak_ptr<ClipboardSync> weak = weak_from_this();
  std::weak_ptr<SerialQueue> queue = mainQueue_;
  pasteboard_->read({}, [weak, queue, count](std::optional<ClipboardContents> contents) {
    if (auto main = queue.lock()) {
      main->post([weak, count, contents = std::move(contents)]() mutable {
        if (auto self = weak.lock()) self->answered(count, std::move(contents));
      });
    }
  });
}

void ClipboardSync::answered(std::int64_t count, std::optional<ClipboardContents> contents) {
  mainQueue_->assertCurrent();
  readInFlight_ = false;
  auto session = session_.lock();
  // A newer owner (or this session's own write) replaced what was read: the next poll sees it.
  if (!contents || ended_ || !mayReceive(session) || pasteboard_->changeCount() != count) return;
  if (contents->concealed || contents->textTooLong) return;
  if (contents->text && !contents->text->empty()) {
    if (contents->text->size() > ClipboardMessage::maxTextBytes) return;
    Bytes body = NVJSON::encode(ClipboardMessage{std::move(*contents->text)});
    // Text that is no UTF-8 cannot be encoded.
    if (!body.empty()) session->send(MessageType::clipboard, std::move(body));
    return;
  }
  if (contents->png && !contents->png->empty()) {
    session->send(MessageType::clipboardImage, std::move(*contents->png));
  }
}

void ClipboardSync::receiveText(ByteView body, bool paste) {
  auto message = NVJSON::tryDecode<ClipboardMessage>(body);
  if (!message) return;
  const std::size_t size = message->text.size();
  enqueue({std::move(message->text), size, paste});
}

void ClipboardSync::receiveImage(ByteView body, bool paste) {
  if (body.size() > HostSession::maxClipboardImageBody || !ImageGuard::isSafe(body)) return;
  enqueue({Bytes(body.begin(), body.end()), body.size(), paste});
}

void ClipboardSync::enqueue(Write write) {
  if (ended_) return;
  bool first = false;
  {
    std::lock_guard guard(pendingLock_);
    if (pending_.size() >= maxPendingWrites || write.size > maxPendingBytes - pendingBytes_) {
      return;
    }
    first = pending_.empty();
    pendingBytes_ += write.size;
    pending_.push_back(std::move(write));
  }
  // One main-queue item drains what piled up behind it.
  if (first) {
    mainQueue_->post([self = shared_from_this()] { self->applyPending(); });
  }
}

void ClipboardSync::applyPending() {
  for (;;) {
    Write write;
    {
      std::lock_guard guard(pendingLock_);
      if (pending_.empty()) return;
      write = std::move(pending_.front());
      pending_.pop_front();
      pendingBytes_ -= write.size;
    }
    apply(write);
  }
}

void ClipboardSync::apply(Write& write) {
  auto session = session_.lock();
  if (ended_ || !session || !session->accessAllowed()) return;
  std::optional<std::int64_t> count =
      std::holds_alternative<std::string>(write.data)
          ? pasteboard_->writeText(std::move(std::get<std::string>(write.data)))
          : pasteboard_->writePNG(std::move(std::get<Bytes>(write.data)));
  if (!count) return;
  // The session's own text is not sent back to it.
  lastChange_ = *count;
  if (write.paste) paste(*session);
}

void ClipboardSync::paste(const HostSession& session) {
  if (!session.accessAllowed() || !input_) return;
  if (InputInjector* injector = input_->injector()) injector->pasteShortcut();
}

void ClipboardSync::end() {
  ended_ = true;
  std::lock_guard guard(pendingLock_);
  pending_.clear();
  pendingBytes_ = 0;
}

}  // namespace ombrel
