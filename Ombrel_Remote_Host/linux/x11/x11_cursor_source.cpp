#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>

#include "Ombrel_Remote_Host/screen/png_encoder.h"

namespace ombrel {
namespace {

constexpr auto reopenInterval = std::chrono::seconds(1);

// A connection with XFIXES, and the first event code XFIXES has on it.
struct FixesConnection {
  std::shared_ptr<x11::Connection> connection;
  int events = 0;
};

FixesConnection openWithFixes(const std::string& displayName) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return {};
  auto lock = connection->lock();
  int event = 0, error = 0, major = 2, minor = 0;
  if (!XFixesQueryExtension(connection->display(), &event, &error) ||
      !XFixesQueryVersion(connection->display(), &major, &minor)) {
    return {};
  }
  // Asked for before the first read of the picture, so no change after that read goes unseen.
  XFixesSelectCursorInput(connection->display(), connection->root(), XFixesDisplayCursorNotifyMask);
  return {connection, event};
}

// Both take the connection's lock and answer nothing on a dead connection; the connection has
// XFIXES (openWithFixes).
std::optional<x11::CursorPixels> readCursor(x11::Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return std::nullopt;
  XFixesCursorImage* image = XFixesGetCursorImage(connection.display());
  if (image == nullptr) return std::nullopt;
  x11::CursorPixels shape{.width = image->width,
                          .height = image->height,
                          .hotX = image->xhot,
                          .hotY = image->yhot,
                          .serial = image->cursor_serial};
  // XFixes hands out premultiplied ARGB, one pixel per long; PNG wants straight RGBA.
  std::size_t count = std::size_t{image->width} * image->height;
  shape.rgba.resize(count * 4);
  for (std::size_t i = 0; i < count; ++i) {
    auto pixel = static_cast<std::uint32_t>(image->pixels[i]);
    std::uint32_t a = pixel >> 24;
    std::uint32_t channels[3] = {(pixel >> 16) & 0xFF, (pixel >> 8) & 0xFF, pixel & 0xFF};
    for (int c = 0; c < 3; ++c) {
      std::uint32_t value =
          a == 0 ? 0 : std::min<std::uint32_t>(255, (channels[c] * 255 + a / 2) / a);
      shape.rgba[i * 4 + c] = static_cast<std::uint8_t>(value);
    }
    shape.rgba[i * 4 + 3] = static_cast<std::uint8_t>(a);
  }
  XFree(image);
  return shape;
}

// The pointer in global (root window) coordinates; nothing when it is on another screen.
std::optional<CursorSource::Point> readPointer(x11::Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return std::nullopt;
  ::Window root = None, child = None;
  int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
  unsigned mask = 0;
  if (!XQueryPointer(connection.display(), connection.root(), &root, &child, &rootX, &rootY,
                     &windowX, &windowY, &mask)) {
    return std::nullopt;  // on another screen of the display
  }
  return CursorSource::Point{static_cast<double>(rootX), static_cast<double>(rootY)};
}

}  // namespace

std::shared_ptr<X11CursorSource> X11CursorSource::open(const std::string& displayName) {
  auto opened = openWithFixes(displayName);
  if (!opened.connection) return nullptr;
  return std::shared_ptr<X11CursorSource>(
      new X11CursorSource(std::move(opened.connection), opened.events, displayName));
}

X11CursorSource::X11CursorSource(std::shared_ptr<x11::Connection> connection, int fixesEvents,
                                 std::string displayName)
    : connection_(std::move(connection)),
      fixesEvents_(fixesEvents),
      displayName_(std::move(displayName)) {}

std::shared_ptr<x11::Connection> X11CursorSource::connection() {
  if (connection_ && connection_->alive()) return connection_;
  // What was read on the old connection says nothing of the server behind the next one.
  last_.reset();
  roundTripSinceCheck_ = false;
  auto now = std::chrono::steady_clock::now();
  if (now - lastReopen_ < reopenInterval) return nullptr;
  lastReopen_ = now;
  auto reopened = openWithFixes(displayName_);
  connection_ = std::move(reopened.connection);
  fixesEvents_ = reopened.events;
  return connection_;
}

std::optional<CursorSource::Point> X11CursorSource::location() {
  std::lock_guard lock(mutex_);
  auto connection = this->connection();
  if (!connection) return std::nullopt;
  auto point = readPointer(*connection);
  roundTripSinceCheck_ = connection->alive();
  return point;
}

std::uint64_t X11CursorSource::fingerprint(const x11::CursorPixels& pixels) {
  // FNV-1a over the geometry and the pixels.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  auto mix = [&hash](std::uint8_t byte) {
    hash ^= byte;
    hash *= 0x100000001b3ull;
  };
  for (std::int64_t value : {pixels.width, pixels.height, pixels.hotX, pixels.hotY}) {
    for (int shift = 0; shift < 64; shift += 8) mix(static_cast<std::uint8_t>(value >> shift));
  }
  for (std::uint8_t byte : pixels.rgba) mix(byte);
  return hash;
}

bool X11CursorSource::takeNotifications(x11::Connection& connection) {
  auto lock = connection.lock();
  if (!connection.alive()) return false;
  ::Display* display = connection.display();
  // Brings in every notification the server sent before now; location() just did the same.
  if (!roundTripSinceCheck_) XSync(display, False);
  roundTripSinceCheck_ = false;
  std::optional<unsigned long> latest;
  while (connection.alive() && XEventsQueued(display, QueuedAfterReading) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == fixesEvents_ + XFixesCursorNotify) {
      latest = reinterpret_cast<XFixesCursorNotifyEvent&>(event).cursor_serial;
    }
  }
  // Only the cursor shown now matters: one shown and replaced since the last read is gone.
  return latest && (!last_ || *latest != last_->serial);
}

void X11CursorSource::readPicture(x11::Connection& connection) {
  ++imageReads_;
  last_ = readCursor(connection);
  if (last_) hash_ = fingerprint(*last_);
}

std::optional<std::uint64_t> X11CursorSource::imageHash() {
  std::lock_guard lock(mutex_);
  auto connection = this->connection();
  if (!connection) return std::nullopt;
  const bool changed = takeNotifications(*connection);
  if (!connection->alive()) {
    last_.reset();
    return std::nullopt;
  }
  if (changed || !last_) readPicture(*connection);
  if (!last_) return std::nullopt;
  return hash_;
}

std::optional<CursorImage> X11CursorSource::image() {
  std::lock_guard lock(mutex_);
  if (!last_) {
    auto connection = this->connection();
    if (connection) readPicture(*connection);
  }
  if (!last_ || last_->width <= 0 || last_->height <= 0) return std::nullopt;
  Bytes png = encodeRGBAPNG(last_->rgba.data(), static_cast<std::uint32_t>(last_->width),
                            static_cast<std::uint32_t>(last_->height),
                            static_cast<std::size_t>(last_->width) * 4);
  if (png.empty()) return std::nullopt;
  return CursorImage{.png = std::move(png),
                     .width = static_cast<double>(last_->width),
                     .height = static_cast<double>(last_->height),
                     .hotX = static_cast<double>(last_->hotX),
                     .hotY = static_cast<double>(last_->hotY)};
}

}  // namespace ombrel
