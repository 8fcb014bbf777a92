// The one way the tools write files: the content is built in memory, written
// to a temporary file beside the target and renamed over it, so a reader (or
// a crash) sees either the old file or the new one, never a torn one.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace calvenor {

// A file that could not be written or read: what() names the file, what
// failed and the system's reason, e.g.
//   "out/calibration.json: cannot write: Permission denied".
class FileError : public std::runtime_error {
public:
    FileError(std::string file, const std::string& action, const std::string& reason)
        : std::runtime_error(file + ": cannot " + action + ": " + reason), file_(std::move(file)),
          reason_(reason) {}
    const std::string& file() const { return file_; }
    const std::string& reason() const { return reason_; }

private:
    std::string file_;
    std::string reason_;
};

// Replaces `path` with `content` (creating it if missing). `shown` is the
// name used in the error (default: the path). With `durable`, the content
// reaches the disk before the rename (for checkpoints that must survive a
// power cut; a process crash never leaves a torn file either way).
// Throws FileError.
void writeFile(const std::filesystem::path& path, std::string_view content, const std::string& shown = {},
               bool durable = false);

// Creates a folder and its parents. Throws FileError.
void createFolder(const std::filesystem::path& folder, const std::string& shown = {});

// The whole content of a file. Throws FileError ("cannot open", "cannot read").
std::string readFile(const std::filesystem::path& path, const std::string& shown = {});

}  // namespace calvenor
