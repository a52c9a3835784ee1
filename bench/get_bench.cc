// Cost of filling one 507-column graph from a store that holds a year of
// one-minute samples of one unit, for ranges of a day to a year.
// Build against the release library (see bench/README.md).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "store/store.h"

namespace {

double now_s()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : nullptr;
    std::string made;
    if (path == nullptr) {
        char tmpl[] = "/tmp/dorvane-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            return 1;
        made = std::string(tmpl) + "/year.db";
        path = made.c_str();
    }
    const uint32_t t0 = 1700000000;
    const uint32_t year = 365 * 86400;
    if (dorvane::data_open(path) != 0)
        return 1;
    if (!made.empty()) {
        double a = now_s();
        for (uint32_t t = 0; t < year; t += 60)
            if (dorvane::data_put_value(0, t0 + t, 1, 0, 0, (t / 60) % 1000) != 0)
                return 1;
        printf("filled a year of one-minute samples in %.2f s\n", now_s() - a);
        if (dorvane::data_close() != 0 || dorvane::data_open(path) != 0)
            return 1;
    }
    static double values[507];
    const struct {
        const char *name;
        uint32_t span;
    } ranges[] = {{"day", 86400}, {"week", 7 * 86400}, {"month", 30 * 86400}, {"year", year}};
    for (const auto &r : ranges) {
        uint32_t end = t0 + year, beg = end - r.span;
        double a = now_s();
        if (dorvane::data_get_values(1, beg, end, 2, 507, values, 0) != 0)
            return 1;
        double first = now_s() - a;
        const int n = 200;
        a = now_s();
        for (int i = 0; i < n; i++)
            if (dorvane::data_get_values(1, beg, end, 2, 507, values, 0) != 0)
                return 1;
        printf("%-5s range: first call %.1f us, then %.1f us per call\n", r.name, first * 1e6,
               (now_s() - a) / n * 1e6);
    }
    if (dorvane::data_close() != 0)
        return 1;
    if (!made.empty()) {
        unlink(made.c_str());
        rmdir(made.substr(0, made.rfind('/')).c_str());
    }
    return 0;
}
