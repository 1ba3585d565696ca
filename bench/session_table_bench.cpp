// Benchmarks of the session table as the packet path uses it: creating a
// session (st_refresh of a new id under the writer lock), and looking one
// up under the writer lock in tables of 10^3, 10^5 and 10^7 live sessions.
// Each lookup table is built once per process and kept for every run of
// its row; the lookups probe live ids in a random order.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <random>
#include <vector>

#include "balance/session_table.h"
#include "command/process.h"
#include "support/support.h"

namespace {

constexpr int IDLEN = 32;
constexpr size_t PROBES = 1 << 20;   // ids probed in turn, at most

struct IDS {
    std::vector<char> text;   // IDLEN bytes per id
    const char *at(size_t i) const { return &text[i * IDLEN]; }
};

// Client address and port ids like the `src+port` handler's; distinct for
// every n.
void make_id(char *out, uint32_t n)
{
    snprintf(out, IDLEN, "198.51.%u.%u:%u", 100 + (n >> 24), n >> 16 & 255, n & 0xFFFF);
}

IDS ids_of(const std::vector<uint32_t> &numbers)
{
    IDS ids;
    ids.text.resize(numbers.size() * IDLEN);
    for (size_t i = 0; i < numbers.size(); i++)
        make_id(&ids.text[i * IDLEN], numbers[i]);
    return ids;
}

void setup_once()
{
    static bool done = false;
    if (!done) {
        kvn_test_reset();
        set_uptime(1000);
        done = true;
    }
}

// A table of n live sessions and the ids to probe it with, built on first use.
struct LOOKUPTABLE {
    SESSIONTABLE *table;
    IDS probes;
};

const LOOKUPTABLE &lookup_table(uint32_t n)
{
    static std::map<uint32_t, LOOKUPTABLE> built;
    auto it = built.find(n);
    if (it != built.end())
        return it->second;
    setup_once();
    SESSIONTABLE *t = st_init();
    char id[IDLEN];
    for (uint32_t i = 0; i < n; i++) {
        make_id(id, i);
        st_update(t, id, 1, 1, 0x7FFFFFFF);   // never expires during the run
    }
    std::mt19937 rng(12345);
    std::vector<uint32_t> order;
    if (n <= PROBES) {
        for (uint32_t i = 0; i < n; i++)
            order.push_back(i);
        std::shuffle(order.begin(), order.end(), rng);
    } else {
        std::uniform_int_distribution<uint32_t> pick(0, n - 1);
        for (size_t i = 0; i < PROBES; i++)
            order.push_back(pick(rng));
    }
    return built[n] = LOOKUPTABLE{t, ids_of(order)};
}

void BM_SessionLookup(benchmark::State &state)
{
    const LOOKUPTABLE &lt = lookup_table((uint32_t)state.range(0));
    const size_t count = lt.probes.text.size() / IDLEN;
    size_t i = 0;
    for (auto _ : state) {
        st_wrlock(lt.table);
        SESSION *s = st_lookup(lt.table, lt.probes.at(i), 1);
        st_unlock(lt.table);
        benchmark::DoNotOptimize(s);
        if (++i == count)
            i = 0;
    }
    if (st_lookup_locked(lt.table, lt.probes.at(0), 1) == nullptr)
        state.SkipWithError("probe id not in the table");
}
BENCHMARK(BM_SessionLookup)->Arg(1000)->Arg(100000)->Arg(10000000);

// New sessions until 2^20 exist, then the table is emptied (outside the
// timing) and filling starts again.
void BM_SessionCreate(benchmark::State &state)
{
    setup_once();
    static SESSIONTABLE *t = st_init();
    static const IDS ids = [] {
        std::vector<uint32_t> numbers(PROBES);
        for (uint32_t i = 0; i < PROBES; i++)
            numbers[i] = i;
        return ids_of(numbers);
    }();
    st_clear(t);
    size_t i = 0;
    for (auto _ : state) {
        st_wrlock(t);
        SESSION *s = st_refresh(t, ids.at(i), 1, 1, 0);
        st_unlock(t);
        benchmark::DoNotOptimize(s);
        if (++i == PROBES) {
            state.PauseTiming();
            st_clear(t);
            i = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_SessionCreate);

}  // namespace
