#include "Ombrel_Remote_Host/linux/x11/x11_pasteboard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <list>
#include <mutex>
#include <thread>
#include <variant>

#include "OmbrelKit/image_guard.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "base/log.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr xcb_atom_t atomNone = XCB_ATOM_NONE;
constexpr xcb_atom_t atomString = XCB_ATOM_STRING;

// Served data above this goes by INCR: well under any server's maximum request, and small
// enough that one transfer never holds the server for long.
constexpr std::size_t chunkBytes = 256 * 1024;
// TARGETS lists and the password manager's hint are small; a bigger answer is not one.
constexpr std::size_t maxTargetsBytes = 64 * 1024;
constexpr std::size_t maxHintBytes = 64;
// Properties this connection reads selections into, in turn: an owner left behind by a cut-off
// INCR transfer only ever writes the one it was given.
constexpr int readProperties = 4;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
  return Reply<T>(raw, &std::free);
}

xcb_atom_t intern(xcb_connection_t* c, std::string_view name) {
  auto r = reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
  return r ? r->atom : atomNone;
}

std::string latin1ToUTF8(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return out;
}

// Characters outside Latin-1 (and broken sequences) become '?'.
Bytes utf8ToLatin1(std::string_view text) {
  Bytes out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<std::uint8_t>(text[i]);
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (length == 2 && i + 1 < text.size()) {
      std::uint32_t code = ((b & 0x1F) << 6) | (static_cast<std::uint8_t>(text[i + 1]) & 0x3F);
      out.push_back(code < 0x100 ? static_cast<std::uint8_t>(code) : '?');
    } else {
      out.push_back('?');
    }
    i += std::min(length, text.size() - i);
  }
  return out;
}

struct Atoms {
  xcb_atom_t clipboard, targets, multiple, timestamp, incr, atomPair, utf8, textPlainUTF8, png,
      kdeHint, timestampProperty;
  std::array<xcb_atom_t, 3> concealedMarkers;
  std::array<xcb_atom_t, readProperties> readInto;
  std::vector<std::pair<xcb_atom_t, std::string>> otherImages;
};

}  // namespace

class X11Pasteboard::Worker {
 public:
  Worker(xcb_connection_t* c, xcb_window_t window, std::uint8_t fixesEvent, Atoms atoms, int wake,
         Options options)
      : c_(c),
        window_(window),
        fixesEvent_(fixesEvent),
        atoms_(std::move(atoms)),
        wake_(wake),
        options_(std::move(options)) {}
  ~Worker() {
    xcb_disconnect(c_);
    close(wake_);
  }

  void start(std::shared_ptr<Worker> self) {
    thread_ = std::thread([self] { self->run(); });
  }

  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    poke();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // the loop ends after the callback that dropped the last owner
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

  std::int64_t changeCount() const { return changeCount_.load(); }
  std::size_t transfersInFlight() const { return transferCount_.load(); }

  void read(ReadLimits limits, std::function<void(std::optional<ClipboardContents>)> done) {
    {
      std::lock_guard lock(mutex_);
      commands_.emplace_back(ReadCommand{limits, std::move(done)});
    }
    poke();
  }

  std::optional<std::int64_t> write(std::string text, Bytes png) {
    auto data = std::make_shared<Owned>(Owned{std::move(text), std::move(png)});
    if (std::this_thread::get_id() == thread_.get_id()) return takeOwnership(data);
    std::future<std::optional<std::int64_t>> result;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return std::nullopt;
      WriteCommand command{data, {}};
      result = command.result.get_future();
      commands_.emplace_back(std::move(command));
    }
    poke();
    return result.get();
  }

 private:
  // What this host serves while it owns the selection: text, or else a PNG.
  struct Owned {
    std::string text;
    Bytes png;
  };
  struct ReadCommand {
    ReadLimits limits;
    std::function<void(std::optional<ClipboardContents>)> done;
  };
  struct WriteCommand {
    std::shared_ptr<const Owned> data;
    std::promise<std::optional<std::int64_t>> result;
  };
  using Command = std::variant<ReadCommand, WriteCommand>;

  // One conversion of the selection to `target`, read into `property` on our window.
  enum class FetchStatus { ok, refused, tooLong, timedOut };
  struct Fetch {
    xcb_atom_t target = XCB_ATOM_NONE;
    xcb_atom_t property = XCB_ATOM_NONE;
    std::size_t limit = 0;
    bool incr = false;  // the owner sends chunks; otherwise waiting for its SelectionNotify
    Bytes data;
    xcb_atom_t type = XCB_ATOM_NONE;
    Clock::time_point deadline;
  };
  enum class Step { targets, hint, text, png, otherImage };
  struct Read {
    ReadLimits limits;
    std::function<void(std::optional<ClipboardContents>)> done;
    Step step = Step::targets;
    std::vector<xcb_atom_t> offered;
    ClipboardContents contents;
    std::string otherImageType;
    std::optional<Fetch> fetch;
  };
  // An INCR transfer this host serves: the next chunk goes when the requestor deletes the
  // property.
  struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    std::shared_ptr<const Bytes> data;
    std::size_t offset = 0;
    Clock::time_point deadline;
  };

  void poke() {
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  void run() {
    for (;;) {
      bool work = true;
      while (work) {
        work = false;
        work |= runCommands();
        work |= drainEvents();
        work |= checkDeadlines();
        work |= runCompletions();
      }
      {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
      if (!dead_) xcb_flush(c_);
      std::array<pollfd, 2> fds{
          pollfd{.fd = wake_, .events = POLLIN, .revents = 0},
          pollfd{.fd = xcb_get_file_descriptor(c_), .events = POLLIN, .revents = 0}};
      ::poll(fds.data(), dead_ ? 1 : 2, pollTimeout());
      std::uint64_t count = 0;
      (void)!::read(wake_, &count, sizeof count);
    }
    shutDown();
  }

  void shutDown() {
    std::deque<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(commands_);
    }
    for (auto& command : commands) {
      if (auto* r = std::get_if<ReadCommand>(&command)) {
        completions_.emplace_back(std::move(r->done), std::nullopt);
      } else {
        std::get<WriteCommand>(command).result.set_value(std::nullopt);
      }
    }
    for (auto& read : reads_) completions_.emplace_back(std::move(read.done), std::nullopt);
    reads_.clear();
    runCompletions();
  }

  int pollTimeout() const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (!reads_.empty() && reads_.front().fetch) consider(reads_.front().fetch->deadline);
    for (const auto& transfer : transfers_) consider(transfer.deadline);
    if (!next) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(wait, 0, 60'000));
  }

  bool runCommands() {
    std::deque<Command> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(commands_);
    }
    for (auto& command : commands) {
      if (auto* r = std::get_if<ReadCommand>(&command)) {
        reads_.push_back(Read{.limits = r->limits, .done = std::move(r->done)});
        if (reads_.size() == 1) startRead();
      } else {
        auto& w = std::get<WriteCommand>(command);
        w.result.set_value(takeOwnership(w.data));
      }
    }
    return !commands.empty();
  }

  bool runCompletions() {
    if (completions_.empty()) return false;
    auto completions = std::move(completions_);
    completions_.clear();
    for (auto& [done, contents] : completions) {
      if (done) done(std::move(contents));
    }
    return true;
  }

  bool drainEvents() {
    if (dead_) return false;
    bool any = false;
    while (auto* event = xcb_poll_for_event(c_)) {
      any = true;
      handle(event);
      std::free(event);
    }
    if (xcb_connection_has_error(c_)) {
      log::line("Ombrel Remote: the X connection of the clipboard broke; clipboard sync stops");
      dead_ = true;
      transfers_.clear();
      transferCount_ = 0;
      while (!reads_.empty()) finishRead(std::nullopt);
    }
    return any;
  }

  void handle(xcb_generic_event_t* event) {
    std::uint8_t type = event->response_type & 0x7F;
    if (type == fixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
      auto* e = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
      // Our own ownership was counted by the write that took it.
      if (e->selection == atoms_.clipboard && e->owner != window_) ++changeCount_;
      return;
    }
    switch (type) {
      case XCB_SELECTION_NOTIFY:
        onSelectionNotify(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
        break;
      case XCB_PROPERTY_NOTIFY:
        onPropertyNotify(*reinterpret_cast<xcb_property_notify_event_t*>(event));
        break;
      case XCB_SELECTION_REQUEST:
        onSelectionRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
        break;
      case XCB_SELECTION_CLEAR: {
        auto* e = reinterpret_cast<xcb_selection_clear_event_t*>(event);
        // A clear older than our latest ownership is about a previous one.
        if (e->selection == atoms_.clipboard && e->time >= ownTime_) owned_.reset();
        break;
      }
      default:
        break;  // errors of requests to requestors that went away among them
    }
  }

  bool checkDeadlines() {
    auto now = Clock::now();
    bool any = false;
    if (!reads_.empty() && reads_.front().fetch && reads_.front().fetch->deadline <= now) {
      any = true;
      fetched(FetchStatus::timedOut);
    }
    auto before = transfers_.size();
    std::erase_if(transfers_, [&](const Transfer& t) { return t.deadline <= now; });
    if (transfers_.size() != before) {
      any = true;
      transferCount_ = transfers_.size();
    }
    return any;
  }

  // --- Writing ---

  // The server's time, from the notice of a zero-length change to a property of our window.
  std::optional<xcb_timestamp_t> serverTime() {
    xcb_change_property(c_, XCB_PROP_MODE_APPEND, window_, atoms_.timestampProperty,
                        XCB_ATOM_INTEGER, 32, 0, nullptr);
    xcb_flush(c_);
    auto deadline = Clock::now() + options_.readTimeout;
    while (Clock::now() < deadline) {
      while (auto* event = xcb_poll_for_event(c_)) {
        auto* e = reinterpret_cast<xcb_property_notify_event_t*>(event);
        if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY && e->window == window_ &&
            e->atom == atoms_.timestampProperty) {
          xcb_timestamp_t time = e->time;
          std::free(event);
          return time;
        }
        handle(event);
        std::free(event);
      }
      if (xcb_connection_has_error(c_)) return std::nullopt;
      pollfd p{.fd = xcb_get_file_descriptor(c_), .events = POLLIN, .revents = 0};
      ::poll(&p, 1, 100);
    }
    return std::nullopt;
  }

  std::optional<std::int64_t> takeOwnership(std::shared_ptr<const Owned> data) {
    if (dead_) return std::nullopt;
    auto time = serverTime();
    if (!time) return std::nullopt;
    xcb_set_selection_owner(c_, window_, atoms_.clipboard, *time);
    auto owner = reply(
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atoms_.clipboard), nullptr));
    if (!owner || owner->owner != window_) return std::nullopt;
    owned_ = std::move(data);
    ownTime_ = *time;
    return ++changeCount_;
  }

  // --- Serving ---

  void onSelectionRequest(const xcb_selection_request_event_t& e) {
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = e.time;
    notify.requestor = e.requestor;
    notify.selection = e.selection;
    notify.target = e.target;
    notify.property = XCB_ATOM_NONE;
    // Obsolete requestors leave the property out and mean the target's name.
    xcb_atom_t property = e.property != XCB_ATOM_NONE ? e.property : e.target;
    bool current = e.time == XCB_CURRENT_TIME || e.time >= ownTime_;
    if (owned_ && e.selection == atoms_.clipboard && e.owner == window_ && current) {
      bool served = e.target == atoms_.multiple ? serveMultiple(e.requestor, property)
                                                : serve(e.requestor, property, e.target, owned_);
      if (served) notify.property = property;
    }
    xcb_send_event(c_, 0, e.requestor, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&notify));
  }

  bool serveMultiple(xcb_window_t requestor, xcb_atom_t property) {
    auto pairs = reply(
        xcb_get_property_reply(c_,
                               xcb_get_property(c_, 0, requestor, property,
                                                XCB_GET_PROPERTY_TYPE_ANY, 0, maxTargetsBytes / 4),
                               nullptr));
    if (!pairs || pairs->format != 32) return false;
    auto* atoms = static_cast<xcb_atom_t*>(xcb_get_property_value(pairs.get()));
    std::vector<xcb_atom_t> list(atoms, atoms + xcb_get_property_value_length(pairs.get()) / 4);
    for (std::size_t i = 0; i + 1 < list.size(); i += 2) {
      bool nested = list[i] == atoms_.multiple || list[i + 1] == XCB_ATOM_NONE;
      if (nested || !serve(requestor, list[i + 1], list[i], owned_)) list[i + 1] = XCB_ATOM_NONE;
    }
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, atoms_.atomPair, 32,
                        static_cast<std::uint32_t>(list.size()), list.data());
    return true;
  }

  bool serve(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t target,
             const std::shared_ptr<const Owned>& data) {
    bool text = data->png.empty();
    if (target == atoms_.targets) {
      std::vector<xcb_atom_t> list{atoms_.targets, atoms_.timestamp, atoms_.multiple};
      if (text) {
        list.insert(list.end(), {atoms_.utf8, atoms_.textPlainUTF8, atomString});
      } else {
        list.push_back(atoms_.png);
      }
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                          static_cast<std::uint32_t>(list.size()), list.data());
      return true;
    }
    if (target == atoms_.timestamp) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1,
                          &ownTime_);
      return true;
    }
    if (text && (target == atoms_.utf8 || target == atoms_.textPlainUTF8)) {
      put(requestor, property, target, std::make_shared<const Bytes>(toBytes(data->text)));
      return true;
    }
    if (text && target == XCB_ATOM_STRING) {
      put(requestor, property, target, std::make_shared<const Bytes>(utf8ToLatin1(data->text)));
      return true;
    }
    if (!text && target == atoms_.png) {
      put(requestor, property, target, std::shared_ptr<const Bytes>(data, &data->png));
      return true;
    }
    return false;
  }

  void put(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type,
           std::shared_ptr<const Bytes> bytes) {
    if (bytes->size() <= chunkBytes) {
      xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                          static_cast<std::uint32_t>(bytes->size()), bytes->data());
      return;
    }
    // The requestor's deletions of the property pace the chunks.
    std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &mask);
    auto size = static_cast<std::uint32_t>(bytes->size());
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, requestor, property, atoms_.incr, 32, 1, &size);
    // A requestor asking again into the same property has given up on the earlier transfer.
    std::erase_if(transfers_, [&](const Transfer& t) {
      return t.requestor == requestor && t.property == property;
    });
    transfers_.push_back(Transfer{.requestor = requestor,
                                  .property = property,
                                  .type = type,
                                  .data = std::move(bytes),
                                  .deadline = Clock::now() + options_.transferTimeout});
    transferCount_ = transfers_.size();
  }

  void onTransferDeletion(const xcb_property_notify_event_t& e) {
    auto it = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
      return t.requestor == e.window && t.property == e.atom;
    });
    if (it == transfers_.end()) return;
    std::size_t length = std::min(chunkBytes, it->data->size() - it->offset);
    // The zero-length chunk after the last one ends the transfer.
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                        static_cast<std::uint32_t>(length), it->data->data() + it->offset);
    if (length == 0) {
      xcb_window_t requestor = it->requestor;
      transfers_.erase(it);
      transferCount_ = transfers_.size();
      bool more = std::any_of(transfers_.begin(), transfers_.end(),
                              [&](const Transfer& t) { return t.requestor == requestor; });
      if (!more) {
        std::uint32_t mask = XCB_EVENT_MASK_NO_EVENT;
        xcb_change_window_attributes(c_, requestor, XCB_CW_EVENT_MASK, &mask);
      }
      return;
    }
    it->offset += length;
    it->deadline = Clock::now() + options_.transferTimeout;
  }

  // --- Reading ---

  void onPropertyNotify(const xcb_property_notify_event_t& e) {
    if (e.window != window_) {
      if (e.state == XCB_PROPERTY_DELETE) onTransferDeletion(e);
      return;
    }
    if (e.state != XCB_PROPERTY_NEW_VALUE || reads_.empty() || !reads_.front().fetch) return;
    Fetch& fetch = *reads_.front().fetch;
    if (!fetch.incr || e.atom != fetch.property) return;
    auto chunk = getProperty(fetch.property, fetch.limit - fetch.data.size());
    if (!chunk) return fetched(FetchStatus::refused);
    auto length = static_cast<std::size_t>(xcb_get_property_value_length(chunk.get()));
    if (length == 0) {
      xcb_delete_property(c_, window_, fetch.property);
      return fetched(FetchStatus::ok);
    }
    if (chunk->bytes_after > 0 || fetch.data.size() + length > fetch.limit) {
      // Left in place: without the deletion the owner sends no more.
      return fetched(FetchStatus::tooLong);
    }
    auto* bytes = static_cast<const std::uint8_t*>(xcb_get_property_value(chunk.get()));
    fetch.data.insert(fetch.data.end(), bytes, bytes + length);
    fetch.type = chunk->type;
    xcb_delete_property(c_, window_, fetch.property);
    fetch.deadline = Clock::now() + options_.readTimeout;
  }

  void onSelectionNotify(const xcb_selection_notify_event_t& e) {
    if (e.requestor != window_ || reads_.empty() || !reads_.front().fetch) return;
    Fetch& fetch = *reads_.front().fetch;
    if (fetch.incr || e.selection != atoms_.clipboard || e.target != fetch.target) return;
    if (e.property == XCB_ATOM_NONE) return fetched(FetchStatus::refused);
    if (e.property != fetch.property) return;
    auto value = getProperty(fetch.property, fetch.limit);
    if (!value) return fetched(FetchStatus::refused);
    if (value->type == atoms_.incr) {
      // The INCR value is a lower bound of the size.
      if (value->format == 32 && xcb_get_property_value_length(value.get()) >= 4 &&
          *static_cast<const std::uint32_t*>(xcb_get_property_value(value.get())) > fetch.limit) {
        return fetched(FetchStatus::tooLong);
      }
      fetch.incr = true;
      fetch.deadline = Clock::now() + options_.readTimeout;
      xcb_delete_property(c_, window_, fetch.property);
      return;
    }
    xcb_delete_property(c_, window_, fetch.property);
    auto length = static_cast<std::size_t>(xcb_get_property_value_length(value.get()));
    if (value->bytes_after > 0 || length > fetch.limit) return fetched(FetchStatus::tooLong);
    auto* bytes = static_cast<const std::uint8_t*>(xcb_get_property_value(value.get()));
    fetch.data.assign(bytes, bytes + length);
    fetch.type = value->type;
    fetched(FetchStatus::ok);
  }

  // Up to limit + 1 bytes of a property of our window, so that a longer one shows.
  Reply<xcb_get_property_reply_t> getProperty(xcb_atom_t property, std::size_t limit) {
    auto words = static_cast<std::uint32_t>(
        std::min<std::size_t>(limit / 4 + 1, std::numeric_limits<std::uint32_t>::max()));
    return reply(xcb_get_property_reply(
        c_, xcb_get_property(c_, 0, window_, property, XCB_GET_PROPERTY_TYPE_ANY, 0, words),
        nullptr));
  }

  void fetch(xcb_atom_t target, std::size_t limit) {
    xcb_atom_t property = atoms_.readInto[nextProperty_++ % readProperties];
    xcb_delete_property(c_, window_, property);
    xcb_convert_selection(c_, window_, atoms_.clipboard, target, property, XCB_CURRENT_TIME);
    reads_.front().fetch = Fetch{.target = target,
                                 .property = property,
                                 .limit = limit,
                                 .deadline = Clock::now() + options_.readTimeout};
  }

  bool offers(const Read& read, xcb_atom_t target) const {
    return std::find(read.offered.begin(), read.offered.end(), target) != read.offered.end();
  }

  void startRead() {
    Read& read = reads_.front();
    if (dead_) return finishRead(std::nullopt);
    auto owner = reply(
        xcb_get_selection_owner_reply(c_, xcb_get_selection_owner(c_, atoms_.clipboard), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE) return finishRead(std::nullopt);
    if (owner->owner == window_ && owned_) return finishRead(ownContents(read.limits));
    read.step = Step::targets;
    fetch(atoms_.targets, maxTargetsBytes);
  }

  ClipboardContents ownContents(const ReadLimits& limits) const {
    ClipboardContents contents;
    if (!owned_->text.empty()) {
      if (owned_->text.size() > limits.maxTextBytes) {
        contents.textTooLong = true;
      } else {
        contents.text = owned_->text;
      }
    } else if (!owned_->png.empty() && owned_->png.size() <= limits.maxPNGBytes) {
      contents.png = owned_->png;
    }
    return contents;
  }

  // The current fetch of the first read ended: the read takes its next step.
  void fetched(FetchStatus status) {
    Read& read = reads_.front();
    Fetch result = std::move(*read.fetch);
    read.fetch.reset();
    if (status == FetchStatus::timedOut) return finishRead(std::nullopt);
    bool ok = status == FetchStatus::ok;
    switch (read.step) {
      case Step::targets:
        if (ok && result.type == XCB_ATOM_ATOM) {
          auto* atoms = reinterpret_cast<const xcb_atom_t*>(result.data.data());
          read.offered.assign(atoms, atoms + result.data.size() / sizeof(xcb_atom_t));
        } else {
          read.offered = {atoms_.utf8};  // an owner without TARGETS may still have text
        }
        for (xcb_atom_t marker : atoms_.concealedMarkers) {
          if (offers(read, marker)) return concealed(read);
        }
        if (offers(read, atoms_.kdeHint)) {
          read.step = Step::hint;
          return fetch(atoms_.kdeHint, maxHintBytes);
        }
        return readText(read);
      case Step::hint: {
        std::string hint = toString(result.data);
        while (!hint.empty() && (hint.back() == '\0' || hint.back() == '\n')) hint.pop_back();
        if (ok && hint == "secret") return concealed(read);
        return readText(read);
      }
      case Step::text: {
        if (status == FetchStatus::tooLong) {
          read.contents.textTooLong = true;
          return finishRead(std::move(read.contents));
        }
        std::string text =
            result.target == XCB_ATOM_STRING ? latin1ToUTF8(result.data) : toString(result.data);
        if (text.size() > read.limits.maxTextBytes) {
          read.contents.textTooLong = true;
          return finishRead(std::move(read.contents));
        }
        if (ok && !text.empty()) {
          read.contents.text = std::move(text);
          return finishRead(std::move(read.contents));
        }
        return readImage(read);
      }
      case Step::png:
        if (ok && !result.data.empty()) {
          read.contents.png = std::move(result.data);
          return finishRead(std::move(read.contents));
        }
        if (status == FetchStatus::tooLong) return finishRead(std::move(read.contents));
        return readOtherImage(read);
      case Step::otherImage:
        if (ok) read.contents.png = toPNG(result.data, read.otherImageType, read.limits);
        return finishRead(std::move(read.contents));
    }
  }

  void concealed(Read& read) {
    read.contents = ClipboardContents{.concealed = true};
    finishRead(std::move(read.contents));
  }

  void readText(Read& read) {
    read.step = Step::text;
    for (xcb_atom_t target : {atoms_.utf8, atoms_.textPlainUTF8, atomString}) {
      if (offers(read, target)) return fetch(target, read.limits.maxTextBytes);
    }
    readImage(read);
  }

  void readImage(Read& read) {
    read.step = Step::png;
    if (offers(read, atoms_.png)) return fetch(atoms_.png, read.limits.maxPNGBytes);
    readOtherImage(read);
  }

  void readOtherImage(Read& read) {
    read.step = Step::otherImage;
    if (options_.decodeImage) {
      for (const auto& [atom, type] : atoms_.otherImages) {
        if (!offers(read, atom)) continue;
        read.otherImageType = type;
        return fetch(atom, maxOtherImageBytes);
      }
    }
    finishRead(std::move(read.contents));
  }

  std::optional<Bytes> toPNG(const Bytes& data, const std::string& type,
                             const ReadLimits& limits) const {
    auto image = options_.decodeImage(data, type, ImageGuard::maxPixels);
    if (!image || image->width == 0 || image->height == 0 ||
        image->rgba.size() < std::size_t{image->width} * image->height * 4) {
      return std::nullopt;
    }
    Bytes png = encodeRGBAPNG(image->rgba.data(), image->width, image->height,
                              std::size_t{image->width} * 4);
    if (png.empty() || png.size() > limits.maxPNGBytes) return std::nullopt;
    return png;
  }

  void finishRead(std::optional<ClipboardContents> contents) {
    completions_.emplace_back(std::move(reads_.front().done), std::move(contents));
    reads_.pop_front();
    if (!reads_.empty()) startRead();
  }

  xcb_connection_t* const c_;
  const xcb_window_t window_;
  const std::uint8_t fixesEvent_;
  const Atoms atoms_;
  const int wake_;
  const Options options_;
  std::thread thread_;

  std::mutex mutex_;
  bool stopping_ = false;         // guarded by mutex_
  std::deque<Command> commands_;  // guarded by mutex_

  std::atomic<std::int64_t> changeCount_{0};
  std::atomic<std::size_t> transferCount_{0};

  // The rest belongs to the thread.
  bool dead_ = false;
  std::shared_ptr<const Owned> owned_;  // set while this host owns the selection
  xcb_timestamp_t ownTime_ = 0;
  std::deque<Read> reads_;  // the first one is in progress
  unsigned nextProperty_ = 0;
  std::list<Transfer> transfers_;
  std::vector<std::pair<std::function<void(std::optional<ClipboardContents>)>,
                        std::optional<ClipboardContents>>>
      completions_;
};

std::shared_ptr<X11Pasteboard> X11Pasteboard::open(const std::string& displayName) {
  return open(displayName, Options{});
}

std::shared_ptr<X11Pasteboard> X11Pasteboard::open(const std::string& displayName,
                                                   Options options) {
  int screenNumber = 0;
  xcb_connection_t* c =
      xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
  auto fail = [&] {
    xcb_disconnect(c);
    return nullptr;
  };
  if (xcb_connection_has_error(c)) return fail();
  const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (fixes == nullptr || !fixes->present) return fail();
  auto version = reply(xcb_xfixes_query_version_reply(
      c, xcb_xfixes_query_version(c, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION), nullptr));
  if (!version) return fail();
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screenNumber && roots.rem > 0; ++i) xcb_screen_next(&roots);
  if (roots.rem == 0) return fail();

  Atoms atoms{};
  atoms.clipboard = intern(c, "CLIPBOARD");
  atoms.targets = intern(c, "TARGETS");
  atoms.multiple = intern(c, "MULTIPLE");
  atoms.timestamp = intern(c, "TIMESTAMP");
  atoms.incr = intern(c, "INCR");
  atoms.atomPair = intern(c, "ATOM_PAIR");
  atoms.utf8 = intern(c, "UTF8_STRING");
  atoms.textPlainUTF8 = intern(c, "text/plain;charset=utf-8");
  atoms.png = intern(c, "image/png");
  atoms.kdeHint = intern(c, "x-kde-passwordManagerHint");
  atoms.timestampProperty = intern(c, "OMBREL_TIMESTAMP");
  atoms.concealedMarkers = {intern(c, "org.nspasteboard.ConcealedType"),
                            intern(c, "org.nspasteboard.TransientType"),
                            intern(c, "org.nspasteboard.AutoGeneratedType")};
  for (int i = 0; i < readProperties; ++i) {
    atoms.readInto[i] = intern(c, "OMBREL_SELECTION_" + std::to_string(i));
  }
  for (const auto& type : options.imageTypes) atoms.otherImages.emplace_back(intern(c, type), type);

  xcb_window_t window = xcb_generate_id(c);
  std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, roots.data->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
  xcb_xfixes_select_selection_input(c, window, atoms.clipboard,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(c);
  if (xcb_connection_has_error(c)) return fail();
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return fail();

  auto worker = std::make_shared<Worker>(c, window, fixes->first_event, std::move(atoms), wake,
                                         std::move(options));
  worker->start(worker);
  return std::shared_ptr<X11Pasteboard>(new X11Pasteboard(std::move(worker)));
}

X11Pasteboard::X11Pasteboard(std::shared_ptr<Worker> worker) : worker_(std::move(worker)) {}

X11Pasteboard::~X11Pasteboard() { worker_->stop(); }

std::int64_t X11Pasteboard::changeCount() const { return worker_->changeCount(); }

void X11Pasteboard::read(ReadLimits limits,
                         std::function<void(std::optional<ClipboardContents>)> done) {
  worker_->read(limits, std::move(done));
}

std::optional<std::int64_t> X11Pasteboard::writeText(std::string text) {
  return worker_->write(std::move(text), {});
}

std::optional<std::int64_t> X11Pasteboard::writePNG(Bytes png) {
  if (png.empty()) return std::nullopt;
  return worker_->write({}, std::move(png));
}

std::size_t X11Pasteboard::transfersInFlight() const { return worker_->transfersInFlight(); }

}  // namespace ombrel
