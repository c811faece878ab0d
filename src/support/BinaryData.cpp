#include "support/BinaryData.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tessel {

void BinaryDataWriter::writeInt32(int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes_.push_back(static_cast<uint8_t>(u >> shift));
}

void BinaryDataWriter::writeFloat(float value) {
    writeInt32(std::bit_cast<int32_t>(value));
}

void BinaryDataWriter::writeHeader(std::string_view signature, int32_t version) {
    for (std::size_t i = 0; i < 4; ++i)
        bytes_.push_back(static_cast<uint8_t>(i < signature.size() ? signature[i] : ' '));
    writeInt32(version);
}

void BinaryDataWriter::writeString(std::string_view text) {
    writeInt32(static_cast<int32_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void BinaryDataWriter::writeBytes(std::span<const uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

bool BinaryDataReader::take(std::size_t count, const uint8_t*& at) noexcept {
    if (failed_ || count > remaining()) {
        failed_ = true;
        return false;
    }
    at = bytes_.data() + position_;
    position_ += count;
    return true;
}

bool BinaryDataReader::readInt32(int32_t& value) noexcept {
    value = 0;
    const uint8_t* at = nullptr;
    if (!take(4, at)) return false;
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(at[i]) << (8 * i);
    value = static_cast<int32_t>(u);
    return true;
}

bool BinaryDataReader::readFloat(float& value) noexcept {
    int32_t bits = 0;
    const bool ok = readInt32(bits);
    value = ok ? std::bit_cast<float>(bits) : 0.0f;
    return ok;
}

bool BinaryDataReader::readHeader(std::string_view signature) noexcept {
    const uint8_t* at = nullptr;
    int32_t version = 0;
    if (!take(4, at) || !readInt32(version)) return false;
    version_ = version;
    for (std::size_t i = 0; i < 4; ++i) {
        const char expected = i < signature.size() ? signature[i] : ' ';
        if (static_cast<char>(at[i]) != expected) {
            failed_ = true;
            return false;
        }
    }
    return true;
}

bool BinaryDataReader::readAnyHeader(std::string& signature) {
    signature.clear();
    const uint8_t* at = nullptr;
    int32_t version = 0;
    if (!take(4, at) || !readInt32(version)) return false;
    signature.assign(reinterpret_cast<const char*>(at), 4);
    version_ = version;
    return true;
}

bool BinaryDataReader::readString(std::string& text) {
    text.clear();
    int32_t count = 0;
    if (!readInt32(count)) return false;
    if (count < 1) return true;
    const uint8_t* at = nullptr;
    // The count is checked against the bytes left before anything is allocated.
    if (!take(static_cast<std::size_t>(count), at)) return false;
    text.assign(reinterpret_cast<const char*>(at), static_cast<std::size_t>(count));
    return true;
}

BinaryFileReader::BinaryFileReader(const std::string& path, std::size_t maximumBytes) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error_ = "cannot read " + path + ": it is a folder";
        setFailed();
        return;
    }
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        error_ = "cannot open " + path;
        setFailed();
        return;
    }
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::size_t>(size) > maximumBytes) {
        error_ = size < 0 ? "cannot read " + path : path + " is too large";
        setFailed();
        return;
    }
    data_.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    if (size > 0 && !file.read(reinterpret_cast<char*>(data_.data()), size)) {
        error_ = "cannot read " + path;
        setFailed();
        return;
    }
    static_cast<BinaryDataReader&>(*this) = BinaryDataReader(data_);
}

BinaryResourceReader::BinaryResourceReader(std::span<const BinaryResource> table,
                                           std::string_view name) noexcept {
    const auto sameIgnoringCase = [](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            const auto lower = [](char c) {
                return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            };
            if (lower(a[i]) != lower(b[i])) return false;
        }
        return true;
    };
    for (const BinaryResource& resource : table) {
        if (sameIgnoringCase(resource.name, name)) {
            static_cast<BinaryDataReader&>(*this) = BinaryDataReader(resource.bytes);
            found_ = true;
            return;
        }
    }
    setFailed();
}

bool BinaryFileWriter::commit(const std::string& path) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t>& data = bytes();
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const int writeErrno = written == data.size() ? 0 : (errno != 0 ? errno : ENOSPC);
    const bool synced = writeErrno == 0 && ::fsync(fd) == 0;
    const int syncErrno = synced ? 0 : errno;
    ::close(fd);
    if (writeErrno != 0 || !synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = writeErrno != 0 ? writeErrno : (syncErrno != 0 ? syncErrno : errno);
        error_ = "cannot write " + path + ": " + std::strerror(e);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace tessel
