#include "OmbrelKit/file_chunk.h"

#include <algorithm>
#include <stdexcept>

namespace ombrel {

Bytes FileChunk::encoded() const {
  if (id.size() < idLength) throw std::length_error("file chunk id shorter than 36 bytes");
  Bytes out(idLength + data.size());
  std::copy_n(id.data(), idLength, out.begin());
  std::copy(data.begin(), data.end(), out.begin() + idLength);
  return out;
}

std::optional<FileChunk> FileChunk::decode(ByteView body) {
  if (body.size() < idLength) return std::nullopt;
  FileChunk chunk;
  chunk.id = toString(body.first(idLength));
  chunk.data = Bytes(body.begin() + idLength, body.end());
  return chunk;
}

}  // namespace ombrel
