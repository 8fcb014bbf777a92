// SHA-256 (FIPS 180-4), for checksums that stay the same on every platform
// and in every version: the record of the data files a calibration read, and
// the digest of the parameter sets a checkpointed search evaluated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace calvenor {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // The digest of everything added so far, as 64 lower-case hexadecimal
    // digits; more may be added afterwards.
    std::string hex() const;

private:
    void block(const unsigned char* p);
    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes
};

// The digest of a text.
std::string sha256(std::string_view text);

// The digest of a file's content. Throws FileError.
std::string fileSha256(const std::filesystem::path& file, const std::string& shown = {});

}  // namespace calvenor
