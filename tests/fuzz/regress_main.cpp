// Replays a fuzz target's saved inputs without libFuzzer: every file named on the command line, or
// found (not recursively) in a folder named there, goes once through LLVMFuzzerTestOneInput.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Runs one file; returns false when it cannot be read.
bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that ASan sees any read past its end.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  int unreadable = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.push_back(path);
    }
    for (const auto& file : files) {
      if (Replay(file)) {
        ++replayed;
      } else {
        std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
        ++unreadable;
      }
    }
  }
  // A property failure aborts inside the target; reaching here means every input passed.
  std::printf("%d passed, %d failed\n", replayed, unreadable);
  return replayed > 0 && unreadable == 0 ? 0 : 1;
}
