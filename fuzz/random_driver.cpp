// Stands in for libFuzzer where it is not available (gcc): feeds the fuzz target random inputs,
// or the files named on the command line.
//
//   veskal_fuzz [-runs=N] [-seed=S] [FILE...]

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  long runs = 100000;
  unsigned long seed = 1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-runs=", 6) == 0) {
      runs = std::strtol(argv[i] + 6, nullptr, 10);
    } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
      seed = std::strtoul(argv[i] + 6, nullptr, 10);
    } else {
      files.emplace_back(argv[i]);
    }
  }
  for (const std::string& name : files) {
    std::ifstream file(name, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  if (!files.empty()) return 0;
  std::mt19937_64 rng(seed);
  std::vector<std::uint8_t> input;
  for (long run = 0; run < runs; ++run) {
    input.resize(rng() % 512);
    for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(rng() % 16 == 0 ? 0 : rng());
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%ld random inputs, no invariant broken\n", runs);
  return 0;
}
