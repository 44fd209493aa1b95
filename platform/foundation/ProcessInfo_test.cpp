#include "platform/foundation/CpuInfo.h"
#include "platform/foundation/ProcessInfo.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace platform {
namespace {

TEST(CpuInfo, ReadsBrandVendorFamilyAndCountsPhysicalCores) {
    // Two packages with two cores each and hyper-threading: eight entries.
    std::string text;
    const int layout[][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {0, 0}, {0, 1}, {1, 0}, {1, 1}};
    int processor = 0;
    for (const auto& entry : layout) {
        text += "processor\t: " + std::to_string(processor++) + "\n";
        text += "vendor_id\t: GenuineIntel\ncpu family\t: 6\n";
        text += "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz  \n";
        text += "physical id\t: " + std::to_string(entry[0]) + "\n";
        text += "core id\t\t: " + std::to_string(entry[1]) + "\n";
        text += "flags\t\t: fpu vme: odd\n\n";
    }
    const CpuInfo info = CpuInfo::parse(text);
    EXPECT_EQ(info.brand, "Intel(R) Xeon(R) CPU @ 2.20GHz");
    EXPECT_EQ(info.vendor, "GenuineIntel");
    EXPECT_EQ(info.family, "6");
    EXPECT_EQ(info.physicalCores, 4);

    const CpuInfo arm = CpuInfo::parse("processor\t: 0\nBogoMIPS\t: 50.00\n\nprocessor\t: 1\n");
    EXPECT_EQ(arm.brand, "");
    EXPECT_EQ(arm.physicalCores, 0);
    EXPECT_EQ(CpuInfo::parse("").physicalCores, 0);
}

TEST(ProcessInfo, AnswersKnownNamesAndNothingElse) {
    EXPECT_EQ(ProcessInfo::systemValue("machdep.cpu.thread_count"), std::to_string(::sysconf(_SC_NPROCESSORS_CONF)));
    const int cores = std::stoi(ProcessInfo::systemValue("machdep.cpu.core_count"));
    EXPECT_GE(cores, 1);
    EXPECT_LE(cores, ::sysconf(_SC_NPROCESSORS_CONF));
    for (const char* unknown : {"", "hw.nonsense", "machdep.cpu", "kern.osversion"}) {
        EXPECT_EQ(ProcessInfo::systemValue(unknown), "") << unknown;
    }
    const std::string model = ProcessInfo::systemValue("hw.model");
    EXPECT_EQ(model.find('\n'), std::string::npos);
    EXPECT_GE(ProcessInfo::activeProcessorCount(), 1);
}

TEST(ProcessInfo, ResidentMemoryGrowsWhenPagesAreTouched) {
    const auto before = ProcessInfo::residentMemoryBytes();
    ASSERT_TRUE(before.has_value());
    std::vector<char> block(64 << 20);
    for (std::size_t i = 0; i < block.size(); i += 4096) block[i] = 1;
    const auto after = ProcessInfo::residentMemoryBytes();
    ASSERT_TRUE(after.has_value());
    EXPECT_GE(*after, *before + (48u << 20));
    EXPECT_EQ(block[4096], 1);
}

} // namespace
} // namespace platform
