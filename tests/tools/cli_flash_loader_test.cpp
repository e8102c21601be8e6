// `cm3probe flash` in a shell session, with enough words for the loader in
// SRAM: the image lands and the session finds its registers and SRAM as it
// left them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli_support.h"

namespace cm3test {
namespace {

using ::testing::HasSubstr;

constexpr int kSuccess = 0;
constexpr uint32_t kImageBytes = 6 * 1024;  // two runs of the loader
constexpr uint32_t kSramBytes = 8 * 1024;   // the loader's whole work area

struct Transport {
    const char* name;
    std::vector<std::string> options;
};

class CliFlashLoaderTest : public ::testing::TestWithParam<Transport> {};

TEST_P(CliFlashLoaderTest, FlashesThroughTheLoaderAndRestoresTheSession) {
    ScratchDir dir;
    const auto image = Pattern(kImageBytes, 30);
    const auto sram = Pattern(kSramBytes, 31);
    WriteBytes(dir.file("image.bin"), image);
    WriteBytes(dir.file("sram.bin"), sram);
    const std::vector<std::string> lines{
        "halt",
        "write 0x20000000 -i " + dir.file("sram.bin"),
        "reg r4 0x12345678",
        "reg sp 0x20007FF0",
        "flash " + dir.file("image.bin") + " --address 0x2000",
        "reg r4",
        "reg sp",
        "read 0x20000000 " + std::to_string(kSramBytes) + " -o " + dir.file("sram-after.bin"),
        "read 0x2000 " + std::to_string(kImageBytes) + " -o " + dir.file("flash.bin"),
    };
    std::string script;
    for (const std::string& line : lines) script += line + "\n";
    std::vector<std::string> args{"--sim"};
    args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
    args.push_back("shell");
    const Outcome outcome = RunCli(args, script);
    ASSERT_EQ(outcome.exitCode, kSuccess) << outcome.out << outcome.err;
    EXPECT_THAT(outcome.out, HasSubstr("verified\nr4 0x12345678\nsp 0x20007FF0\n"));
    EXPECT_EQ(ReadBytes(dir.file("sram-after.bin")), sram);
    EXPECT_EQ(ReadBytes(dir.file("flash.bin")), image);
}

INSTANTIATE_TEST_SUITE_P(Transports, CliFlashLoaderTest,
                         ::testing::Values(Transport{"Swd", {"--swd"}}, Transport{"JtagBatched", {"--jtag", "--batched"}}),
                         [](const ::testing::TestParamInfo<Transport>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace cm3test
