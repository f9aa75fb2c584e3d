#pragma once
// Registers a pty's slave as a COM port in a link folder of the benchmark's
// own, for as long as the object lives.
#include "portmap.h"

#include <filesystem>
#include <string>
#include <unistd.h>

namespace bench {

class ComLink {
public:
    ComLink(unsigned number, const std::string& target)
        : folder_(std::filesystem::temp_directory_path() / ("vxbench-ports-" + std::to_string(getpid())))
    {
        namespace fs = std::filesystem;
        fs::create_directories(folder_);
        const fs::path link = folder_ / ("com" + std::to_string(number));
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(target, link);
        vxport::PortMapConfig config = vxport::DefaultPortMapConfig();
        config.linkFolder = folder_.string();
        vxport::SetPortMapConfig(config);
    }
    ~ComLink()
    {
        vxport::ResetPortMapConfig();
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    ComLink(const ComLink&) = delete;
    ComLink& operator=(const ComLink&) = delete;

private:
    std::filesystem::path folder_;
};

} // namespace bench
