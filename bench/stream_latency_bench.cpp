// Glass-to-glass latency of a whole stream on loopback: a thread paints the Xvfb screen a new
// solid colour and notes the time once the server has drawn it; the host captures, encodes and
// sends it through a real HostSession and NVConnection (StreamingServices installed, as in the
// host program); the reference client's stream mode decodes it in this process and the time the
// new colour comes out of the decoder is the other end. Prints p50, p95 and the mean.
// Run: build/gcc/bench/stream_latency_bench [samples] [codec]
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/app/allocator_settings.h"
#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/stream/streaming_services.h"
#include "base/log.h"
#include "tests/support/loopback.h"
#include "tests/support/xvfb_server.h"
#include "tools/ombrel-client/client_session.h"
#include "tools/ombrel-client/stream_mode.h"
// Last: Xlib's Status macro would rewrite the client's enum of that name.
// clang-format off
#include <X11/Xlib.h>
// clang-format on

namespace ombrel {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A host that trusts every client and answers the rest plainly.
class BenchHostSessionDelegate : public HostSessionDelegate {
 public:
  explicit BenchHostSessionDelegate(Runtime& runtime) : runtime_(runtime) {}
  // The stream lets its sleep assertion go on the runtime's blocking worker, maybe after the
  // session is gone; the runtime outlives this host, so its worker stops before `power_` goes.
  ~BenchHostSessionDelegate() override { runtime_.blockingWorker()->stop(); }
  const DeviceIdentity& identity() const override { return identity_; }
  std::string hostName() const override { return "bench"; }
  SerialQueue& mainQueue() override { return *runtime_.mainQueue(); }
  CorvaneAccess& access() override { return access_; }
  PowerManager& powerManager() override { return power_; }
  bool isTrusted(ByteView) const override { return true; }
  bool isLimited(ByteView) const override { return false; }
  bool lockedReceive() const override { return true; }
  bool lockedSync() const override { return false; }
  bool lockedPairingEnabled() const override { return false; }
  bool icePreviewEnabled() const override { return false; }
  std::vector<std::string> lockedAddresses() const override { return {}; }
  bool pairingBackoff() override { return true; }
  std::vector<DisplayInfo> displays() override { return {}; }
  std::optional<Refusal> pairingConflict() override { return std::nullopt; }
  void requestApproval(std::shared_ptr<HostSession>, std::string) override {}
  void trust(ByteView, std::string, std::optional<double>) override {}
  void sessionsChanged() override {}
  void recomputePrivacy() override {}
  void captureWorked() override {}

 private:
  Runtime& runtime_;
  DeviceIdentity identity_ = DeviceIdentity(Bytes(32, 0x22));
  CorvaneAccess access_;
  FakePowerManager power_;
};

// Colours far apart, so a lossy picture still says which one it is.
constexpr std::uint32_t palette[] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00,
                                     0xFF00FF, 0x00FFFF, 0xFFFFFF, 0x000000};

int nearest(std::uint32_t rgb) {
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < 8; ++i) {
    long distance = 0;
    for (int shift : {0, 8, 16}) {
      long a = long((rgb >> shift) & 0xFF) - long((palette[i] >> shift) & 0xFF);
      distance += a * a;
    }
    if (bestDistance < 0 || distance < bestDistance) best = i, bestDistance = distance;
  }
  return best;
}

}  // namespace
}  // namespace ombrel

int main(int argc, char** argv) {
  using namespace ombrel;
  // The host program's allocator, so the figures are the host's.
  applyAllocatorSettings();
  const int samples = argc > 1 ? std::atoi(argv[1]) : 60;
  const VideoCodec codec =
      argc > 2 && std::string(argv[2]) == "hevc" ? VideoCodec::hevc : VideoCodec::h264;
  log::setSink([](std::string_view) {});
  test::XvfbServer server("1920x1080x24");
  if (!server.ok()) return 1;
  setenv("DISPLAY", server.display().c_str(), 1);

  Runtime runtime;
  Runtime clientRuntime;
  BenchHostSessionDelegate host(runtime);
  StreamingServices services(runtime, {});

  // The colour painted last and when the server had drawn it.
  std::mutex lock;
  int painted = -1;
  SteadyClock::time_point paintedAt;
  bool arrived = true;
  std::vector<double> latencies;

  StreamMode::Config config;
  config.stream.codec = codec;
  config.stream.receiverPacing = true;
  config.stream.maxWidth = 1920;
  config.stream.maxHeight = 1080;
  config.seconds = samples * 0.15 + 3;
  config.onDecoded = [&](const VideoFrame&, const StreamReceiver& receiver) {
    // The picture is out of the decoder now; turning all of it into RGB only to read one pixel
    // is this bench's own cost (5-10 ms at 1080p on a busy machine), not the stream's.
    const auto now = SteadyClock::now();
    auto picture = receiver.lastPicture();
    if (!picture) return;
    int seen = nearest(picture->pixel(picture->width / 2, picture->height / 2));
    std::lock_guard guard(lock);
    if (!arrived && seen == painted) {
      arrived = true;
      latencies.push_back(std::chrono::duration<double, std::milli>(now - paintedAt).count());
    }
  };
  auto mode = std::make_shared<StreamMode>(config);
  test::LoopbackListener listener(runtime.context());
  ClientSession::Options options{
      .host = "127.0.0.1", .port = listener.port(), .timeout = config.seconds + 10, .mode = mode};
  auto client = std::async(std::launch::async, [&] {
    HostPins pins(std::filesystem::temp_directory_path() / "ombrel-bench-pins.json");
    std::ostringstream out;
    auto session = std::make_shared<ClientSession>(options, DeviceIdentity(Bytes(32, 0x44)), pins,
                                                   out, clientRuntime);
    return session->run();
  });
  auto conn = NVConnection::create(listener.accept(), NVConnection::Role::host,
                                   DeviceIdentity(Bytes(32, 0x22)), std::nullopt, runtime);
  auto session = HostSession::create(conn, "直連", host);
  session->setRemoteIP("127.0.0.1");
  services.install(session);
  session->start();

  Display* d = XOpenDisplay(server.display().c_str());
  Window root = DefaultRootWindow(d);
  GC gc = XCreateGC(d, root, 0, nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the stream starts and settles
  for (int i = 0; i < samples; ++i) {
    XSetForeground(d, gc, palette[(i + 1) % 8]);
    XFillRectangle(d, root, gc, 0, 0, 1920, 1080);
    XSync(d, False);
    {
      std::lock_guard guard(lock);
      painted = (i + 1) % 8;
      paintedAt = SteadyClock::now();
      arrived = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  XCloseDisplay(d);
  client.get();
  session->disconnect();
  conn->queue()->sync([] {});

  std::lock_guard guard(lock);
  if (latencies.empty()) {
    std::printf("no picture arrived\n");
    return 1;
  }
  std::vector<double> sorted = latencies;
  std::sort(sorted.begin(), sorted.end());
  double mean = 0;
  for (double l : sorted) mean += l;
  mean /= double(sorted.size());
  auto at = [&](double q) {
    return sorted[std::min(sorted.size() - 1, std::size_t(q * double(sorted.size())))];
  };
  std::printf(
      "glass-to-glass %s 1080p loopback: p50 %.1f ms  p95 %.1f ms  mean %.1f ms  (%zu of %d "
      "changes seen)\n",
      std::string(rawValue(codec)).c_str(), at(0.5), at(0.95), mean, sorted.size(), samples);
  return 0;
}
