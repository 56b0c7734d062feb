#pragma once

// The clipboard of every session of the process, kept in step with the desktop's in both
// directions, for plain text and PNG images.
//
// The host program builds one ClipboardServices at start-up around the desktop's Pasteboard and
// calls install() for every new session before the session starts. Each session then gets a
// ClipboardSync:
// - outgoing: the streaming control's cursor timer calls check() every 30th tick while the
//   session streams (main queue). When the desktop's change count moved since the session last
//   looked (or wrote), the contents are read, without waiting on the main queue, and sent as
//   `clipboard` (text) or `clipboardImage` (PNG). Nothing goes to a limited (assistance) session
//   or while the owner has clipboard sync off; concealed contents and text over
//   ClipboardMessage::maxTextBytes are never sent;
// - incoming: `clipboard` and `clipboardTextPaste` (a ClipboardMessage), `clipboardImage` and
//   `clipboardImagePaste` (PNG bytes that ImageGuard vets) are written to the desktop's
//   clipboard on the main queue, and the paste variants then press Ctrl+V through the session's
//   injector. What the session wrote is not sent back to it.
// The session calls the handlers only while it is authorized and clipboard sync is on, and
// bounds image bodies (HostSession::admits). All failures are silent.
//
// Threading: install() on any thread before the session starts; check() on the main queue;
// handlers on the connection queue, which only decodes and vets before it posts the write to
// the main queue. A read's answer arrives on the pasteboard's thread and is posted to the main
// queue, which sends it. A slow owner holds at most one read per session: a poll while that
// session's read is out does nothing. Lifetime: sessions keep the services alive through their
// handlers.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "Ombrel_Remote_Host/clipboard/pasteboard.h"
#include "base/bytes.h"

namespace ombrel {

class ClipboardSync;
class HostSession;
class SerialQueue;
class SessionInput;

class ClipboardServices : public std::enable_shared_from_this<ClipboardServices> {
 public:
  // Null `pasteboard`: there is no desktop clipboard; sessions get no clipboard handlers.
  static std::shared_ptr<ClipboardServices> create(std::shared_ptr<Pasteboard> pasteboard);

  // Registers the session's clipboard handlers and its teardown; `input` (may be null) is the
  // session's input, whose injector pastes. Null without a pasteboard.
  std::shared_ptr<ClipboardSync> install(const std::shared_ptr<HostSession>& session,
                                         std::shared_ptr<SessionInput> input);

  // The session's poll (StreamingServices::Options::onClipboardCheck; main queue).
  void check(const std::shared_ptr<HostSession>& session);

  bool available() const { return pasteboard_ != nullptr; }

 private:
  explicit ClipboardServices(std::shared_ptr<Pasteboard> pasteboard);

  const std::shared_ptr<Pasteboard> pasteboard_;
  std::mutex lock_;
  std::map<const HostSession*, std::weak_ptr<ClipboardSync>> syncs_;  // lock_
};

// One session's clipboard sync.
class ClipboardSync : public std::enable_shared_from_this<ClipboardSync> {
 public:
  // Client writes waiting for the main queue; a peer that sends faster than the desktop takes
  // them loses what does not fit.
  static constexpr std::size_t maxPendingWrites = 8;
  static constexpr std::size_t maxPendingBytes = 33'554'432;

  ClipboardSync(std::shared_ptr<Pasteboard> pasteboard, std::weak_ptr<HostSession> session,
                std::shared_ptr<SerialQueue> mainQueue, std::shared_ptr<SessionInput> input);
  ClipboardSync(const ClipboardSync&) = delete;
  ClipboardSync& operator=(const ClipboardSync&) = delete;

  // Main queue: sends the desktop's clipboard when it changed.
  void sendIfChanged();
  // Connection queue: one client message's body.
  void receiveText(ByteView body, bool paste);
  void receiveImage(ByteView body, bool paste);
  // Connection queue: the session ended; nothing more is sent, written or pasted.
  void end();

  // The change count this session last saw or wrote (lastClipboardChange).
  std::int64_t lastChange() const { return lastChange_; }
  bool readInFlight() const { return readInFlight_; }

 private:
  struct Write {
    std::variant<std::string, Bytes> data;
    std::size_t size = 0;
    bool paste = false;
  };

  void answered(std::int64_t count, std::optional<ClipboardContents> contents);
  void enqueue(Write write);
  void applyPending();
  void apply(Write& write);
  void paste(const HostSession& session);

  const std::shared_ptr<Pasteboard> pasteboard_;
  const std::weak_ptr<HostSession> session_;
  const std::shared_ptr<SerialQueue> mainQueue_;
  const std::shared_ptr<SessionInput> input_;
  // Main queue; atomic for the tests' look.
  std::atomic<std::int64_t> lastChange_;
  std::atomic<bool> readInFlight_{false};
  std::atomic<bool> ended_{false};

  std::mutex pendingLock_;
  std::deque<Write> pending_;     // pendingLock_
  std::size_t pendingBytes_ = 0;  // pendingLock_
};

}  // namespace ombrel
