#include "Ombrel_Remote_Host/clipboard/fake/fake_pasteboard.h"

#include <utility>

namespace ombrel {

FakePasteboard::FakePasteboard() : thread_([this] { run(); }) {}

FakePasteboard::~FakePasteboard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  thread_.join();
}

void FakePasteboard::copy(Offer offer) {
  std::lock_guard lock(mutex_);
  offer_ = std::move(offer);
  ++count_;
}

void FakePasteboard::setHoldReads(bool hold) {
  std::lock_guard lock(mutex_);
  holdReads_ = hold;
}

void FakePasteboard::answerHeld() {
  std::lock_guard lock(mutex_);
  for (Read& read : held_) queue_.push_back(std::move(read));
  held_.clear();
  changed_.notify_all();
}

void FakePasteboard::setWritesFail(bool fail) {
  std::lock_guard lock(mutex_);
  writesFail_ = fail;
}

void FakePasteboard::settle() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

int FakePasteboard::reads() const {
  std::lock_guard lock(mutex_);
  return reads_;
}

std::vector<std::variant<std::string, Bytes>> FakePasteboard::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::int64_t FakePasteboard::changeCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}

void FakePasteboard::read(ReadLimits limits,
                          std::function<void(std::optional<ClipboardContents>)> done) {
  std::lock_guard lock(mutex_);
  ++reads_;
  Read read{limits, std::move(done)};
  if (holdReads_) {
    held_.push_back(std::move(read));
  } else {
    queue_.push_back(std::move(read));
    changed_.notify_all();
  }
}

std::optional<std::int64_t> FakePasteboard::writeText(std::string text) {
  std::lock_guard lock(mutex_);
  if (writesFail_) return std::nullopt;
  offer_ = {.text = text};
  writes_.emplace_back(std::move(text));
  return ++count_;
}

std::optional<std::int64_t> FakePasteboard::writePNG(Bytes png) {
  std::lock_guard lock(mutex_);
  if (writesFail_) return std::nullopt;
  offer_ = {.png = png};
  writes_.emplace_back(std::move(png));
  return ++count_;
}

ClipboardContents FakePasteboard::contentsLocked(const ReadLimits& limits) const {
  ClipboardContents contents;
  if (offer_.concealed) {
    contents.concealed = true;
    return contents;
  }
  if (offer_.text && !offer_.text->empty()) {
    if (offer_.text->size() > limits.maxTextBytes) {
      contents.textTooLong = true;
    } else {
      contents.text = offer_.text;
    }
    return contents;
  }
  if (offer_.png && offer_.png->size() <= limits.maxPNGBytes) contents.png = offer_.png;
  return contents;
}

void FakePasteboard::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    Read read = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    ClipboardContents contents = contentsLocked(read.limits);
    lock.unlock();
    read.done(std::move(contents));
    read.done = nullptr;
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace ombrel
