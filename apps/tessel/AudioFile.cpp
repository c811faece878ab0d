#include "AudioFile.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace tessel::cli {

namespace {

// Frames per libsndfile call when a whole file is read or written.
constexpr std::size_t kChunkFrames = 16384;

}  // namespace

struct SoundFileHandle {
    SNDFILE* handle = nullptr;
    ~SoundFileHandle() {
        if (handle != nullptr) sf_close(handle);
    }
};

bool AudioFormat::fromName(const std::string& name, const AudioFormat& like, AudioFormat& format) {
    int major = 0;
    if (name == "wav")
        major = SF_FORMAT_WAV;
    else if (name == "flac")
        major = SF_FORMAT_FLAC;
    else if (name == "aiff")
        major = SF_FORMAT_AIFF;
    else if (name == "ogg")
        major = SF_FORMAT_OGG;
    else
        return false;
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = 48000;
    // The input's sample type when the container takes it, else the container's usual one.
    const int subtypes[] = {like.code & SF_FORMAT_SUBMASK,
                            major == SF_FORMAT_OGG ? SF_FORMAT_VORBIS : SF_FORMAT_PCM_24,
                            SF_FORMAT_PCM_16};
    for (const int subtype : subtypes) {
        info.format = major | subtype;
        if (subtype != 0 && sf_format_check(&info)) {
            format.code = info.format;
            return true;
        }
    }
    return false;
}

std::string AudioFormat::describe() const {
    SF_FORMAT_INFO major{};
    major.format = code & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO minor{};
    minor.format = code & SF_FORMAT_SUBMASK;
    const bool known = sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 &&
                       sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof minor) == 0;
    return known ? std::string(major.name) + ", " + minor.name : "unknown format";
}

AudioFileReader::AudioFileReader(const std::string& path) : path_(path) {
    SF_INFO info{};
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error_ = "cannot read " + path + ": it is a folder";
        return;
    }
    SNDFILE* handle = sf_open(path.c_str(), SFM_READ, &info);
    if (handle == nullptr) {
        error_ = "cannot read " + path + ": " + sf_strerror(nullptr);
        return;
    }
    file_ = std::make_unique<SoundFileHandle>();
    file_->handle = handle;
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        error_ = path + ": unsupported audio";
        return;
    }
    channels_ = info.channels;
    sampleRateHz_ = info.samplerate;
    frames_ = static_cast<std::size_t>(info.frames);
    format_.code = info.format;
}

AudioFileReader::~AudioFileReader() = default;

std::size_t AudioFileReader::read(std::vector<std::vector<float>>& channels,
                                  std::size_t maximumFrames) {
    const auto count = static_cast<std::size_t>(channels_);
    channels.resize(count);
    const std::size_t wanted = good() ? std::min(maximumFrames, frames_ - read_) : 0;
    interleaved_.resize(wanted * count);
    const sf_count_t got = wanted == 0 ? 0
                                       : sf_readf_float(file_->handle, interleaved_.data(),
                                                        static_cast<sf_count_t>(wanted));
    const auto n = static_cast<std::size_t>(std::max<sf_count_t>(got, 0));
    for (std::size_t c = 0; c < count; ++c) {
        channels[c].resize(n);
        float* to = channels[c].data();
        for (std::size_t i = 0; i < n; ++i)
            to[i] = interleaved_[i * count + c];
    }
    read_ += n;
    if (n < wanted) error_ = "cannot read " + path_ + ": the file ends early";
    return n;
}

AudioFileWriter::AudioFileWriter(const std::string& path, int channels, double sampleRateHz,
                                 const AudioFormat& format)
    : path_(path), temporary_(path + ".tmp-" + std::to_string(::getpid())), channels_(channels) {
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = static_cast<int>(sampleRateHz);
    info.format = format.code;
    if (!sf_format_check(&info)) {
        error_ = "cannot write " + path + ": " + format.describe() + " does not take " +
                 std::to_string(channels) + " channels at " + std::to_string(info.samplerate) +
                 " Hz";
        return;
    }
    SNDFILE* handle = sf_open(temporary_.c_str(), SFM_WRITE, &info);
    if (handle == nullptr) {
        error_ = "cannot write " + path + ": " + sf_strerror(nullptr);
        return;
    }
    file_ = std::make_unique<SoundFileHandle>();
    file_->handle = handle;
    // Integer and compressed formats take full scale at most; the samples are clipped here, in
    // the interleaving loop, which costs less than libsndfile's own clipping.
    const int subtype = format.code & SF_FORMAT_SUBMASK;
    clip_ = subtype != SF_FORMAT_FLOAT && subtype != SF_FORMAT_DOUBLE;
}

AudioFileWriter::~AudioFileWriter() {
    if (file_ != nullptr) {
        file_.reset();
        std::remove(temporary_.c_str());
    }
}

bool AudioFileWriter::write(const std::vector<std::vector<float>>& channels, std::size_t frames) {
    if (!good()) return false;
    const auto count = static_cast<std::size_t>(channels_);
    interleaved_.resize(frames * count);
    for (std::size_t c = 0; c < count; ++c) {
        const float* from = channels[std::min(c, channels.size() - 1)].data();
        float* to = interleaved_.data() + c;
        if (clip_) {
            for (std::size_t i = 0; i < frames; ++i)
                to[i * count] = std::clamp(from[i], -1.0f, 1.0f);
        } else {
            for (std::size_t i = 0; i < frames; ++i)
                to[i * count] = from[i];
        }
    }
    const auto n = static_cast<sf_count_t>(frames);
    if (sf_writef_float(file_->handle, interleaved_.data(), n) != n) {
        error_ = "cannot write " + path_ + ": " + sf_strerror(file_->handle);
        return false;
    }
    return true;
}

bool AudioFileWriter::commit() {
    if (!good()) return false;
    const int closed = sf_close(file_->handle);
    file_->handle = nullptr;
    if (closed != 0 || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        error_ = "cannot write " + path_;
        return false;
    }
    file_.reset();
    return true;
}

bool readAudioFile(const std::string& path, AudioData& audio, AudioFormat& format,
                   std::string& error) {
    AudioFileReader reader(path);
    if (!reader.good()) {
        error = reader.error();
        return false;
    }
    format = reader.format();
    audio.sampleRateHz = reader.sampleRateHz();
    audio.channels.assign(static_cast<std::size_t>(reader.channels()), {});
    for (std::vector<float>& channel : audio.channels)
        channel.reserve(reader.frames());
    std::vector<std::vector<float>> chunk;
    while (const std::size_t n = reader.read(chunk, kChunkFrames))
        for (std::size_t c = 0; c < chunk.size(); ++c)
            audio.channels[c].insert(audio.channels[c].end(), chunk[c].begin(),
                                     chunk[c].begin() + static_cast<std::ptrdiff_t>(n));
    error = reader.error();
    return error.empty();
}

bool writeAudioFile(const std::string& path, const AudioData& audio, const AudioFormat& format,
                    std::string& error) {
    AudioFileWriter writer(path, static_cast<int>(audio.channels.size()), audio.sampleRateHz,
                           format);
    std::vector<std::vector<float>> chunk(audio.channels.size());
    for (std::size_t at = 0; writer.good() && at < audio.frames(); at += kChunkFrames) {
        const std::size_t n = std::min(kChunkFrames, audio.frames() - at);
        for (std::size_t c = 0; c < chunk.size(); ++c)
            chunk[c].assign(audio.channels[c].begin() + static_cast<std::ptrdiff_t>(at),
                            audio.channels[c].begin() + static_cast<std::ptrdiff_t>(at + n));
        writer.write(chunk, n);
    }
    const bool ok = writer.commit();
    error = writer.error();
    return ok;
}

}  // namespace tessel::cli
