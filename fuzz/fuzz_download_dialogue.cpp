// The download dialogue driven by the fuzzer's bytes: every choice of the device, the cloud,
// the window and the clock comes from the input. The erase command may go out only when
// every session of that download was confirmed by its own upload, and at most once.
#include "downloadexercise.h"
#include "fuzzcheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t at = 0;
    testsupport::DownloadExercise exercise([&](uint32_t bound) -> uint32_t {
        if (bound == 0 || at >= size)
            return 0;
        return uint32_t(data[at++]) % bound;
    });
    // A move takes a byte or two; past a few hundred moves a run only repeats itself.
    const bool held = exercise.run(int(qMin<size_t>(size, 300)) + 1);
    if (!held)
        std::fprintf(stderr, "%s\n", qPrintable(exercise.violation()));
    FUZZ_CHECK(held);
    return 0;
}
