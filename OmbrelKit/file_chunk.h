#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace ombrel {

// One piece of a file in a fileChunk message:
//   id (36 bytes of UTF-8, the transfer's UUID string) | the next bytes of the file
struct FileChunk {
  static constexpr std::size_t idLength = 36;
  // What a sender puts in one chunk at most; receivers accept any size the frame allows.
  static constexpr std::size_t maxDataSize = 262'144;

  std::string id;
  Bytes data;

  // Writes the first 36 bytes of `id`. An id shorter than that would shift file bytes into the
  // id field and corrupt the file on the other side, so it throws std::length_error instead.
  Bytes encoded() const;
  // Nothing for a body shorter than the id: the receiver ignores such a chunk.
  static std::optional<FileChunk> decode(ByteView body);

  bool operator==(const FileChunk&) const = default;
};

}  // namespace ombrel
