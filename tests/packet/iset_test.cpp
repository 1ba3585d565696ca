// Integer sets: insertion order and the oldest key, touch and value with
// the test clock, remove, scan, and a fill with shared buckets.
#include <gtest/gtest.h>

#include <vector>

#include "command/process.h"
#include "packet/iset.h"
#include "support/support.h"

namespace {

struct Row {
    uint32_t key, value, touched;
};

bool collect(uint32_t key, uint32_t value, uint32_t touched, void *arg)
{
    ((std::vector<Row> *)arg)->push_back({key, value, touched});
    return true;
}

std::vector<uint32_t> keys(const ISET *s)
{
    std::vector<Row> rows;
    iset_walk(s, collect, &rows);
    std::vector<uint32_t> k;
    for (const Row &r : rows)
        k.push_back(r.key);
    return k;
}

struct IsetTest : ::testing::Test {
    ISET *s = nullptr;
    void SetUp() override
    {
        kvn_test_reset();
        set_uptime(100);
        s = iset_create();
    }
    void TearDown() override { iset_free(s); }
};

TEST_F(IsetTest, InsertionOrderOldestAndTouch)
{
    uint32_t oldest;
    EXPECT_FALSE(iset_oldest(s, &oldest));
    // 5 and 30005 share a bucket.
    iset_insert(s, 5, 50);
    set_uptime(101);
    iset_insert(s, 30005, 51);
    set_uptime(102);
    iset_insert(s, 7, 70);
    EXPECT_EQ(keys(s), (std::vector<uint32_t>{7, 30005, 5}));
    ASSERT_TRUE(iset_oldest(s, &oldest));
    EXPECT_EQ(oldest, 5u);
    EXPECT_EQ(iset_count(s), 3);

    // Inserting a present key only touches it: value and place stay.
    set_uptime(110);
    iset_insert(s, 5, 99);
    uint32_t value, touched;
    ASSERT_TRUE(iset_peek(s, 5, &value, &touched));
    EXPECT_EQ(value, 50u);
    EXPECT_EQ(touched, 110u);
    EXPECT_EQ(keys(s), (std::vector<uint32_t>{7, 30005, 5}));
    EXPECT_EQ(iset_count(s), 3);

    set_uptime(120);
    EXPECT_TRUE(iset_touch(s, 30005));
    EXPECT_FALSE(iset_touch(s, 6));
    ASSERT_TRUE(iset_peek(s, 30005, &value, &touched));
    EXPECT_EQ(touched, 120u);
    ASSERT_TRUE(iset_oldest(s, &oldest));
    EXPECT_EQ(oldest, 5u);

    set_uptime(130);
    EXPECT_EQ(iset_value(s, 7), 70u);
    EXPECT_EQ(iset_value(s, 8), 0u);
    ASSERT_TRUE(iset_peek(s, 7, &value, &touched));
    EXPECT_EQ(touched, 130u);
    EXPECT_FALSE(iset_peek(s, 8, &value, &touched));
}

TEST_F(IsetTest, RemoveAndScan)
{
    for (uint32_t k = 1; k <= 6; k++)
        iset_insert(s, k * ISET_BUCKETS, k);   // all in bucket 0
    EXPECT_TRUE(iset_remove(s, 1 * ISET_BUCKETS));
    EXPECT_FALSE(iset_remove(s, 1 * ISET_BUCKETS));
    uint32_t oldest;
    ASSERT_TRUE(iset_oldest(s, &oldest));
    EXPECT_EQ(oldest, 2u * ISET_BUCKETS);
    EXPECT_TRUE(iset_remove(s, 4 * ISET_BUCKETS));
    EXPECT_EQ(iset_value(s, 5 * ISET_BUCKETS), 5u);

    // The scan visits oldest first and removes what it is told to.
    std::vector<uint32_t> seen;
    int removed = iset_scan(
        s,
        [](uint32_t key, uint32_t value, uint32_t, void *arg) {
            ((std::vector<uint32_t> *)arg)->push_back(key);
            return value % 2 == 0;
        },
        &seen);
    EXPECT_EQ(seen, (std::vector<uint32_t>{2 * ISET_BUCKETS, 3 * ISET_BUCKETS, 5 * ISET_BUCKETS, 6 * ISET_BUCKETS}));
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(keys(s), (std::vector<uint32_t>{5 * ISET_BUCKETS, 3 * ISET_BUCKETS}));
    EXPECT_EQ(iset_count(s), 2);
}

TEST_F(IsetTest, FillRemoveHalfAndReinsert)
{
    const uint32_t n = 3 * ISET_BUCKETS + 11;
    for (uint32_t k = 0; k < n; k++)
        iset_insert(s, k, k + 1);
    EXPECT_EQ(iset_count(s), (int)n);
    for (uint32_t k = 0; k < n; k += 2)
        ASSERT_TRUE(iset_remove(s, k));
    for (uint32_t k = 0; k < n; k++)
        ASSERT_EQ(iset_value(s, k), k % 2 ? k + 1 : 0u) << k;
    for (uint32_t k = 0; k < n; k += 2)
        iset_insert(s, k, k + 2);
    EXPECT_EQ(iset_count(s), (int)n);
    EXPECT_EQ(iset_value(s, 4), 6u);
    uint32_t oldest;
    ASSERT_TRUE(iset_oldest(s, &oldest));
    EXPECT_EQ(oldest, 1u);
    EXPECT_EQ(keys(s).front(), n % 2 ? n - 1 : n - 2);
}

} // namespace
