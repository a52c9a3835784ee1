// Cost of one data_put_value (plain unit, consolidation included) against
// one bare library put of the same key and value size, in one binary.
// Build against the release library (see bench/README.md).
#include <db.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void quiet(const DB_ENV *, const char *, const char *) {}

} // namespace

int main(int argc, char **argv)
{
    unsigned n = argc > 1 ? static_cast<unsigned>(atoi(argv[1])) : 100000;
    char tmpl[] = "/tmp/dorvane-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    std::string store = std::string(tmpl) + "/store.db";
    std::string bare = std::string(tmpl) + "/bare.db";
    const uint32_t t0 = 1700000000;

    DB *db;
    if (db_create(&db, nullptr, 0) != 0)
        return 1;
    db->set_errcall(db, quiet);
    if (db->open(db, nullptr, bare.c_str(), nullptr, DB_BTREE, DB_CREATE, 0600) != 0)
        return 1;
    double a = now_s();
    for (unsigned i = 0; i < n; i++) {
        unsigned char k[dorvane::KEY_SIZE];
        dorvane::key_encode({1, 0, t0 + 60 * i}, k);
        dorvane::SampleRecord r{1.0 * i, 1.0 * i, 1.0 * i};
        DBT key, val;
        memset(&key, 0, sizeof key);
        memset(&val, 0, sizeof val);
        key.data = k;
        key.size = sizeof k;
        val.data = &r;
        val.size = sizeof r;
        if (db->put(db, nullptr, &key, &val, 0) != 0)
            return 1;
    }
    double bare_s = now_s() - a;
    db->close(db, 0);

    if (dorvane::data_open(store.c_str()) != 0)
        return 1;
    a = now_s();
    for (unsigned i = 0; i < n; i++)
        if (dorvane::data_put_value(0, t0 + 60 * i, 1, 0, 0, 1.0 * i) != 0)
            return 1;
    double put_s = now_s() - a;
    if (dorvane::data_close() != 0)
        return 1;

    printf("%u puts: bare library put %.3f us, data_put_value %.3f us, ratio %.2f\n", n,
           bare_s / n * 1e6, put_s / n * 1e6, put_s / bare_s);
    unlink(store.c_str());
    unlink(bare.c_str());
    rmdir(tmpl);
    return 0;
}
