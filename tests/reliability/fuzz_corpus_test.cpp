// The committed fuzz corpus, findings included, replayed through the fuzz
// targets' own harnesses in every build: a finding once fixed stays fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harnesses.h"

namespace cm3rel {
namespace {

using Harness = int (*)(const uint8_t*, size_t);

struct CorpusCase {
    const char* target;
    Harness run;
};

void PrintTo(const CorpusCase& c, std::ostream* out) { *out << c.target; }

class FuzzCorpusTest : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(FuzzCorpusTest, EveryCommittedInputRunsClean) {
    const CorpusCase& c = GetParam();
    if (c.run == &cm3fuzz::RunGdbPackets && !cm3fuzz::GdbPacketsAvailable()) {
        GTEST_SKIP() << "this checkout has no GDB server";
    }
    const std::filesystem::path directory = std::filesystem::path(CM3PROBE_FUZZ_CORPUS) / c.target;
    ASSERT_TRUE(std::filesystem::is_directory(directory)) << directory;
    size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(c.run(bytes.data(), bytes.size()), 0);
        ++inputs;
    }
    EXPECT_GT(inputs, 0u) << "an empty corpus replays nothing";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusTest,
                         ::testing::Values(CorpusCase{"mpsse_wire", &cm3fuzz::RunMpsseWire},
                                           CorpusCase{"exports", &cm3fuzz::RunExports},
                                           CorpusCase{"gdb_packets", &cm3fuzz::RunGdbPackets}),
                         [](const ::testing::TestParamInfo<CorpusCase>& info) { return std::string(info.param.target); });

}  // namespace
}  // namespace cm3rel
