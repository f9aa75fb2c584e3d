#pragma once
// Reading the file system without exceptions, for the device-tree reader, the
// port map and the device walks. A folder, link or file that is missing reads
// as empty, quietly; any other error while listing a folder makes one
// diagnostic line and the listing keeps what it read before the error.
#include <filesystem>
#include <string>
#include <vector>

namespace vxport {

// The entries of a folder, sorted by name.
std::vector<std::filesystem::path> ListFolder(const std::filesystem::path& folder);

// The first line of an attribute file, without its line end, trailing blanks
// and a terminating NUL.
std::string ReadAttribute(const std::filesystem::path& file);

// The target of a symbolic link as written; empty when it is not a link.
std::filesystem::path ReadLink(const std::filesystem::path& link);

// The last component of a link's target: the driver, module or bus it names.
std::string LinkName(const std::filesystem::path& link);

// The path with every link resolved as far as it exists.
std::filesystem::path Canonical(const std::filesystem::path& path);

bool Exists(const std::filesystem::path& path);
bool IsLink(const std::filesystem::path& path);
bool IsFolder(const std::filesystem::path& path);

} // namespace vxport
