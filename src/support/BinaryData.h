#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

/// Writes the little-endian binary form every saved block of the plug-in uses: 32-bit integers
/// (two's complement), floats as the bits of their IEEE single through the integer slot, headers
/// (four signature bytes and an int32 version) and strings (an int32 byte count, then the bytes,
/// no terminator). The same bytes on every platform. Appends to its own buffer; never fails.
class BinaryDataWriter {
public:
    void writeInt32(int32_t value);
    void writeFloat(float value);
    /// `signature` must be four characters; a shorter one is padded with blanks.
    void writeHeader(std::string_view signature, int32_t version);
    void writeString(std::string_view text);
    void writeBytes(std::span<const uint8_t> bytes);

    const std::vector<uint8_t>& bytes() const noexcept { return bytes_; }
    std::vector<uint8_t> take() noexcept { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

/// Reads what BinaryDataWriter writes, from bytes it does not own. Never throws: a read past the
/// end, or a string whose count exceeds the bytes left, sets the fail state, returns false and
/// leaves the target at a neutral value (0, 0.0, empty); every later read fails too, so a block
/// reader can read all its fields and ask `good()` once at the end. A string count below 1 reads
/// as the empty string. Nothing is allocated beyond the bytes that are really there.
class BinaryDataReader {
public:
    BinaryDataReader() = default;
    explicit BinaryDataReader(std::span<const uint8_t> bytes) noexcept : bytes_(bytes) {}

    bool readInt32(int32_t& value) noexcept;
    bool readFloat(float& value) noexcept;
    /// Reads a header; true when its four signature bytes equal `signature` (the version is not
    /// judged: `version()` hands it to the caller). A different signature fails the stream.
    bool readHeader(std::string_view signature) noexcept;
    /// Reads a header whatever its signature, handing the four signature bytes to the caller;
    /// fails only on a short read.
    bool readAnyHeader(std::string& signature);
    bool readString(std::string& text);

    bool good() const noexcept { return !failed_; }
    bool failed() const noexcept { return failed_; }
    void setFailed() noexcept { failed_ = true; }
    /// The version of the last header read (0 before any).
    int32_t version() const noexcept { return version_; }
    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return bytes_.size() - position_; }
    /// Every byte the reader reads from, whatever has been read.
    std::span<const uint8_t> data() const noexcept { return bytes_; }
    /// Back to the first byte with the fail state cleared.
    void rewind() noexcept {
        position_ = 0;
        version_ = 0;
        failed_ = false;
    }

private:
    bool take(std::size_t count, const uint8_t*& at) noexcept;

    std::span<const uint8_t> bytes_;
    std::size_t position_ = 0;
    int32_t version_ = 0;
    bool failed_ = false;
};

/// A whole file read into memory, then read as a BinaryDataReader. Files larger than the
/// given limit are refused, so garbage never makes it allocate without bound.
class BinaryFileReader : public BinaryDataReader {
public:
    static constexpr std::size_t kMaximumBytes = std::size_t{64} << 20;
    /// Opens and reads `path`; on failure the reader is failed and `error()` says why.
    explicit BinaryFileReader(const std::string& path, std::size_t maximumBytes = kMaximumBytes);
    const std::string& error() const noexcept { return error_; }

private:
    std::vector<uint8_t> data_;
    std::string error_;
};

/// One named block of data compiled into the program (preset maps and the like): our stand-in
/// for resources carried by the plug-in's module.
struct BinaryResource {
    std::string_view name;
    std::span<const uint8_t> bytes;
};

/// Reads a resource looked up by name, without regard to ASCII case, in a table of the
/// program's resources. A name the table does not hold gives a failed reader.
class BinaryResourceReader : public BinaryDataReader {
public:
    BinaryResourceReader(std::span<const BinaryResource> table, std::string_view name) noexcept;
    bool found() const noexcept { return found_; }

private:
    bool found_ = false;
};

/// Collects a file's bytes and puts them in place only when complete: `commit` writes a
/// temporary file beside the target, flushes it to the disk and renames it over the target, so
/// a full disk, an error or a crash never leaves a damaged file where a good one was.
class BinaryFileWriter : public BinaryDataWriter {
public:
    /// True when the file is in place; otherwise `error()` says why and the target is untouched.
    bool commit(const std::string& path);
    const std::string& error() const noexcept { return error_; }

private:
    std::string error_;
};

}  // namespace tessel
