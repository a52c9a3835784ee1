#include <cerrno>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "run/run.h"
#include "store/bdb.h"
#include "store/store.h"
#include "testing/test_util.h"

namespace dorvane {
namespace {

using testing_util::PrintTo;

// Store failures that a healthy disk does not produce must still end the run
// with status 1, after the store has been closed.
struct FailureCase {
    const char *name;
    BtreeOp op;
    unsigned skip;
    int tdiff;
    std::string err; // with STORE for the store's path
};

class PhasesFailure : public testing_util::TestWithParam<FailureCase>
{
  protected:
    testing_util::TempDir dir;
    const std::string store = dir.path("s.db");
};

TEST_P(PhasesFailure, EndsWithStatusOne)
{
    const FailureCase &c = GetParam();
    ASSERT_EQ(add_col(1, "echo 5", c.tdiff, 0), 0);
    RunSettings s{};
    s.store = store.c_str();
    s.query = 1;
    btree_fail(c.op, c.skip, -1, EIO);
    testing::internal::CaptureStderr();
    int status = run_phases(&s, nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    btree_fail_reset();
    EXPECT_EQ(status, 1);
    std::string want = c.err;
    for (size_t at; (at = want.find("STORE")) != std::string::npos;)
        want.replace(at, 5, store);
    EXPECT_EQ(err, want);

    // The store was closed and its lock released: it opens again at once.
    ASSERT_EQ(data_open(store.c_str()), 0);
    EXPECT_EQ(data_close(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhasesFailure,
    testing::Values(
        FailureCase{"SamplePut", BtreeOp::put, 0, 0,
                    "db->put: Input/output error\nmain: data_put_value() failed\n"},
        // A lost last value stores nothing and lets the run go on, but the
        // run did not store what it should have.
        FailureCase{"LastRecordPut", BtreeOp::put, 0, 1, "db->put: Input/output error\n"},
        FailureCase{"LastRecordGet", BtreeOp::get, 0, 1, "db->get: Input/output error\n"},
        FailureCase{"Sync", BtreeOp::sync, 0, 0, "dbsync: STORE: Input/output error\n"},
        FailureCase{"Close", BtreeOp::close, 0, 0, "dbclose: STORE: Input/output error\n"}),
    testing_util::row_name);

} // namespace
} // namespace dorvane
