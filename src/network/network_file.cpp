// The '.kn' file: a header of three int32 (size, inputs, outputs), size float64
// biases, size int32 activation ids, then 16-byte connection records (from and
// to as int32, the weight as float64) up to the end of the file, one per set
// flag in row-major order. Everything little-endian, no padding, no count of
// records: it follows from the file length.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "network/atomic_file.h"
#include "network/file_error.h"
#include "network/network.h"
#include "network/network_bytes.h"
#include "network/random.h"

namespace kestrin {
namespace {

constexpr size_t kHeaderBytes = 12;
constexpr size_t kRecordBytes = 16;
// A multiple of every item size, so chunks never split an item.
constexpr size_t kChunkBytes = size_t{1} << 16;

void putInt32(unsigned char* out, int32_t value) {
    const auto bits = static_cast<uint32_t>(value);
    for (int b = 0; b < 4; ++b) out[b] = static_cast<unsigned char>(bits >> (8 * b));
}

void putDouble(unsigned char* out, double value) {
    const auto bits = std::bit_cast<uint64_t>(value);
    for (int b = 0; b < 8; ++b) out[b] = static_cast<unsigned char>(bits >> (8 * b));
}

int32_t getInt32(const unsigned char* in) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= uint32_t{in[b]} << (8 * b);
    return static_cast<int32_t>(bits);
}

double getDouble(const unsigned char* in) {
    uint64_t bits = 0;
    for (int b = 0; b < 8; ++b) bits |= uint64_t{in[b]} << (8 * b);
    return std::bit_cast<double>(bits);
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

[[noreturn]] void throwErrno(int error, const std::string& what) {
    // A stream can fail without errno (a short write on a full disk reports it
    // on the next call); EIO keeps the error an OSError with a code.
    throw std::system_error(error != 0 ? error : EIO, std::generic_category(), what);
}

// subject names what is damaged: a model file, or a network's bytes in memory.
[[noreturn]] void throwFormat(const std::string& subject, const std::string& defect) {
    throw FileFormatError("invalid " + subject + ": " + defect);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// ---- writing ----------------------------------------------------------------

// Encodes items into a buffer and hands it to the stream a chunk at a time.
class ChunkWriter {
public:
    ChunkWriter(FILE* file, const std::string& path) : file_(file), path_(path), buffer_(kChunkBytes) {}

    unsigned char* claim(size_t bytes) {
        if (used_ + bytes > buffer_.size()) flush();
        unsigned char* at = buffer_.data() + used_;
        used_ += bytes;
        return at;
    }

    void flush() {
        errno = 0;
        if (used_ > 0 && std::fwrite(buffer_.data(), 1, used_, file_) != used_) {
            throwErrno(errno, "cannot write " + quoted(path_));
        }
        used_ = 0;
    }

private:
    FILE* file_;
    const std::string& path_;
    std::vector<unsigned char> buffer_;
    size_t used_ = 0;
};

// "dir/" for "dir/name", "" for a bare name.
std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A name in directory for a file that becomes the target once complete.
std::string temporaryName(const std::string& directory) {
    char name[64];
    std::snprintf(name, sizeof name, ".kestrin-%ld-%08x.tmp", static_cast<long>(getpid()),
                  static_cast<unsigned>(unseededDeviceValue()));
    return directory + name;
}

// The file a chain of symbolic links ends at, or path itself when it is no
// link. Saving replaces that file and keeps the links; a dangling link gets its
// target created.
std::string linkTarget(const std::string& path) {
    std::string current = path;
    std::vector<char> buffer(4096);
    for (int hop = 0; hop < 40; ++hop) {  // the kernel's own limit
        struct stat info {};
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        const ssize_t length = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (length < 0) throwErrno(errno, "cannot read the link " + quoted(current));
        if (static_cast<size_t>(length) == buffer.size()) throwErrno(ENAMETOOLONG, "cannot write " + quoted(path));
        const std::string target(buffer.data(), static_cast<size_t>(length));
        current = target.front() == '/' ? target : directoryOf(current) + target;
    }
    throwErrno(ELOOP, "cannot write " + quoted(path));
}

// A new file beside the target, removed again unless commit() renames it over
// the target. Creating it exclusively keeps two concurrent writers apart.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : target_(target) {
        const std::string directory = directoryOf(target);
        for (int attempt = 0; attempt < 64; ++attempt) {
            path_ = temporaryName(directory);
            errno = 0;
            file_.reset(std::fopen(path_.c_str(), "wbx"));
            if (file_) return;
            if (errno != EEXIST) break;
        }
        throwErrno(errno, "cannot create a file beside " + quoted(target));
    }

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    ~TemporaryFile() {
        if (!path_.empty()) {
            file_.reset();
            ::unlink(path_.c_str());
        }
    }

    FILE* get() const { return file_.get(); }

    // Makes the written bytes durable, then replaces the target in one step.
    void commit() {
        errno = 0;
        if (std::fflush(file_.get()) != 0 || std::ferror(file_.get())) {
            throwErrno(errno, "cannot write " + quoted(target_));
        }
        if (::fsync(fileno(file_.get())) != 0) throwErrno(errno, "cannot write " + quoted(target_));
        if (std::fclose(file_.release()) != 0) throwErrno(errno, "cannot write " + quoted(target_));
        if (std::rename(path_.c_str(), target_.c_str()) != 0) {
            throwErrno(errno, "cannot replace " + quoted(target_));
        }
        path_.clear();
    }

private:
    const std::string& target_;
    std::string path_;
    File file_;
};

// Grows a string by the bytes claimed: the encoding in memory.
class BytesWriter {
public:
    explicit BytesWriter(std::string& bytes) : bytes_(bytes) {}

    unsigned char* claim(size_t bytes) {
        const size_t at = bytes_.size();
        bytes_.resize(at + bytes);
        return reinterpret_cast<unsigned char*>(bytes_.data()) + at;
    }

private:
    std::string& bytes_;
};

// Header, biases, activation ids, then one record per set flag, row-major.
template <typename Out>
void encodeContents(const Network& network, Out& out) {
    putInt32(out.claim(4), network.size);
    putInt32(out.claim(4), network.inputs);
    putInt32(out.claim(4), network.outputs);
    if (network.size > 0) {
        for (int32_t i = 0; i < network.size; ++i) putDouble(out.claim(8), network.biases[i]);
        for (int32_t i = 0; i < network.size; ++i) putInt32(out.claim(4), network.activations[i]);
        // Every set flag, whatever its direction: the file mirrors the matrix.
        for (int32_t from = 0; from < network.size; ++from) {
            const double* row = network.weights[from];
            network.connections.forEachInRow(from, 0, [&](int32_t to) {
                unsigned char* record = out.claim(kRecordBytes);
                putInt32(record, from);
                putInt32(record + 4, to);
                putDouble(record + 8, row[to]);
            });
        }
    }
}

void writeContents(const Network& network, FILE* file, const std::string& path) {
    ChunkWriter out(file, path);
    encodeContents(network, out);
    out.flush();
}

// ---- reading ----------------------------------------------------------------

// Reads a file, or bytes in memory (then file_ is null).
class ChunkReader {
public:
    ChunkReader(FILE* file, const std::string& path) : file_(file), path_(&path) {}
    ChunkReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

    // Reads up to bytes bytes into out; fewer only at the end of the file.
    size_t read(unsigned char* out, size_t bytes) {
        if (file_ == nullptr) {
            const size_t got = std::min(bytes, size_ - static_cast<size_t>(offset_));
            std::copy_n(data_ + offset_, got, out);
            offset_ += static_cast<int64_t>(got);
            return got;
        }
        errno = 0;
        const size_t got = std::fread(out, 1, bytes, file_);
        if (got < bytes && std::ferror(file_)) throwErrno(errno, "cannot read " + quoted(*path_));
        offset_ += got;
        return got;
    }

    // Bytes read so far, which is the offset of the next byte.
    int64_t offset() const { return offset_; }

private:
    FILE* file_ = nullptr;
    const std::string* path_ = nullptr;
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
    int64_t offset_ = 0;
};

// Reads count items of itemBytes bytes, decoding each with decode(bytes).
// Grows with the bytes actually present, not with what the header claims, so
// a damaged count cannot make it allocate more than the file holds.
template <typename T, typename Decode>
std::vector<T> readItems(ChunkReader& reader, std::vector<unsigned char>& chunk, int32_t count, size_t itemBytes,
                         Decode decode, const std::string& subject, int64_t bodyEnd) {
    std::vector<T> items;
    size_t remaining = static_cast<size_t>(count) * itemBytes;
    while (remaining > 0) {
        const size_t want = std::min(remaining, chunk.size());
        const size_t got = reader.read(chunk.data(), want);
        if (got < want) {
            throwFormat(subject, "it ends after " + std::to_string(reader.offset()) + " bytes, before the end of its " +
                                  std::to_string(count) + " biases and activation ids at byte " +
                                  std::to_string(bodyEnd));
        }
        for (size_t at = 0; at < got; at += itemBytes) items.push_back(decode(chunk.data() + at));
        remaining -= got;
    }
    return items;
}

// Linux: the file is written without a name in the target's directory and
// named only once complete and durable, so a save killed midway leaves nothing
// behind. False, with nothing left over, where the system cannot make or name
// such a file; the named temporary file then does the work and reports errors.
bool replaceThroughUnnamedFile(const WriteContents& write, const std::string& target, std::optional<mode_t> mode) {
#ifdef O_TMPFILE
    const std::string directory = directoryOf(target);
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    errno = 0;
    File file(::fdopen(fd, "wb"));
    if (!file) {
        const int error = errno;
        ::close(fd);
        throwErrno(error, "cannot write " + quoted(target));
    }
    if (mode) ::fchmod(fd, *mode);
    write(file.get(), target);
    errno = 0;
    if (std::fflush(file.get()) != 0 || std::ferror(file.get())) throwErrno(errno, "cannot write " + quoted(target));
    if (::fsync(fd) != 0) throwErrno(errno, "cannot write " + quoted(target));

    // A name of its own first: linkat cannot replace an existing target.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    std::string name;
    bool linked = false;
    for (int attempt = 0; attempt < 64 && !linked; ++attempt) {
        name = temporaryName(directory);
        // Without /proc, only a privileged process may link by descriptor.
        linked = ::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                 (errno != EEXIST && ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0);
        if (!linked && errno != EEXIST) return false;
    }
    if (!linked) return false;
    const auto fail = [&](const char* what) {
        const int error = errno;
        ::unlink(name.c_str());
        throwErrno(error, what + quoted(target));
    };
    errno = 0;
    if (std::fclose(file.release()) != 0) fail("cannot write ");
    if (std::rename(name.c_str(), target.c_str()) != 0) fail("cannot replace ");
    return true;
#else
    (void)write, (void)target, (void)mode;
    return false;
#endif
}
Network readNetwork(ChunkReader& reader, const std::string& subject);

}  // namespace

void replaceFile(const std::string& requested, const WriteContents& write) {
    // Refuse what opening the target for writing would refuse, before any work:
    // no name, a directory, or an existing file this process may not write.
    if (requested.empty()) throwErrno(ENOENT, "cannot write ''");
    const std::string path = linkTarget(requested);
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) throwErrno(EISDIR, "cannot write " + quoted(path));
    if (exists && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        throwErrno(errno, "cannot write " + quoted(path));
    }

    if (exists && !S_ISREG(target.st_mode)) {
        // A device or a pipe is written in place: renaming over it would replace it.
        errno = 0;
        File file(std::fopen(path.c_str(), "wb"));
        if (!file) throwErrno(errno, "cannot open " + quoted(path));
        write(file.get(), path);
        errno = 0;
        if (std::fclose(file.release()) != 0) throwErrno(errno, "cannot write " + quoted(path));
        return;
    }

    // The replacement keeps the permissions of the file it replaces.
    const std::optional<mode_t> mode = exists ? std::optional<mode_t>(target.st_mode & 07777) : std::nullopt;
    if (replaceThroughUnnamedFile(write, path, mode)) return;

    TemporaryFile temporary(path);
    if (mode) ::fchmod(fileno(temporary.get()), *mode);
    write(temporary.get(), path);
    temporary.commit();
}

void Network::save(const std::string& path) const {
    replaceFile(path, [this](FILE* file, const std::string& target) { writeContents(*this, file, target); });
}

void writeBytes(FILE* file, const std::string& bytes, const std::string& path) {
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        throwErrno(errno, "cannot write " + quoted(path));
    }
}

Network Network::load(const std::string& path) {
    errno = 0;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throwErrno(errno, "cannot open " + quoted(path));
    ChunkReader reader(file.get(), path);
    return readNetwork(reader, "model file " + quoted(path));
}

std::string encodeNetwork(const Network& network) {
    std::string bytes;
    bytes.reserve(kHeaderBytes + 12 * static_cast<size_t>(network.size) +
                  kRecordBytes * static_cast<size_t>(network.connections.count()));
    BytesWriter out(bytes);
    encodeContents(network, out);
    return bytes;
}

Network decodeNetwork(const unsigned char* data, size_t size, const std::string& what) {
    ChunkReader reader(data, size);
    return readNetwork(reader, what);
}

namespace {

// The reader behind load and decodeNetwork; every defect is named after subject.
Network readNetwork(ChunkReader& reader, const std::string& subject) {
    std::vector<unsigned char> chunk(kChunkBytes);

    const size_t headerBytes = reader.read(chunk.data(), kHeaderBytes);
    if (headerBytes < kHeaderBytes) {
        throwFormat(subject, "it has " + std::to_string(headerBytes) + " bytes, too few for the 12-byte header");
    }
    const int32_t n = getInt32(chunk.data());
    const int32_t inputCount = getInt32(chunk.data() + 4);
    const int32_t outputCount = getInt32(chunk.data() + 8);
    const std::string counts = "size " + std::to_string(n) + ", inputs " + std::to_string(inputCount) +
                               ", outputs " + std::to_string(outputCount);
    if (n < 0 || inputCount < 0 || outputCount < 0) {
        throwFormat(subject, "the header has a negative count (" + counts + ")");
    }
    if (int64_t{inputCount} + outputCount > n) {
        throwFormat(subject, "the header's size is smaller than inputs + outputs (" + counts + ")");
    }

    const int64_t bodyEnd = static_cast<int64_t>(kHeaderBytes) + 12 * int64_t{n};
    std::vector<double> biasValues = readItems<double>(reader, chunk, n, 8, getDouble, subject, bodyEnd);
    std::vector<int32_t> activationIds = readItems<int32_t>(reader, chunk, n, 4, getInt32, subject, bodyEnd);

    Network network(inputCount, outputCount);
    network.setSize(n);
    network.biases = std::move(biasValues);
    network.activations = std::move(activationIds);

    for (;;) {
        const int64_t chunkStart = reader.offset();
        const size_t got = reader.read(chunk.data(), chunk.size());
        const size_t whole = got - got % kRecordBytes;
        for (size_t at = 0; at < whole; at += kRecordBytes) {
            const int32_t from = getInt32(chunk.data() + at);
            const int32_t to = getInt32(chunk.data() + at + 4);
            if (from < 0 || from >= n || to < 0 || to >= n) {
                throwFormat(subject, "the connection record at byte " + std::to_string(chunkStart + int64_t(at)) +
                                      " joins node " + std::to_string(from) + " to node " + std::to_string(to) +
                                      (n > 0 ? ", outside 0.." + std::to_string(n - 1)
                                             : ", but the network has no nodes"));
            }
            network.connections.set(from, to);
            network.weights[from][to] = getDouble(chunk.data() + at + 8);
        }
        if (got < chunk.size()) {
            if (whole < got) {
                throwFormat(subject, "it ends in a partial connection record of " + std::to_string(got - whole) +
                                      " bytes at byte " + std::to_string(chunkStart + int64_t(whole)));
            }
            return network;
        }
    }
}

}  // namespace
}  // namespace kestrin
