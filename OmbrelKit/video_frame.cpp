#include "OmbrelKit/video_frame.h"

#include "OmbrelKit/byte_codec.h"

namespace ombrel {

Bytes VideoFrame::encoded() const {
  ByteWriter w(payload.size() + 64);
  std::uint8_t flags = isKeyframe ? 0x01 : 0x00;
  if (codec == VideoCodec::h264) flags |= 0x02;
  w.u8(flags);
  w.u64(ptsMicros);
  w.u16(width);
  w.u16(height);
  w.u8(static_cast<std::uint8_t>(parameterSets.size()));
  for (const auto& set : parameterSets) w.bytes16(set);
  w.bytes(payload);
  return std::move(w).data();
}

VideoFrame VideoFrame::decode(ByteView body) {
  ByteReader r(body);
  VideoFrame frame;
  std::uint8_t flags = r.u8();
  frame.isKeyframe = (flags & 0x01) != 0;
  frame.codec = (flags & 0x02) != 0 ? VideoCodec::h264 : VideoCodec::hevc;
  frame.ptsMicros = r.u64();
  frame.width = r.u16();
  frame.height = r.u16();
  std::uint8_t count = r.u8();
  frame.parameterSets.reserve(count);
  for (int i = 0; i < count; ++i) frame.parameterSets.push_back(r.bytes16());
  frame.payload = r.rest();
  return frame;
}

Bytes AudioFrame::encoded() const {
  ByteWriter w(pcm.size() + 5);
  w.u32(sampleRate);
  w.u8(channels);
  w.bytes(pcm);
  return std::move(w).data();
}

AudioFrame AudioFrame::decode(ByteView body) {
  ByteReader r(body);
  AudioFrame frame;
  frame.sampleRate = r.u32();
  frame.channels = r.u8();
  frame.pcm = r.rest();
  return frame;
}

}  // namespace ombrel
