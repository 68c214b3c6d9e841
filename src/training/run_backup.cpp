#include "training/run_backup.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "network/atomic_file.h"
#include "network/file_error.h"
#include "network/network_bytes.h"

namespace kestrin {
namespace {

constexpr char kTag[8] = {'K', 'S', 'T', 'N', 'R', 'U', 'N', '1'};
constexpr size_t kFrameBytes = sizeof kTag + 8 + 8;

// FNV-1a's step on 64-bit words, four lanes apart so that the multiplies
// overlap, then the lanes and the tail bytes folded together.
uint64_t payloadHash(const char* data, size_t size) {
    constexpr uint64_t kPrime = 0x100000001b3ull;
    uint64_t lanes[4] = {0xcbf29ce484222325ull, 0x84222325cbf29ce4ull, 0x9e3779b97f4a7c15ull, 0xbf58476d1ce4e5b9ull};
    const auto word = [&](size_t at) {
        uint64_t value = 0;
        std::memcpy(&value, data + at, 8);
        // The same hash on every host: the words are read little-endian.
        if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
        return value;
    };
    size_t at = 0;
    for (; at + 32 <= size; at += 32) {
        for (int k = 0; k < 4; ++k) lanes[k] = (lanes[k] ^ word(at + 8 * static_cast<size_t>(k))) * kPrime;
    }
    uint64_t hash = size;
    for (const uint64_t lane : lanes) hash = (hash ^ lane) * kPrime;
    for (; at < size; ++at) hash = (hash ^ static_cast<unsigned char>(data[at])) * kPrime;
    return hash ^ (hash >> 29);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

class Encoder {
public:
    explicit Encoder(std::string& out) : out_(out) {}

    void word(uint64_t value) {
        char bytes[8];
        for (int b = 0; b < 8; ++b) bytes[b] = static_cast<char>(value >> (8 * b));
        out_.append(bytes, 8);
    }
    void integer(int64_t value) { word(static_cast<uint64_t>(value)); }
    void real(double value) { word(std::bit_cast<uint64_t>(value)); }
    void text(const std::string& value) {
        word(value.size());
        out_.append(value);
    }
    void reals(const std::vector<double>& values) {
        word(values.size());
        for (const double value : values) real(value);
    }
    void network(const Network& network) {
        text(encodeNetwork(network));
        text(network.rng.text());
    }

private:
    std::string& out_;
};

class Decoder {
public:
    Decoder(const std::string& bytes, size_t begin, size_t end, const std::string& what)
        : bytes_(bytes), at_(begin), end_(end), what_(what) {}

    uint64_t word() {
        need(8);
        uint64_t value = 0;
        for (int b = 0; b < 8; ++b) value |= uint64_t{static_cast<unsigned char>(bytes_[at_ + b])} << (8 * b);
        at_ += 8;
        return value;
    }
    int64_t integer() { return static_cast<int64_t>(word()); }
    double real() { return std::bit_cast<double>(word()); }
    // A count of items of at least itemBytes each that the rest can hold.
    size_t count(size_t itemBytes) {
        const uint64_t n = word();
        if (n > (end_ - at_) / itemBytes) fail("a count of " + std::to_string(n) + " runs past the end");
        return static_cast<size_t>(n);
    }
    std::string text() {
        const size_t n = count(1);
        std::string value = bytes_.substr(at_, n);
        at_ += n;
        return value;
    }
    std::vector<double> reals() {
        std::vector<double> values(count(8));
        for (double& value : values) value = real();
        return values;
    }
    Network network() {
        const std::string encoded = text();
        Network network = decodeNetwork(reinterpret_cast<const unsigned char*>(encoded.data()), encoded.size(),
                                        what_ + "'s network");
        try {
            network.rng.setText(text());
        } catch (const std::invalid_argument&) {
            fail("a network's engine is damaged");
        }
        return network;
    }
    void finish() {
        if (at_ != end_) fail(std::to_string(end_ - at_) + " bytes follow the last field");
    }

    [[noreturn]] void fail(const std::string& defect) const { throw FileFormatError("invalid " + what_ + ": " + defect); }

private:
    void need(size_t n) {
        if (end_ - at_ < n) fail("it ends inside a field");
    }

    const std::string& bytes_;
    size_t at_;
    size_t end_;
    const std::string& what_;
};

}  // namespace

RunStateView viewOf(const RunState& state) {
    return {state.identity, state.epoch,   state.population, state.scores,  state.strategyState, state.randomStreams,
            state.best,     state.rowOrder, state.history,   state.callerState};
}

std::string encodeRunState(const RunStateView& state) {
    std::string file;
    size_t estimate = kFrameBytes + state.callerState.size() + state.randomStreams.size() + 4096;
    for (const Network& member : state.population) {
        estimate += 64 + 12 * static_cast<size_t>(member.size) + 16 * static_cast<size_t>(member.connections.count());
    }
    file.reserve(estimate);
    file.append(kTag, sizeof kTag);
    Encoder out(file);
    out.word(0);  // the payload's length, known at the end
    const size_t begin = file.size();
    out.word(state.identity.size());
    for (const auto& [name, value] : state.identity) {
        out.text(name);
        out.text(value);
    }
    out.integer(state.epoch);
    out.word(state.population.size());
    for (const Network& member : state.population) out.network(member);
    out.word(state.scores.size());
    for (const std::vector<double>& row : state.scores) out.reals(row);
    out.reals(state.strategyState);
    out.text(state.randomStreams);
    out.network(state.best);
    out.word(state.rowOrder.size());
    for (const int32_t index : state.rowOrder) out.integer(index);
    out.word(state.history.size());
    for (const std::vector<double>& row : state.history) out.reals(row);
    out.text(state.callerState);

    const uint64_t length = file.size() - begin;
    for (int b = 0; b < 8; ++b) file[sizeof kTag + static_cast<size_t>(b)] = static_cast<char>(length >> (8 * b));
    out.word(payloadHash(file.data() + begin, length));
    return file;
}

std::string encodeRunState(const RunState& state) { return encodeRunState(viewOf(state)); }

RunState decodeRunState(const std::string& bytes, const std::string& what) {
    Decoder frame(bytes, 0, bytes.size(), what);
    if (bytes.size() < kFrameBytes || std::memcmp(bytes.data(), kTag, sizeof kTag) != 0) {
        frame.fail("it does not begin as a kestrin backup does");
    }
    Decoder sizes(bytes, sizeof kTag, bytes.size(), what);
    const uint64_t length = sizes.word();
    if (length != bytes.size() - kFrameBytes) {
        frame.fail("it holds " + std::to_string(bytes.size()) + " bytes, not the " +
                   std::to_string(length + kFrameBytes) + " its header names (a file cut short?)");
    }
    const size_t begin = sizeof kTag + 8, end = begin + static_cast<size_t>(length);
    Decoder checksum(bytes, end, bytes.size(), what);
    if (checksum.word() != payloadHash(bytes.data() + begin, end - begin)) frame.fail("its checksum does not match");

    Decoder in(bytes, begin, end, what);
    RunState state;
    state.identity.resize(in.count(16));
    for (auto& [name, value] : state.identity) {
        name = in.text();
        value = in.text();
    }
    const int64_t epoch = in.integer();
    if (epoch < -1 || epoch > INT32_MAX) in.fail("the epoch " + std::to_string(epoch) + " is out of range");
    state.epoch = static_cast<int32_t>(epoch);
    const size_t members = in.count(16);
    state.population.reserve(members);
    for (size_t i = 0; i < members; ++i) state.population.push_back(in.network());
    state.scores.resize(in.count(8));
    for (std::vector<double>& row : state.scores) row = in.reals();
    state.strategyState = in.reals();
    state.randomStreams = in.text();
    state.best = in.network();
    state.rowOrder.resize(in.count(8));
    for (int32_t& index : state.rowOrder) {
        const int64_t value = in.integer();
        if (value < 0 || value >= static_cast<int64_t>(state.rowOrder.size())) in.fail("a row index is out of range");
        index = static_cast<int32_t>(value);
    }
    state.history.resize(in.count(8));
    for (std::vector<double>& row : state.history) row = in.reals();
    state.callerState = in.text();
    in.finish();
    return state;
}

void saveRunState(const RunState& state, const std::string& path) { saveRunStateBytes(encodeRunState(state), path); }

void saveRunStateBytes(const std::string& bytes, const std::string& path) {
    replaceFile(path, [&](FILE* file, const std::string& target) { writeBytes(file, bytes, target); });
}

RunState loadRunState(const std::string& path) {
    errno = 0;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) throw std::system_error(errno != 0 ? errno : EIO, std::generic_category(), "cannot open '" + path + "'");
    std::string bytes;
    char chunk[1 << 16];
    for (;;) {
        const size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
        bytes.append(chunk, got);
        if (got < sizeof chunk) break;
    }
    if (std::ferror(file.get())) throw std::system_error(EIO, std::generic_category(), "cannot read '" + path + "'");
    return decodeRunState(bytes, "backup '" + path + "'");
}

}  // namespace kestrin
