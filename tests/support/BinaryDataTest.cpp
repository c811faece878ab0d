#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <limits>
#include <string>

#include "support/BinaryData.h"

namespace tessel {
namespace {

// Every field round-trips bit for bit, little-endian on any platform; bad input (a foreign
// signature, a short read, a count beyond the data) fails the stream for good, leaving neutral
// values and allocating nothing; a count below 1 reads as the empty string.
TEST(BinaryData, FieldsRoundTripAndBadInputFailsForGood) {
    const float floats[] = {-0.0f, -1e-40f, std::numeric_limits<float>::quiet_NaN()};
    BinaryDataWriter w;
    w.writeHeader("VTBS", 3);
    w.writeInt32(0x12345678);
    for (float f : floats)
        w.writeFloat(f);
    w.writeString(std::string("a\0b", 3));
    w.writeInt32(-3);          // a string count below 1
    w.writeInt32(0x7fffffff);  // a string count far beyond the data
    w.writeInt32(5);
    EXPECT_EQ(w.bytes()[8], 0x78);
    BinaryDataReader r(w.bytes());
    int32_t i = 0;
    std::string s;
    EXPECT_TRUE(r.readHeader("VTBS") && r.version() == 3 && r.readInt32(i) && i == 0x12345678);
    for (float f : floats) {
        float v = 7.0f;
        EXPECT_TRUE(r.readFloat(v) && std::bit_cast<uint32_t>(v) == std::bit_cast<uint32_t>(f));
    }
    EXPECT_TRUE(r.readString(s) && s == std::string("a\0b", 3));
    EXPECT_TRUE(r.readString(s) && s.empty() && r.good());
    EXPECT_FALSE(r.readString(s));
    EXPECT_FALSE(r.readInt32(i)) << "failed for good, although 4 bytes are left";
    EXPECT_TRUE(i == 0 && s.empty());
    BinaryDataReader foreign(w.bytes());
    EXPECT_FALSE(foreign.readHeader("VTSl") || foreign.good());
    EXPECT_EQ(foreign.version(), 3) << "the version read is still handed on";
}

// A commit puts the whole file in place or leaves what was there; no temporary stays behind.
TEST(BinaryData, FilesAreReplacedOnlyWhenComplete) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tessel-binary-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "blocked.vtp");  // a directory where a file should go
    const std::string path = (dir / "preset.vtp").string();
    BinaryFileWriter good;
    good.writeString("Glue");
    ASSERT_TRUE(good.commit(path)) << good.error();
    BinaryFileWriter failing;
    failing.writeString("lost");
    for (const fs::path& target : {dir / "missing" / "preset.vtp", dir / "blocked.vtp"})
        EXPECT_TRUE(!failing.commit(target.string()) && !failing.error().empty());
    std::string name;
    BinaryFileReader r(path);
    EXPECT_TRUE(r.readString(name) && name == "Glue");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    BinaryFileReader absent((dir / "none.vtp").string());
    EXPECT_TRUE(absent.failed() && !absent.error().empty());
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tessel
