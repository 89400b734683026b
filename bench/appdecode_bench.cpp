// Decoding an application download: 8 MiB of application sent as a JSON array of byte values
// (about 3.6 characters a byte), the way the download reply handler decodes it, against the
// JSON library's path. Reports the process's peak resident size (ru_maxrss) once the body is
// built and after the runs; run one benchmark per process to read it:
// --benchmark_filter=<name>.
#include "cloud/cloudcodec.h"

#include <benchmark/benchmark.h>

#include <QRandomGenerator>

#include <sys/resource.h>

namespace {

constexpr int applicationBytes = 8 << 20;

double peakResidentMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

// The peak right after the body was built, before any decoding.
double bodyOnlyPeakMiB = 0;

const QByteArray &applicationBody()
{
    static const QByteArray body = [] {
        QRandomGenerator random(7);
        QByteArray text;
        text.reserve(applicationBytes * 4 + 2);
        text += '[';
        char number[4];
        for (int i = 0; i < applicationBytes; ++i) {
            if (i)
                text += ',';
            const int value = int(random.bounded(256));
            int length = 0;
            if (value >= 100)
                number[length++] = char('0' + value / 100);
            if (value >= 10)
                number[length++] = char('0' + value / 10 % 10);
            number[length++] = char('0' + value % 10);
            text.append(number, length);
        }
        text += ']';
        text.squeeze();
        bodyOnlyPeakMiB = peakResidentMiB();
        return text;
    }();
    return body;
}

template<cloudcodec::DecodedBytes (*decode)(const QByteArray &)>
void decodeApplication(benchmark::State &state)
{
    const QByteArray &body = applicationBody();
    state.counters["body_MiB"] = double(body.size()) / (1 << 20);
    state.counters["rss_with_body_MiB"] = bodyOnlyPeakMiB;
    for (auto _ : state) {
        const cloudcodec::DecodedBytes decoded = decode(body);
        if (!decoded.isArray || decoded.bytes.size() != applicationBytes)
            state.SkipWithError("the body did not decode to the application");
        benchmark::DoNotOptimize(decoded.bytes.constData());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * body.size());
    state.counters["peak_rss_MiB"] = peakResidentMiB();
}

} // namespace

BENCHMARK_TEMPLATE(decodeApplication, cloudcodec::decodeApplicationBody)
    ->Name("appDecode/direct")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(decodeApplication, cloudcodec::decodeApplicationBodyViaJson)
    ->Name("appDecode/viaJsonDocument")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

BENCHMARK_MAIN();
