// Every fuzz target over the inputs kept in the tree: the seed corpora and the inputs of past
// findings, each of which once broke an invariant or a sanitizer and must now run clean.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.hpp"

namespace {

namespace fs = std::filesystem;

struct Target {
  const char* name;
  int (*run)(const uint8_t*, size_t);
};

const Target kTargets[] = {{"library_deframer", fuzz::FuzzLibraryDeframer},
                           {"itemsmith_frame_reader", fuzz::FuzzItemsmithFrameReader},
                           {"nv_list", fuzz::FuzzNvList},
                           {"library_replies", fuzz::FuzzLibraryReplies},
                           {"device_requests", fuzz::FuzzDeviceRequests},
                           {"frame_round_trip", fuzz::FuzzFrameRoundTrip}};

std::vector<fs::path> Inputs(const std::string& kind, const char* target) {
  const fs::path folder = fs::path(TEST_SOURCE_DIR) / "tests/fuzz" / kind / target;
  std::vector<fs::path> files;
  if (fs::is_directory(folder)) {
    for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  }
  return files;
}

int Replay(const Target& target, const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  return target.run(bytes.data(), bytes.size());
}

// The seeds hold the inputs that caught faults put in on purpose (a length check off by one),
// so the suite keeps catching those faults on every build; findings/ holds what the fuzzers
// found in the code itself, once mended.
TEST(FuzzReplayTest, SeedsAndPastFindingsRunClean) {
  for (const Target& target : kTargets) {
    const std::vector<fs::path> seeds = Inputs("corpus", target.name);
    EXPECT_FALSE(seeds.empty()) << target.name << " has no seed corpus";
    for (const fs::path& seed : seeds) EXPECT_EQ(Replay(target, seed), 0) << seed;
    for (const fs::path& finding : Inputs("findings", target.name)) {
      EXPECT_EQ(Replay(target, finding), 0) << finding;
    }
  }
}

}  // namespace
