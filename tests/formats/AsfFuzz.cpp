#include "AsfFuzz.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "AsfTestKit.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace asffuzz {
namespace {

using asftest::Obj;
using diviv::asf::GuidEquals;
using Clock = std::chrono::steady_clock;

// Longest time one input may take: inputs are at most a few hundred
// kilobytes, read in well under a millisecond each.
constexpr auto kInputLimit = std::chrono::seconds(2);

// Allocation callback bounded by the bytes the current call was given.
uint64_t gAllowed = 0;
bool gTooLarge = false;
int gOutstanding = 0;

void FuzzMalloc(void** p, size_t n, ASF_DEMUX_MALLOC_REASON) {
    if (n > gAllowed) gTooLarge = true;
    *p = std::malloc(n ? n : 1);
    ++gOutstanding;
}
void FuzzFree(void* p) {
    --gOutstanding;
    std::free(p);
}

std::vector<std::vector<uint8_t>> Seeds() {
    std::vector<std::vector<uint8_t>> seeds;
    std::mt19937 rng(1);
    for (uint32_t packetSize : {3200u, 256u, 100u}) {
        std::vector<Obj> objs;
        uint32_t t = 0;
        for (int i = 0; i < 24; ++i) {
            const int type = i % 3;
            std::vector<uint8_t> d(i % 5 == 0 ? 1500 + rng() % 3000 : 10 + rng() % 140);
            for (auto& b : d) b = static_cast<uint8_t>(rng());
            objs.push_back({type, type != 0 || i % 6 == 0, t += 30, std::move(d)});
        }
        seeds.push_back(asftest::WriteAll(objs, packetSize));
    }
    seeds.push_back(asftest::WriteAll({}));
    // Just the header's variable objects, so that mutations hit them often.
    seeds.push_back(std::vector<uint8_t>(seeds[0].begin() + 134, seeds[0].begin() + 1084));
    return seeds;
}

bool IsObjectState(ASF_DEMUX_STATE st) {
    return st >= ASF_DEMUX_STATE_HEADER_OBJECT && st != ASF_DEMUX_STATE_SIMPLE_INDEX_OBJECT_ENTRY;
}

// Where the objects of an unmutated seed begin, as its own reading finds them.
std::vector<size_t> ObjectOffsets(const std::vector<uint8_t>& d) {
    std::vector<size_t> at;
    gAllowed = UINT64_MAX;
    ASF_DEMUX_CONTEXT* ctx = ASF_Demux_Create(FuzzMalloc, FuzzFree);
    size_t pos = 0;
    while (pos < d.size()) {
        uint32_t consumed = 0;
        const ASF_DEMUX_STATE st = ASF_Demux_Parse(ctx, d.data() + pos, static_cast<uint32_t>(d.size() - pos), &consumed);
        if (st == ASF_DEMUX_STATE_NEED_MORE_DATA || st == ASF_DEMUX_STATE_UNKNOWN || consumed == 0) break;
        if (IsObjectState(st)) at.push_back(pos);
        pos += consumed;
    }
    ASF_Demux_Close(ctx);
    gOutstanding = 0;
    return at;
}

// An input whose one object declares a hostile size: under its 24-byte
// header, exactly the header, just beyond the end of the input, or beyond
// what any buffer holds. A Stream Properties Object often gets an unknown
// stream type too, so that it is skipped by that size.
struct SizedInput {
    std::vector<uint8_t> data;
    size_t object;  // where the object with the hostile size begins
};

SizedInput WithHostileSize(const std::vector<uint8_t>& seed, const std::vector<size_t>& objects, std::mt19937_64& rng) {
    SizedInput in{seed, objects[rng() % objects.size()]};
    const uint64_t rest = seed.size() - in.object;
    const uint64_t sizes[] = {0, 1, 23, 24, rest + 1, rest + 1 + rng() % 4096, (1ull << 32) + 24, ~0ull};
    const uint64_t size = sizes[rng() % std::size(sizes)];
    for (int i = 0; i < 8; ++i) in.data[in.object + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
    if (GuidEquals(in.data.data() + in.object, GUID_ASF_Stream_Properties_Object) && rng() % 2 == 0 &&
        in.object + 40 <= in.data.size())
        in.data[in.object + 24] ^= 0x5A;  // an unknown stream type
    return in;
}

// Ends the process when one input runs longer than kInputLimit: a reader
// stuck inside a single call, which no check in the feeding loop can see.
class Watchdog {
public:
    explicit Watchdog(uint64_t seed) : seed_(seed), thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Begin(uint64_t input) {
        input_.store(input, std::memory_order_relaxed);
        started_.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; })) {
            const Clock::time_point started{Clock::duration(started_.load(std::memory_order_acquire))};
            if (started_.load(std::memory_order_relaxed) != 0 && Clock::now() - started > 2 * kInputLimit) {
                std::fprintf(stderr, "asf fuzz: input %llu (seed %llu) still not read after %lld s: the reader hangs\n",
                             static_cast<unsigned long long>(input_.load()), static_cast<unsigned long long>(seed_),
                             static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(2 * kInputLimit).count()));
                std::abort();
            }
        }
    }
    const uint64_t seed_;
    std::atomic<uint64_t> input_{0};
    std::atomic<Clock::rep> started_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

const uint64_t kInteresting[] = {0,          1,          2,          7,          8,          0x10,
                                 0x18,       0x2E,       0x3F,       0x40,       0x7F,       0x80,
                                 0xFF,       0x100,      0x7FFF,     0x8000,     0xFFFF,     0x10000,
                                 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x100000000, 0xFFFFFFFFFFFFFFFF};

void Mutate(std::vector<uint8_t>& d, const std::vector<std::vector<uint8_t>>& seeds, std::mt19937_64& rng) {
    const int count = 1 + static_cast<int>(rng() % 8);
    for (int m = 0; m < count; ++m) {
        const size_t at = d.empty() ? 0 : rng() % d.size();
        switch (rng() % 9) {
            case 0:  // flip a bit
                if (!d.empty()) d[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:  // random byte
                if (!d.empty()) d[at] = static_cast<uint8_t>(rng());
                break;
            case 2:
            case 3: {  // interesting little-endian value of 1, 2, 4 or 8 bytes
                const int width = 1 << (rng() % 4);
                uint64_t v = kInteresting[rng() % std::size(kInteresting)];
                if (rng() % 4 == 0) v += (rng() % 64) - 32;
                for (int i = 0; i < width && at + i < d.size(); ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
                break;
            }
            case 4:  // truncate
                d.resize(at);
                break;
            case 5: {  // delete a range
                const size_t n = std::min<size_t>(d.size() - at, rng() % 64);
                d.erase(d.begin() + at, d.begin() + at + n);
                break;
            }
            case 6: {  // insert random bytes
                const size_t n = rng() % 32;
                std::vector<uint8_t> ins(n);
                for (auto& b : ins) b = static_cast<uint8_t>(rng());
                d.insert(d.begin() + at, ins.begin(), ins.end());
                break;
            }
            case 7: {  // duplicate a range (repeated objects, packets)
                const size_t n = std::min<size_t>(d.size() - at, 1 + rng() % 400);
                std::vector<uint8_t> copy(d.begin() + at, d.begin() + at + n);
                d.insert(d.begin() + (d.empty() ? 0 : rng() % d.size()), copy.begin(), copy.end());
                break;
            }
            default: {  // splice a piece of another seed
                const auto& s = seeds[rng() % seeds.size()];
                if (s.empty()) break;
                const size_t from = rng() % s.size();
                const size_t n = std::min<size_t>(s.size() - from, 1 + rng() % 200);
                const size_t to = d.empty() ? 0 : rng() % d.size();
                std::copy_n(s.begin() + from, std::min(n, d.size() - std::min(d.size(), to)), d.begin() + to);
                break;
            }
        }
    }
}

// Feeds `d` to a fresh reader as a caller does: drops what every answer
// consumed and calls again; windows grow by `step` (0: the whole rest). An
// answer at `object` (when given) must not move by less than an object's
// header. Returns an empty string or what went wrong.
std::string Feed(const std::vector<uint8_t>& d, size_t step, Report& rep, size_t object = SIZE_MAX) {
    const Clock::time_point started = Clock::now();
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(d.size() ? d.size() : 1));
    if (!d.empty()) std::memcpy(buf, d.data(), d.size());
    gAllowed = UINT64_MAX;  // the context itself
    ASF_DEMUX_CONTEXT* ctx = ASF_Demux_Create(FuzzMalloc, FuzzFree);
    std::string failure;
    size_t pos = 0, window = 0;
    uint64_t calls = 0;
    while (failure.empty()) {
        const size_t rest = d.size() - pos;
        window = step == 0 ? rest : std::min(rest, window + step);
        POISON(buf + pos + window, rest - window);
        gAllowed = uint64_t{window} * 8 + 4096;
        uint32_t consumed = 0xFFFFFFFF;
        const ASF_DEMUX_STATE st = ASF_Demux_Parse(ctx, buf + pos, static_cast<uint32_t>(window), &consumed);
        UNPOISON(buf + pos + window, rest - window);
        ++rep.parseCalls;
        if (++calls > 4 * d.size() + 64) failure = "no progress";
        if (calls % 256 == 0 && Clock::now() - started > kInputLimit) failure = "input read too slowly";
        if (gTooLarge) failure = "allocation larger than the buffered bytes allow";
        if (st == ASF_DEMUX_STATE_NEED_MORE_DATA) {
            if (consumed != 0xFFFFFFFF) failure = "need-more-data consumed bytes";
            if (window == rest) break;  // end of input
            continue;
        }
        if (st == ASF_DEMUX_STATE_UNKNOWN && consumed == 0xFFFFFFFF) break;  // the reader stops here
        if (consumed > window) failure = "consumed more than was buffered";
        if (st >= ASF_DEMUX_STATE_VIDEO_DATA && st <= ASF_DEMUX_STATE_BINARY_DATA) {
            const STRUCT_ASF_PAYLOAD& p = st == ASF_DEMUX_STATE_VIDEO_DATA   ? ctx->asfPayloadVideo
                                          : st == ASF_DEMUX_STATE_AUDIO_DATA ? ctx->asfPayloadAudio
                                                                             : ctx->asfPayloadBinary;
            if (p.pAddrInUserBuffer < buf + pos || p.pAddrInUserBuffer + p.dwPayloadSize > buf + pos + consumed)
                failure = "payload outside the consumed bytes";
            ++rep.payloads;
        }
        // A caller drops the consumed bytes and asks again: an answer that
        // consumed nothing would be given again for ever.
        if (consumed == 0) failure = "an answer consumed nothing";
        if (pos == object && consumed < 24) failure = "an object moved the reader by less than its header";
        pos += consumed;
        window = 0;
    }
    ASF_Demux_Close(ctx);
    if (failure.empty() && Clock::now() - started > kInputLimit) failure = "input read too slowly";
    if (failure.empty() && gOutstanding != 0) failure = "blocks not returned at close";
    gOutstanding = 0;
    gTooLarge = false;
    std::free(buf);
    return failure;
}

}  // namespace

Report Run(uint64_t inputs, uint64_t seed) {
    Report rep;
    const auto seeds = Seeds();
    std::vector<std::vector<size_t>> objects;
    for (const auto& s : seeds) objects.push_back(ObjectOffsets(s));
    Watchdog watchdog(seed);
    std::mt19937_64 rng(seed);
    for (uint64_t i = 0; i < inputs; ++i) {
        watchdog.Begin(i);
        const size_t which = rng() % seeds.size();
        const size_t step = rng() % 3 == 0 ? 1 + rng() % 512 : 0;
        std::string f;
        if (rng() % 4 == 0 && !objects[which].empty()) {
            // One in four inputs: one hostile object size, nothing else changed.
            const SizedInput in = WithHostileSize(seeds[which], objects[which], rng);
            f = Feed(in.data, step, rep, in.object);
        } else {
            std::vector<uint8_t> d = seeds[which];
            Mutate(d, seeds, rng);
            f = Feed(d, step, rep);
        }
        ++rep.inputs;
        if (!f.empty()) {
            rep.failure = f + " (input " + std::to_string(i) + ", seed " + std::to_string(seed) + ")";
            return rep;
        }
    }
    return rep;
}

}  // namespace asffuzz
