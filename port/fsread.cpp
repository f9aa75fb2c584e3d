#include "fsread.h"

#include "diagnostics.h"

#include <algorithm>
#include <fstream>

namespace fs = std::filesystem;

namespace vxport {

std::vector<fs::path> ListFolder(const fs::path& folder)
{
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    // A range-for would throw from its increment.
    for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        entries.push_back(it->path());
    if (ec && ec != std::errc::no_such_file_or_directory)
        Diagnose("cannot list " + folder.string() + ": " + ec.message());
    std::sort(entries.begin(), entries.end());
    return entries;
}

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    if (!in || !std::getline(in, value))
        return {};
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\0'))
        value.pop_back();
    return value;
}

fs::path ReadLink(const fs::path& link)
{
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    return ec ? fs::path() : target;
}

std::string LinkName(const fs::path& link)
{
    return ReadLink(link).filename().string();
}

fs::path Canonical(const fs::path& path)
{
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : result;
}

bool Exists(const fs::path& path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

bool IsLink(const fs::path& path)
{
    std::error_code ec;
    return fs::is_symlink(path, ec);
}

bool IsFolder(const fs::path& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

} // namespace vxport
