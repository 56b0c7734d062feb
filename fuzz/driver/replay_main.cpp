// Replays a corpus through a fuzz target without libFuzzer, so gcc builds and ctest exercise
// every target on its seeds. Arguments are files or folders of inputs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int runFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}

int main(int argc, char** argv) {
  int count = 0;
  // An empty input must always be survivable.
  LLVMFuzzerTestOneInput(nullptr, 0);
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
        if (entry.is_regular_file()) count += runFile(entry.path());
      }
    } else if (std::filesystem::exists(arg, ec)) {
      count += runFile(arg);
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
