#include "Ombrel_Remote_Host/video/pixel_buffer.h"

#include <vector>

namespace ombrel {

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(std::int64_t width, std::int64_t height) {
  auto buffer = std::make_shared<PixelBuffer>();
  buffer->width = width;
  buffer->height = height;
  buffer->stride = static_cast<std::size_t>(width) * 4;
  auto bytes = std::make_shared<std::vector<std::uint8_t>>(buffer->stride *
                                                           static_cast<std::size_t>(height));
  buffer->data = bytes->data();
  buffer->storage = std::move(bytes);
  return buffer;
}

}  // namespace ombrel
