// The '.kn' encoding in memory must be the file's bytes, and its reader must
// refuse exactly what the file reader refuses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "network/file_error.h"
#include "network/network.h"
#include "network/network_bytes.h"
#include "test_support.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;

std::string savedBytes(const Network& network) {
    const fs::path path = fs::temp_directory_path() / ("kestrin-bytes-" + std::to_string(getpid()) + ".kn");
    network.save(path.string());
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(path);
    return bytes;
}

Network decode(const std::string& bytes) {
    return decodeNetwork(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), "network in a test");
}

TEST(NetworkBytes, EncodingIsTheFileAndDecodesToTheSameGenes) {
    std::mt19937 engine(20261209);
    for (const Network& network : {Network(), denseNetwork(2, 1, 3), randomNetwork(engine, 3, 2, 40, 0.3)}) {
        const std::string bytes = encodeNetwork(network);
        EXPECT_EQ(bytes, savedBytes(network));
        const Network back = decode(bytes);
        expectConsistent(back);
        EXPECT_TRUE(back.sameGenes(network));
        EXPECT_EQ(encodeNetwork(back), bytes);
    }
}

TEST(NetworkBytes, DamagedBytesAreRefusedLikeDamagedFiles) {
    const std::string good = encodeNetwork(denseNetwork(2, 1, 5));
    const size_t records = 12 + 12 * 5;
    for (size_t length = 0; length <= good.size(); ++length) {
        const bool wholeRecords = length >= records && (length - records) % 16 == 0;
        try {
            expectConsistent(decode(good.substr(0, length)));
            EXPECT_TRUE(wholeRecords) << "length " << length;
        } catch (const FileFormatError& e) {
            EXPECT_FALSE(wholeRecords) << "length " << length << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("invalid network in a test: ", 0), 0u) << e.what();
        }
    }
    std::string outside = good;
    outside[records + 4] = 9;  // the first record's target
    EXPECT_THROW(decode(outside), FileFormatError);
}

}  // namespace
}  // namespace kestrin
