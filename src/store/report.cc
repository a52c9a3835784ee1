// The quick-query report: the changes of a filled value array, the newest
// sixteen of them, and averages and maxima over both.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "store/store.h"

namespace dorvane {
namespace {

constexpr uint32_t QUEUE_WINDOW = 16;

struct FreeOnExit {
    void *p;
    ~FreeOnExit() { free(p); }
};

} // namespace

int quick_report(const double *values, uint32_t siz)
{
    double pmax = -EMPTY_MARK;
    for (uint32_t i = 0; i < siz; i++)
        if (values[i] > pmax)
            pmax = values[i];

    // The queue: entries that differ from the one before them and are not
    // 0 (a NaN differs from everything, 0 included).
    auto *queue = static_cast<double *>(malloc((siz != 0 ? siz : 1) * sizeof(double)));
    if (queue == nullptr) {
        message("quick_report: %s", strerror(ENOMEM));
        return 1;
    }
    FreeOnExit release{queue};
    uint32_t n = 0;
    double prev = EMPTY_MARK; // no entry equals it after the final pass
    for (uint32_t i = 0; i < siz; i++) {
        double v = values[i];
        trace(1, "%.2f ", v);
        if (v != prev && v != 0.0)
            queue[n++] = v;
        prev = v;
    }
    trace(1, "\n");

    printf("queue: ");
    uint32_t window_start = n >= QUEUE_WINDOW ? n - QUEUE_WINDOW : 0;
    double total = 0, window_total = 0, cmax = -EMPTY_MARK;
    for (uint32_t m = 0; m < n; m++) {
        total += queue[m];
        trace(1, "%.2f ", queue[m]);
        if (m < window_start)
            continue;
        printf("%.2f ", queue[m]);
        window_total += queue[m];
        if (queue[m] > cmax)
            cmax = queue[m];
    }
    if (n == 0) {
        printf("0\npavg: 0.00, pmax: 0.00\ncavg: 0.00, cmax: 0.00\n");
        return 0;
    }
    printf("\npavg: %.2f, pmax: %.2f\n", total / n, pmax);
    printf("cavg: %.2f, cmax: %.2f\n", window_total / (n - window_start), cmax);
    return 0;
}

} // namespace dorvane
