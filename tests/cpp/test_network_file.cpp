// The '.kn' writer and reader: exact bytes, round trips, and damaged files that
// must end in an exception rather than a crash or a write outside the network.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "network/file_error.h"
#include "network/network.h"
#include "test_support.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

class NetworkFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kestrin-file-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Names in the directory, to see that no temporary file is left behind.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        return names;
    }

    fs::path dir_;
};

Bytes readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Overwrites in place and cuts to length: truncating to zero first makes some
// file systems flush on close, which costs milliseconds per fuzzed file.
void writeBytes(const std::string& path, const Bytes& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
    close(fd);
}

int32_t int32At(const Bytes& bytes, size_t at) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= uint32_t{bytes[at + b]} << (8 * b);
    return static_cast<int32_t>(bits);
}

double doubleAt(const Bytes& bytes, size_t at) {
    uint64_t bits = 0;
    for (int b = 0; b < 8; ++b) bits |= uint64_t{bytes[at + b]} << (8 * b);
    return std::bit_cast<double>(bits);
}

void putInt32(Bytes& bytes, size_t at, int32_t value) {
    for (int b = 0; b < 4; ++b) bytes[at + b] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * b));
}

Bytes header(int32_t size, int32_t inputs, int32_t outputs) {
    Bytes bytes(12);
    putInt32(bytes, 0, size);
    putInt32(bytes, 4, inputs);
    putInt32(bytes, 8, outputs);
    return bytes;
}

Network hiddenNetwork() {
    Network network = denseNetwork(2, 1, 5);
    network.activations[3] = 4;  // an id without a name survives the file too
    return network;
}

TEST_F(NetworkFile, SmallestTrainedNetworkIsEightyBytes) {
    Network network(2, 1);
    network.initializeWeights();
    network.save(path("net.kn"));
    const Bytes bytes = readBytes(path("net.kn"));
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(int32At(bytes, 0), 3);
    EXPECT_EQ(int32At(bytes, 4), 2);
    EXPECT_EQ(int32At(bytes, 8), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(doubleAt(bytes, 12 + 8 * i), network.biases[i]);
        EXPECT_EQ(int32At(bytes, 36 + 4 * i), network.activations[i]);
    }
    EXPECT_EQ(int32At(bytes, 48), 0);
    EXPECT_EQ(int32At(bytes, 52), 2);
    EXPECT_EQ(doubleAt(bytes, 56), network.weights[0][2]);
    EXPECT_EQ(int32At(bytes, 64), 1);
    EXPECT_EQ(int32At(bytes, 68), 2);
    EXPECT_EQ(doubleAt(bytes, 72), network.weights[1][2]);
    EXPECT_EQ(entries(), std::vector<std::string>{"net.kn"});
}

TEST_F(NetworkFile, EmptyNetworkIsTheHeaderAlone) {
    Network empty(0, 0);
    empty.save(path("empty"));
    EXPECT_EQ(readBytes(path("empty")), header(0, 0, 0));
    const Network loaded = Network::load(path("empty"));
    EXPECT_TRUE(loaded.sameGenes(empty));
}

TEST_F(NetworkFile, RecordsAreRowMajorWhateverTheInsertionOrder) {
    Network network(1, 1);
    network.setSize(70);  // rows span two flag words
    const std::vector<std::pair<int32_t, int32_t>> added = {{65, 69}, {0, 66}, {3, 1}, {0, 2}, {3, 3}, {0, 64}};
    for (const auto& [from, to] : added) network.connect(from, to, from * 100.0 + to);
    network.save(path("order.kn"));
    const Bytes bytes = readBytes(path("order.kn"));
    const size_t records = 12 + 12 * 70;
    ASSERT_EQ(bytes.size(), records + 16 * added.size());
    const std::vector<std::pair<int32_t, int32_t>> expected = {{0, 2}, {0, 64}, {0, 66}, {3, 1}, {3, 3}, {65, 69}};
    for (size_t r = 0; r < expected.size(); ++r) {
        const size_t at = records + 16 * r;
        EXPECT_EQ(int32At(bytes, at), expected[r].first);
        EXPECT_EQ(int32At(bytes, at + 4), expected[r].second);
        EXPECT_EQ(doubleAt(bytes, at + 8), expected[r].first * 100.0 + expected[r].second);
    }
    // Backward and self connections are kept as written.
    EXPECT_TRUE(Network::load(path("order.kn")).sameGenes(network));
}

TEST_F(NetworkFile, SaveLoadSaveIsByteIdentical) {
    const Network network = hiddenNetwork();
    network.save(path("a.kn"));
    Network loaded = Network::load(path("a.kn"));
    EXPECT_TRUE(loaded.sameGenes(network));
    loaded.save(path("b.kn"));
    EXPECT_EQ(readBytes(path("a.kn")), readBytes(path("b.kn")));
}

TEST_F(NetworkFile, SavingReplacesTheWholeFileAndKeepsItsPermissions) {
    hiddenNetwork().save(path("net.kn"));
    ASSERT_EQ(chmod(path("net.kn").c_str(), 0640), 0);
    Network small(1, 1);
    small.save(path("net.kn"));
    EXPECT_EQ(readBytes(path("net.kn")).size(), 12u + 24u);
    struct stat info {};
    ASSERT_EQ(stat(path("net.kn").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(entries(), std::vector<std::string>{"net.kn"});
}

TEST_F(NetworkFile, PipesAreWrittenInPlaceNotReplaced) {
    const Network network = hiddenNetwork();
    network.save(path("regular.kn"));
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0644), 0);
    Bytes received;
    std::thread reader([&] { received = readBytes(path("pipe")); });
    network.save(path("pipe"));
    reader.join();
    EXPECT_EQ(received, readBytes(path("regular.kn")));
    struct stat info {};
    ASSERT_EQ(stat(path("pipe").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

void expectErrno(const std::function<void()>& call, int error) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), error) << e.what();
    }
}

TEST_F(NetworkFile, SavingThroughLinksReplacesTheFileTheyNameAndKeepsTheLinks) {
    // latest.kn -> step -> runs/run-42.kn, relative and dangling at first.
    fs::create_directory(path("runs"));
    fs::create_symlink("runs/run-42.kn", path("step"));
    fs::create_symlink("step", path("latest.kn"));
    const Network first = hiddenNetwork();
    first.save(path("latest.kn"));
    EXPECT_TRUE(Network::load(path("runs/run-42.kn")).sameGenes(first));
    const Network second(1, 1);
    second.save(path("latest.kn"));
    EXPECT_TRUE(Network::load(path("runs/run-42.kn")).sameGenes(second));
    EXPECT_TRUE(fs::is_symlink(path("latest.kn")) && fs::is_symlink(path("step")));
    EXPECT_EQ(std::distance(fs::directory_iterator(path("runs")), fs::directory_iterator()), 1);
    EXPECT_EQ(entries().size(), 3u);

    fs::create_symlink("loop", path("loop"));
    expectErrno([&] { first.save(path("loop")); }, ELOOP);
}

TEST_F(NetworkFile, FailedSaveLeavesTheTargetAndNoLitterAndErrorsKeepErrno) {
    const Network network = hiddenNetwork();
    writeBytes(path("file"), {1, 2, 3});
    // A path whose parent is a file cannot be created, even by root.
    expectErrno([&] { network.save(path("file/net.kn")); }, ENOTDIR);
    fs::create_directory(path("sub"));
    expectErrno([&] { network.save(path("sub")); }, EISDIR);
    expectErrno([&] { network.save(path("missing/net.kn")); }, ENOENT);
    expectErrno([&] { network.save(""); }, ENOENT);
    EXPECT_EQ(readBytes(path("file")), (Bytes{1, 2, 3}));
    EXPECT_TRUE(fs::is_empty(path("sub")));
    EXPECT_EQ(entries().size(), 2u);
    expectErrno([&] { Network::load(path("absent.kn")); }, ENOENT);
    expectErrno([&] { Network::load(dir_.string()); }, EISDIR);
}

TEST_F(NetworkFile, ReadOnlyPlacesAreRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const Network network = hiddenNetwork();
    network.save(path("locked.kn"));
    const Bytes before = readBytes(path("locked.kn"));
    ASSERT_EQ(chmod(path("locked.kn").c_str(), 0444), 0);
    expectErrno([&] { Network(1, 1).save(path("locked.kn")); }, EACCES);
    EXPECT_EQ(readBytes(path("locked.kn")), before);

    fs::create_directory(path("ro"));
    ASSERT_EQ(chmod(path("ro").c_str(), 0555), 0);
    expectErrno([&] { network.save(path("ro/net.kn")); }, EACCES);
    ASSERT_EQ(chmod(path("ro").c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_empty(path("ro")));
}

// Loads bytes written to a file; returns the format error's text, or "" when a
// network came back (which must then respect its own invariants).
std::string loadOutcome(const std::string& file, const Bytes& bytes) {
    writeBytes(file, bytes);
    try {
        expectConsistent(Network::load(file));
        return "";
    } catch (const FileFormatError& e) {
        return e.what();
    }
}

TEST_F(NetworkFile, EachFormatDefectIsNamed) {
    const std::string file = path("bad.kn");
    const auto defect = [&](const Bytes& bytes, const std::string& words) {
        const std::string message = loadOutcome(file, bytes);
        EXPECT_NE(message.find("'" + file + "'"), std::string::npos) << message;
        EXPECT_NE(message.find(words), std::string::npos) << message;
    };
    defect({}, "0 bytes, too few for the 12-byte header");
    defect({3, 0, 0, 0, 2, 0, 0}, "7 bytes");
    defect(header(-1, 0, 0), "negative count");
    defect(header(3, -2, 1), "negative count");
    defect(header(3, 2, 2), "smaller than inputs + outputs");
    defect(header(INT32_MAX, INT32_MAX, INT32_MAX), "smaller than inputs + outputs");
    // A huge claimed size on a short file is a short file, not an allocation.
    defect(header(INT32_MAX, 1, 1), "before the end of its 2147483647 biases");

    hiddenNetwork().save(path("good.kn"));
    const Bytes good = readBytes(path("good.kn"));
    const size_t records = 12 + 12 * 5;
    defect(Bytes(good.begin(), good.begin() + 12 + 8 * 5 + 3), "before the end of its 5 biases");

    Bytes outside = good;
    putInt32(outside, records + 16 * 2 + 4, 5);
    defect(outside, "record at byte " + std::to_string(records + 32) + " joins node 0 to node 5, outside 0..4");
    putInt32(outside, records + 16 * 2 + 4, 2);
    putInt32(outside, records, -1);
    defect(outside, "joins node -1");

    Bytes tail = good;
    tail.insert(tail.end(), {9, 9, 9});
    defect(tail, "partial connection record of 3 bytes at byte " + std::to_string(good.size()));

    Bytes noNodes = header(0, 0, 0);
    noNodes.resize(12 + 16);
    defect(noNodes, "the network has no nodes");
}

TEST_F(NetworkFile, TruncationsEndInANetworkOnlyAtRecordBoundaries) {
    hiddenNetwork().save(path("good.kn"));
    const Bytes good = readBytes(path("good.kn"));
    const size_t records = 12 + 12 * 5;
    for (size_t length = 0; length <= good.size(); ++length) {
        const std::string message = loadOutcome(path("cut.kn"), Bytes(good.begin(), good.begin() + length));
        const bool wholeRecords = length >= records && (length - records) % 16 == 0;
        EXPECT_EQ(message.empty(), wholeRecords) << "length " << length << ": " << message;
    }
}

TEST_F(NetworkFile, RandomCorruptionNeverCrashes) {
    denseNetwork(3, 2, 9).save(path("good.kn"));
    const Bytes good = readBytes(path("good.kn"));
    std::mt19937 engine(20261208);
    int loaded = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        Bytes bytes = good;
        const int edits = 1 + static_cast<int>(engine() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (engine() % 4) {
                case 0: bytes[engine() % bytes.size()] = static_cast<unsigned char>(engine()); break;
                case 1: bytes[engine() % bytes.size()] ^= static_cast<unsigned char>(1u << (engine() % 8)); break;
                case 2: bytes.resize(engine() % (bytes.size() + 1)); break;
                default: bytes.resize(bytes.size() + engine() % 40, static_cast<unsigned char>(engine())); break;
            }
            if (bytes.empty()) break;
        }
        loaded += loadOutcome(path("fuzz.kn"), bytes).empty();
    }
    // Most weight and bias flips still make a valid file; both outcomes occur.
    EXPECT_GT(loaded, 100);
    EXPECT_LT(loaded, 1900);
}

}  // namespace
}  // namespace kestrin
