#include <cblas.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/coreml/runtime/ops/Gemm.h"

namespace platform::coreml::runtime {
namespace {

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double otherThreadsSeconds() {
    return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

// OpenBLAS's threads poll for a tenth of a second after the library starts,
// and the runtime's workers for a while after their last work: this waits
// (up to two seconds) until the other threads have used next to no
// processor time for two windows in a row.
void waitUntilOtherThreadsRest() {
    for (int i = 0, quiet = 0; i < 100 && quiet < 2; ++i) {
        const double before = otherThreadsSeconds();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        quiet = otherThreadsSeconds() - before < 0.0005 ? quiet + 1 : 0;
    }
}

// Something else in the process (a benchmark's reference, another library)
// hands OpenBLAS every core after the runtime's first products; the next one
// must still run on the calling thread alone, or every worker's block would
// start OpenBLAS's threads: all but the caller would then do most of the work.
TEST(Gemm, ProductsStayOnTheCallingThreadWhateverElseSetOpenBlasTo) {
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    if (cores < 4) GTEST_SKIP() << "too few cores to tell OpenBLAS's threads from noise";
    constexpr int64_t size = 1536;
    std::vector<float> a(size * size, 0.5f), b(size * size, 0.25f), out(size * size);
    const MatrixLayout square{size, size, size, 1};
    // The runtime has run products before the count changes.
    gemmOnThisThread(a.data(), square, b.data(), square, out.data(), size);
    openblas_set_num_threads(cores);
    waitUntilOtherThreadsRest();

    const double othersBefore = otherThreadsSeconds(), callerBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    gemmOnThisThread(a.data(), square, b.data(), square, out.data(), size);
    const double caller = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - callerBefore;
    const double others = otherThreadsSeconds() - othersBefore;

    EXPECT_FLOAT_EQ(out[size * size - 1], 0.125f * size);
    // Shared among four threads or more, the others would do thrice the
    // caller's share at least.
    EXPECT_LT(others, caller) << "caller " << caller << " s, other threads " << others << " s";
}

}  // namespace
}  // namespace platform::coreml::runtime
