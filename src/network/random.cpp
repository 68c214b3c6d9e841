#include "network/random.h"

#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kestrin {

namespace {

// ---- mixing seeds into streams ----------------------------------------------

constexpr uint64_t kGolden = 0x9e3779b97f4a7c15ull;

// SplitMix64's finaliser: a bijection in which every input bit reaches every output bit.
constexpr uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A 64-bit hash of a sequence of words; the lane keeps hashes made for different
// purposes apart.
class WordHash {
public:
    explicit constexpr WordHash(uint64_t lane) : state_(mix64(lane * kGolden + 1)) {}
    constexpr WordHash& add(uint64_t word) {
        state_ = mix64((state_ + kGolden) ^ mix64(word + 2 * kGolden));
        return *this;
    }
    constexpr uint64_t value() const { return state_; }

private:
    uint64_t state_;
};

// 256 bits drawn from the seed; everything seeded is derived from a Key.
struct Key {
    uint64_t words[4] = {};
};

// What a derived value is for; each purpose is a lane of its own.
enum Purpose : uint64_t { kSeedBytes = 1, kLibc, kThread, kFork, kDevice, kHelper, kDefaultLibc };

uint64_t derive(const Key& key, uint64_t purpose, uint64_t index) {
    WordHash hash(purpose);
    for (const uint64_t word : key.words) hash.add(word);
    return hash.add(index).value();
}

Key deriveKey(const Key& key, uint64_t purpose, uint64_t index) {
    Key derived;
    for (uint64_t lane = 0; lane < 4; ++lane) derived.words[lane] = derive(key, purpose + (lane << 8), index);
    return derived;
}

Key keyFromBytes(const unsigned char* bytes, size_t count) {
    Key key;
    for (uint64_t lane = 0; lane < 4; ++lane) {
        WordHash hash(kSeedBytes + (lane << 8));
        for (size_t start = 0; start < count; start += 8) {
            uint64_t word = 0;
            for (size_t k = start; k < count && k < start + 8; ++k) word |= static_cast<uint64_t>(bytes[k]) << (8 * (k - start));
            hash.add(word);
        }
        key.words[lane] = hash.add(count).value();
    }
    return key;
}

// ---- process-wide state -----------------------------------------------------

// Bumped by every seeding and in a forked child: each source compares the epoch
// it was built for with this one, which is all a draw pays for seeding.
std::atomic<uint64_t> epoch{1};
// The epoch the C library generator was last seeded for (1: the process's own
// first seeding, by the once-flags).
std::atomic<uint64_t> libcEpoch{1};
// The C library generator's last seed and the values drawn from it since:
// its state cannot be read, but it can be replayed.
std::atomic<unsigned> libcSeed{0};
std::atomic<uint64_t> libcDraws{0};

void seedLibc(unsigned seed) {
    std::srand(seed);
    libcSeed.store(seed, std::memory_order_relaxed);
    libcDraws.store(0, std::memory_order_relaxed);
}

// Counts the forks this process descends from: a child must not reuse the
// device values its parent buffered.
std::atomic<uint32_t> forks{0};

// Written under the lock only; the epoch changes only under it too.
struct SeedState {
    std::mutex lock;
    bool seeded = false;
    Key key;
    uint64_t threadsJoined = 0;   // stream numbers handed out since the seeding
    uint64_t forksSinceSeed = 0;  // the last fork's number since the seeding
};
constinit SeedState state;

// The lock is held across fork(), so that a child never inherits it mid-update.
void beforeFork() {
    state.lock.lock();
    ++state.forksSinceSeed;
}
void afterForkInParent() { state.lock.unlock(); }
void afterForkInChild() {
    if (state.seeded) {
        state.key = deriveKey(state.key, kFork, state.forksSinceSeed);
        state.threadsJoined = 0;
        state.forksSinceSeed = 0;
    }
    forks.fetch_add(1, std::memory_order_relaxed);
    epoch.fetch_add(1, std::memory_order_release);
    state.lock.unlock();
}
[[maybe_unused]] const int forkHandlers = pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);

// ---- per-thread state -------------------------------------------------------

// Device values are read 64 at a time: one getrandom call costs about what one
// value of std::random_device (RDSEED on this machine) does, some 300 ns, and
// every new network needs a value.
struct DeviceValues {
    static constexpr int kCount = 64;
    uint32_t values[kCount] = {};
    int next = kCount;
    uint32_t fork = 0;

    uint32_t take() {
        const uint32_t now = forks.load(std::memory_order_relaxed);
        if (next == kCount || fork != now) [[unlikely]] {
            refill();
            fork = now;
        }
        return values[next++];
    }

    void refill() {
        size_t filled = 0;
        for (int attempt = 0; attempt < 2 && filled < sizeof values; ++attempt) {
            const ssize_t got = getrandom(reinterpret_cast<char*>(values) + filled, sizeof values - filled, 0);
            if (got > 0) filled += static_cast<size_t>(got);
        }
        if (filled < sizeof values) {
            // No getrandom (an old kernel): the standard device, one value at a time.
            thread_local std::random_device device;
            for (size_t k = filled / sizeof(uint32_t); k < kCount; ++k) values[k] = static_cast<uint32_t>(device());
        }
        next = 0;
    }
};

// Each source is rebuilt only when the epoch moved: reseeding on every draw
// costs microseconds and adds nothing to the quality of the draws.
struct ThreadStreams {
    uint64_t joined = 0;  // the epoch this thread last took part in (0: none yet)
    bool seeded = false;  // whether that epoch is a seeded one
    Key key;              // this thread's own key in it
    uint64_t deviceEpoch = 0;
    uint64_t deviceState = 0;  // SplitMix64 state behind the seeded deviceSeed()
    uint64_t helperEpoch = 0;
    std::optional<CompactMt19937> helper;
    DeviceValues device;

    // Call with the state's lock held.
    void joinLocked() {
        joined = epoch.load(std::memory_order_relaxed);
        seeded = state.seeded;
        if (seeded) key = deriveKey(state.key, kThread, state.threadsJoined++);
    }

    void joinIfBehind() {
        if (joined == epoch.load(std::memory_order_acquire)) return;
        std::lock_guard<std::mutex> guard(state.lock);
        joinLocked();
    }

    void renewDevice() {
        joinIfBehind();
        if (seeded) deviceState = derive(key, kDevice, 0);
        deviceEpoch = joined;
    }

    void renewHelper() {
        joinIfBehind();
        if (seeded) {
            const uint64_t value = derive(key, kHelper, 0);
            std::seed_seq words{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
            helper.emplace(words);
        } else {
            helper.emplace(device.take());
        }
        helperEpoch = joined;
    }
};

// Constant-initialised and trivially destructible, so that reaching it needs no guard.
constinit thread_local ThreadStreams streams;

unsigned defaultLibcSeed() {
    WordHash hash(kDefaultLibc);
    hash.add(static_cast<uint64_t>(std::time(nullptr))).add(static_cast<uint64_t>(getpid()));
    return static_cast<unsigned>(hash.add(streams.device.take()).value());
}

void renewLibc() {
    std::lock_guard<std::mutex> guard(state.lock);
    const uint64_t now = epoch.load(std::memory_order_relaxed);
    if (libcEpoch.load(std::memory_order_relaxed) == now) return;
    seedLibc(state.seeded ? static_cast<unsigned>(derive(state.key, kLibc, 0)) : defaultLibcSeed());
    libcEpoch.store(now, std::memory_order_relaxed);
}

}  // namespace

void OnceSeedFlag::seedIfFirstUse() {
    if (!pending_.load(std::memory_order_acquire) || !pending_.exchange(false, std::memory_order_acq_rel)) return;
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.seeded) return;
    seedLibc(defaultLibcSeed());
    libcEpoch.store(epoch.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

int libcRand() {
    // A forked child or another thread's seeding left the generator behind.
    if (libcEpoch.load(std::memory_order_relaxed) != epoch.load(std::memory_order_relaxed)) [[unlikely]] renewLibc();
    libcDraws.fetch_add(1, std::memory_order_relaxed);
    return std::rand();
}

uint32_t deviceSeed() {
    ThreadStreams& thread = streams;
    if (thread.deviceEpoch != epoch.load(std::memory_order_acquire)) [[unlikely]] thread.renewDevice();
    if (!thread.seeded) return thread.device.take();
    thread.deviceState += kGolden;
    return static_cast<uint32_t>(mix64(thread.deviceState) >> 32);
}

uint32_t unseededDeviceValue() { return streams.device.take(); }

void setRandomSeed(const unsigned char* bytes, size_t count) {
    while (count > 0 && bytes[count - 1] == 0) --count;
    const Key key = keyFromBytes(bytes, count);
    std::lock_guard<std::mutex> guard(state.lock);
    state.seeded = true;
    state.key = key;
    state.threadsJoined = 0;
    state.forksSinceSeed = 0;
    const uint64_t now = epoch.load(std::memory_order_relaxed) + 1;
    epoch.store(now, std::memory_order_release);
    seedLibc(static_cast<unsigned>(derive(key, kLibc, 0)));
    libcEpoch.store(now, std::memory_order_relaxed);
    // The seeding thread takes stream 0 whatever other threads do meanwhile.
    streams.joinLocked();
}

void setRandomSeed(uint64_t seed) {
    unsigned char bytes[8];
    for (int k = 0; k < 8; ++k) bytes[k] = static_cast<unsigned char>(seed >> (8 * k));
    setRandomSeed(bytes, sizeof bytes);
}

namespace {

CompactMt19937& helperEngine() {
    ThreadStreams& thread = streams;
    if (thread.helperEpoch != epoch.load(std::memory_order_acquire)) [[unlikely]] thread.renewHelper();
    return *thread.helper;
}

double uniformFrom(CompactMt19937& engine) {
    const double low = static_cast<double>(engine());
    const double high = static_cast<double>(engine());
    const double value = (low + high * 4294967296.0) * 0x1p-64;
    return value < 1.0 ? value : std::nextafter(1.0, 0.0);
}

// Marsaglia and Tsang's ziggurat of 128 layers for the standard normal: most
// draws take one 64-bit word and a multiply. Layer i >= 1 spans
// [0, width[i] * 2^52) and is accepted outright below limit[i]; layer 0 is the
// base strip, with the tail beyond kTail.
constexpr int kLayers = 128;
constexpr double kTail = 3.442619855899;
struct Ziggurat {
    double limit[kLayers], width[kLayers], height[kLayers];
    Ziggurat() {
        constexpr double area = 9.91256303526217e-3, scale = 0x1p52;
        double x = kTail, previous = kTail;
        const double base = area / std::exp(-0.5 * x * x);
        limit[0] = x / base * scale;
        limit[1] = 0.0;
        width[0] = base / scale;
        width[kLayers - 1] = x / scale;
        height[0] = 1.0;
        height[kLayers - 1] = std::exp(-0.5 * x * x);
        for (int i = kLayers - 2; i >= 1; --i) {
            x = std::sqrt(-2.0 * std::log(area / x + std::exp(-0.5 * x * x)));
            limit[i + 1] = x / previous * scale;
            previous = x;
            height[i] = std::exp(-0.5 * x * x);
            width[i] = x / scale;
        }
    }
};

double zigguratNormal(CompactMt19937& engine, const Ziggurat& z) {
    for (;;) {
        const uint64_t low = engine();  // two statements: the draws' order is fixed
        const uint64_t word = low | static_cast<uint64_t>(engine()) << 32;
        const int layer = static_cast<int>(word & (kLayers - 1));
        const bool negative = (word >> 7) & 1;
        const auto magnitude = static_cast<double>(word >> 12);  // 52 bits
        const double x = magnitude * z.width[layer];
        if (magnitude < z.limit[layer]) return negative ? -x : x;
        if (layer == 0) {
            // The tail beyond kTail, by Marsaglia's exponential rejection.
            double tail, y;
            do {
                tail = -std::log1p(-uniformFrom(engine)) / kTail;
                y = -std::log1p(-uniformFrom(engine));
            } while (y + y < tail * tail);
            return negative ? -(kTail + tail) : kTail + tail;
        }
        const double height = z.height[layer] + uniformFrom(engine) * (z.height[layer - 1] - z.height[layer]);
        if (height < std::exp(-0.5 * x * x)) return negative ? -x : x;
    }
}

}  // namespace

double randomUniform() { return uniformFrom(helperEngine()); }

double randomNormal(double stddev) {
    // One lookup of the thread's engine for all the draws (in a shared object,
    // reaching a thread_local costs a call).
    CompactMt19937& engine = helperEngine();
    double x, y, s;
    do {
        x = 2.0 * uniformFrom(engine) - 1.0;
        y = 2.0 * uniformFrom(engine) - 1.0;
        s = x * x + y * y;
    } while (s > 1.0 || s == 0.0);
    return y * std::sqrt(-2.0 * std::log(s) / s) * stddev;
}

void randomNormals(double* out, size_t count) {
    static const Ziggurat ziggurat;
    CompactMt19937& engine = helperEngine();  // once for all the draws, as above
    for (size_t i = 0; i < count; ++i) out[i] = zigguratNormal(engine, ziggurat);
}

namespace {

constexpr const char* kStreamsTag = "kestrin-streams-1";

void putKey(std::ostream& out, const Key& key) {
    for (const uint64_t word : key.words) out << ' ' << word;
}

void getKey(std::istream& in, Key& key) {
    for (uint64_t& word : key.words) in >> word;
}

}  // namespace

std::string savedRandomStreams() {
    ThreadStreams& thread = streams;
    // What the thread's next draw would do first.
    thread.joinIfBehind();
    if (!thread.seeded) return {};
    std::lock_guard<std::mutex> guard(state.lock);
    const uint64_t now = epoch.load(std::memory_order_relaxed);
    std::ostringstream out;
    out << kStreamsTag;
    putKey(out, state.key);
    out << ' ' << state.threadsJoined << ' ' << state.forksSinceSeed;
    putKey(out, thread.key);
    out << ' ' << (thread.deviceEpoch == now) << ' ' << thread.deviceState;
    out << ' ' << (libcEpoch.load(std::memory_order_relaxed) == now) << ' ' << libcSeed.load(std::memory_order_relaxed)
        << ' ' << libcDraws.load(std::memory_order_relaxed);
    const bool helper = thread.helperEpoch == now && thread.helper;
    out << ' ' << helper;
    if (helper) out << ' ' << *thread.helper;
    return out.str();
}

void restoreRandomStreams(const std::string& saved) {
    std::istringstream in(saved);
    std::string tag;
    in >> tag;
    Key key, threadKey;
    uint64_t threadsJoined = 0, forksSinceSeed = 0, deviceState = 0, draws = 0;
    bool device = false, libc = false, helper = false;
    unsigned seed = 0;
    getKey(in, key);
    in >> threadsJoined >> forksSinceSeed;
    getKey(in, threadKey);
    in >> device >> deviceState >> libc >> seed >> draws >> helper;
    CompactMt19937 engine;
    if (helper) in >> engine;
    if (tag != kStreamsTag || in.fail() || !(in >> std::ws).eof()) {
        throw std::invalid_argument("The saved random streams are damaged.");
    }

    std::lock_guard<std::mutex> guard(state.lock);
    state.seeded = true;
    state.key = key;
    state.threadsJoined = threadsJoined;
    state.forksSinceSeed = forksSinceSeed;
    const uint64_t now = epoch.load(std::memory_order_relaxed) + 1;
    epoch.store(now, std::memory_order_release);
    if (libc) {
        seedLibc(seed);
        for (uint64_t k = 0; k < draws; ++k) std::rand();
        libcDraws.store(draws, std::memory_order_relaxed);
        libcEpoch.store(now, std::memory_order_relaxed);
    }
    ThreadStreams& thread = streams;
    thread.joined = now;
    thread.seeded = true;
    thread.key = threadKey;
    thread.deviceEpoch = device ? now : 0;
    thread.deviceState = deviceState;
    thread.helperEpoch = helper ? now : 0;
    if (helper) thread.helper.emplace(engine);
}

}  // namespace kestrin
