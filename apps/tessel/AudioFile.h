#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tessel::cli {

/// An open libsndfile handle, closed on destruction.
struct SoundFileHandle;

/// Planar audio in memory: one vector per channel, all the same length.
struct AudioData {
    double sampleRateHz = 0.0;
    std::vector<std::vector<float>> channels;

    std::size_t frames() const noexcept { return channels.empty() ? 0 : channels[0].size(); }
};

/// An audio file's container and sample type as libsndfile names them (its format code), kept
/// so that output is written the way the input was.
struct AudioFormat {
    int code = 0;

    /// The container of a --format name (wav, flac, aiff, ogg) with a sample type it takes,
    /// keeping `like`'s sample type when the container accepts it. False for an unknown name.
    static bool fromName(const std::string& name, const AudioFormat& like, AudioFormat& format);
    /// A short description: "WAV (Microsoft), Signed 24 bit PCM".
    std::string describe() const;
};

/// Reads a file that libsndfile reads, chunk by chunk, as planar floats.
class AudioFileReader {
public:
    /// Opens `path`; on failure `error()` says why (no such file, not audio).
    explicit AudioFileReader(const std::string& path);
    ~AudioFileReader();
    bool good() const noexcept { return file_ != nullptr && error_.empty(); }
    const std::string& error() const noexcept { return error_; }

    int channels() const noexcept { return channels_; }
    double sampleRateHz() const noexcept { return sampleRateHz_; }
    std::size_t frames() const noexcept { return frames_; }
    AudioFormat format() const noexcept { return format_; }

    /// Reads up to `maximumFrames` frames into `channels` (resized to the file's channel count
    /// and the frames read). Returns the frames read: 0 at the end; fewer than asked only at the
    /// end, or on a read error (then `error()` is set).
    std::size_t read(std::vector<std::vector<float>>& channels, std::size_t maximumFrames);

private:
    std::unique_ptr<SoundFileHandle> file_;
    std::string path_;
    std::string error_;
    int channels_ = 0;
    double sampleRateHz_ = 0.0;
    std::size_t frames_ = 0;
    std::size_t read_ = 0;
    AudioFormat format_;
    std::vector<float> interleaved_;
};

/// Writes a file chunk by chunk into a temporary file beside the target, and renames it into
/// place in `commit`, so an existing file is never left half-written; a writer destroyed
/// without a commit removes its temporary file. Integer formats clip rather than wrap.
class AudioFileWriter {
public:
    AudioFileWriter(const std::string& path, int channels, double sampleRateHz,
                    const AudioFormat& format);
    ~AudioFileWriter();
    bool good() const noexcept { return file_ != nullptr && error_.empty(); }
    const std::string& error() const noexcept { return error_; }

    /// Appends `frames` frames of planar channels. False (with `error()`) on a write error.
    bool write(const std::vector<std::vector<float>>& channels, std::size_t frames);
    /// Closes the file and puts it in place. False (with `error()`), leaving the target alone.
    bool commit();

private:
    std::unique_ptr<SoundFileHandle> file_;
    std::string path_;
    std::string temporary_;
    std::string error_;
    int channels_ = 0;
    bool clip_ = true;
    std::vector<float> interleaved_;
};

/// Reads a whole file as floats (AudioFileReader to the end). False with a one-line reason.
bool readAudioFile(const std::string& path, AudioData& audio, AudioFormat& format,
                   std::string& error);

/// Writes audio in the given format through AudioFileWriter. False with a one-line reason.
bool writeAudioFile(const std::string& path, const AudioData& audio, const AudioFormat& format,
                    std::string& error);

}  // namespace tessel::cli
