#include "ProductionRecord.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace ircli {

namespace {

// What a spreadsheet that saves CSV as UTF-8 puts before the header.
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string CsvLine(const RecordEntry& e)
{
    std::string line = UtcNow() + "," + e.port;
    for (const ButtonFields& b : e.buttons)
        line += "," + std::to_string(b.side) + "," + std::to_string(b.id);
    line += "," + std::to_string(e.relay);
    for (const std::string& code : e.codes)
        line += "," + code;
    return line + "," + e.verified;
}

// Makes the file's directory entry durable, so that a new record survives a
// crash as surely as its lines.
void SyncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Holds the record's lock, which every run takes to append. It waits at
// most 5 s for another run to finish its line; on a file system without
// locks, or when the wait is over, the line is still written: each line goes
// out in one append, so only the header or a torn line's end may then repeat.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd)
    {
        constexpr auto kPoll = std::chrono::milliseconds(10);
        constexpr int kPolls = 500;
        for (int i = 0; i < kPolls; ++i) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            std::this_thread::sleep_for(kPoll);
        }
    }
    ~FileLock()
    {
        if (held_)
            ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
    bool held_ = false;
};

} // namespace

const char* ProductionRecord::Header()
{
    return "time,port,p1_side,p1_id,p2_side,p2_id,p3_side,p3_id,relay,p1_code,p2_code,p3_code,verified\n";
}

ProductionRecord::ProductionRecord(std::string path) : path_(std::move(path))
{
    if (path_.empty())
        return;
    const auto refuse = [&](const std::string& why) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return Failure{BadArguments, "--record " + path_ + ": " + why};
    };
    created_ = ::access(path_.c_str(), F_OK) != 0;
    fd_ = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        throw refuse(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw refuse("not a regular file");
    // Found now: the working folder of a relative path may be gone when the
    // first line is written.
    std::error_code ec;
    if (created_)
        folder_ = std::filesystem::absolute(path_, ec).parent_path().string();
    if (st.st_size == 0)
        return;
    // A record edited on Windows ends its lines in CR LF; its new lines do
    // the same, so that the file keeps one style. A spreadsheet that saves
    // CSV as UTF-8 puts a byte-order mark before the header, which stays.
    const std::string header = Header();
    std::string first(kBom.size() + header.size() + 1, '\0');
    first.resize(size_t(std::max<ssize_t>(::pread(fd_, first.data(), first.size(), 0), 0)));
    if (first.starts_with(kBom))
        first.erase(0, kBom.size());
    if (first.starts_with(header.substr(0, header.size() - 1) + "\r\n"))
        lineEnd_ = "\r\n";
    else if (!first.starts_with(header) && !header.starts_with(first))
        throw refuse("the file is not a production record (its first line is not the record's header)");
}

ProductionRecord::~ProductionRecord()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ProductionRecord::Append(const RecordEntry& entry)
{
    if (fd_ < 0)
        return;
    // Runs on other ports may append to the same file: whether it still
    // needs its header, or the end of a torn last line, is decided under
    // the lock, and the line written in the same hold.
    const FileLock lock(fd_);
    WriteAll(Lead() + CsvLine(entry) + lineEnd_);
    if (::fsync(fd_) != 0)
        throw Failure{Stopped, "cannot sync the record " + path_ + ": " + std::strerror(errno)};
    if (created_) {
        SyncFolder(folder_);
        created_ = false;
    }
}

std::string ProductionRecord::Lead() const
{
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        throw Failure{Stopped, "cannot read the record " + path_ + ": " + std::strerror(errno)};
    if (st.st_size == 0)
        return Header();
    // A run that met a full disk may have written only the start of the
    // header; the header is finished, as the line end of a torn line is.
    if (std::string torn = TornHeader(st.st_size); !torn.empty())
        return torn;
    char last = '\n';
    if (::pread(fd_, &last, 1, st.st_size - 1) != 1 || last == '\n')
        return "";
    return last == '\r' ? "\n" : lineEnd_;
}

// The rest of the header when the file holds only its start (after a
// byte-order mark, perhaps), else nothing.
std::string ProductionRecord::TornHeader(off_t size) const
{
    const std::string header = Header();
    std::string text(kBom.size() + header.size(), '\0');
    if (size > off_t(text.size()))
        return "";
    text.resize(size_t(std::max<ssize_t>(::pread(fd_, text.data(), text.size(), 0), 0)));
    if (text.starts_with(kBom))
        text.erase(0, kBom.size());
    if (text.size() >= header.size() || !header.starts_with(text))
        return "";
    return header.substr(text.size());
}

void ProductionRecord::WriteAll(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Failure{Stopped, "cannot write the record " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC)};
        done += size_t(n);
    }
}

} // namespace ircli
