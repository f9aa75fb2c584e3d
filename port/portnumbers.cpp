#include "portnumbers.h"

#include "diagnostics.h"
#include "fsread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxport {
namespace {

constexpr unsigned kFirstKept = 33;
constexpr unsigned kKeptSlots = 223; // COM33..COM255
constexpr unsigned kLastNumber = 255;
constexpr auto kLockWait = std::chrono::milliseconds(1000);

struct Table {
    std::map<unsigned, std::string> byNumber;
    std::map<std::string, unsigned> byIdentity;
    bool unreadable = false; // it exists but could not be read: writing it would lose what it holds

    void Add(unsigned number, const std::string& identity)
    {
        if (byNumber.count(number) || byIdentity.count(identity))
            return; // the first line wins
        byNumber.emplace(number, identity);
        byIdentity.emplace(identity, number);
    }
    void Drop(unsigned number)
    {
        auto it = byNumber.find(number);
        if (it == byNumber.end())
            return;
        byIdentity.erase(it->second);
        byNumber.erase(it);
    }
};

// Why a line that is neither an entry nor a comment is left out; empty for
// an entry. An entry whose number or device an earlier line has is left out
// too. Lines left out are gone after the next write.
std::string Fault(const std::string& line, const Table& table, unsigned& number, std::string& identity)
{
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space > 3 || line.find_first_not_of("0123456789") != space ||
        space + 1 == line.size())
        return "it is not \"<number> <device>\"";
    number = unsigned(std::stoul(line.substr(0, space)));
    identity = line.substr(space + 1);
    if (number < 1 || number > kLastNumber)
        return "COM numbers go from 1 to 255";
    if (auto held = table.byNumber.find(number); held != table.byNumber.end())
        return "an earlier line gives COM" + std::to_string(number) + " to " + held->second;
    if (table.byIdentity.count(identity))
        return "an earlier line numbers " + identity;
    return {};
}

Table Load(const std::string& path)
{
    Table table;
    if (path.empty())
        return table;
    std::ifstream in(path);
    if (!in) {
        table.unreadable = Exists(path);
        return table;
    }
    std::string line, firstFault;
    size_t at = 0, faults = 0;
    while (std::getline(in, line)) {
        ++at;
        // A line end or blanks from an editor are no part of the identity.
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        unsigned number = 0;
        std::string identity;
        const std::string fault = Fault(line, table, number, identity);
        if (fault.empty())
            table.Add(number, identity);
        else if (faults++ == 0)
            firstFault = "line " + std::to_string(at) + " is ignored: " + fault;
    }
    table.unreadable = in.bad();
    if (faults != 0)
        Diagnose(path + ": " + firstFault + (faults > 1 ? " (and " + std::to_string(faults - 1) + " more)" : ""));
    return table;
}

bool Save(const std::string& path, const Table& table)
{
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string text = "# COM numbers of serial devices: number, device identity. Remove a line to free its number.\n";
    for (const auto& [number, identity] : table.byNumber)
        text += std::to_string(number) + " " + identity + "\n";
    const std::string temp = path + ".new" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // The user may have narrowed who reads the table; the new one keeps that.
    if (struct stat kept {}; ::stat(path.c_str(), &kept) == 0)
        ::fchmod(fd, kept.st_mode & 07777);
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
    ::close(fd);
    if (written && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

// The table's lock file, held while it is read again and written. The wait
// is bounded: a process that holds it for long (stopped in a debugger) costs
// the others only the recording of new numbers.
class TableLock {
public:
    explicit TableLock(const std::string& tablePath)
    {
        std::error_code ec;
        fs::create_directories(fs::path(tablePath).parent_path(), ec);
        fd_ = ::open((tablePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
                ::close(fd_);
                fd_ = -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    ~TableLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Each identity stays on its line of the table: control characters, which
// names and serial numbers from devices may hold, are written as \xHH, and
// so are blanks at its end, which reading the table takes for an editor's.
std::vector<NumberRequest> LineSafe(std::vector<NumberRequest> devices)
{
    for (NumberRequest& device : devices) {
        std::string safe;
        const size_t end = device.identity.find_last_not_of(' ') + 1;
        for (size_t i = 0; i < device.identity.size(); ++i) {
            const unsigned char c = device.identity[i];
            if (c >= 0x20 && c != 0x7F && i < end) {
                safe += char(c);
                continue;
            }
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            safe += hex;
        }
        device.identity = std::move(safe);
    }
    return devices;
}

// The file behind the table's path: a user who keeps the table elsewhere
// (with dotfiles) and links to it keeps the link, and the file is written.
std::string TableFile(const std::string& path)
{
    fs::path file = path;
    for (int hops = 0; hops < 40 && IsLink(file); ++hops) {
        const fs::path target = ReadLink(file);
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    return file.string();
}

template <class Free>
unsigned Probe(unsigned first, Free free)
{
    for (unsigned i = 0; i < kKeptSlots; ++i) {
        const unsigned number = kFirstKept + (first - kFirstKept + i) % kKeptSlots;
        if (free(number))
            return number;
    }
    return 0;
}

// Numbers the devices that neither a fixed number nor the table has placed.
// True when the table changed.
bool NumberTheRest(Table& table, const std::vector<NumberRequest>& devices, std::set<unsigned>& used,
                   std::vector<unsigned>& numbers)
{
    std::vector<size_t> rest;
    std::set<std::string> present;
    for (size_t i = 0; i < devices.size(); ++i) {
        present.insert(devices[i].identity);
        if (numbers[i] == 0)
            rest.push_back(i);
    }
    std::sort(rest.begin(), rest.end(),
              [&](size_t a, size_t b) { return devices[a].identity < devices[b].identity; });
    bool changed = false;
    for (size_t i : rest) {
        const std::string& identity = devices[i].identity;
        const bool record = devices[i].fixed == 0 && !table.byIdentity.count(identity);
        const unsigned first = SuggestedNumber(identity);
        unsigned number = Probe(first, [&](unsigned n) { return !used.count(n) && !table.byNumber.count(n); });
        if (number == 0 && record) {
            number = Probe(first, [&](unsigned n) {
                auto holder = table.byNumber.find(n);
                return !used.count(n) && (holder == table.byNumber.end() || !present.count(holder->second));
            });
            if (number != 0) {
                Diagnose("every COM number from 33 is kept: COM" + std::to_string(number) + " of " +
                         table.byNumber[number] + " goes to " + identity);
                table.Drop(number);
            }
        }
        if (number == 0) {
            Diagnose("no COM number is left for " + identity);
            continue;
        }
        numbers[i] = number;
        used.insert(number);
        if (record) {
            table.Add(number, identity);
            changed = true;
        }
    }
    return changed;
}

std::vector<unsigned> Assign(Table& table, const std::vector<NumberRequest>& devices, std::set<unsigned> used,
                             bool& changed)
{
    std::vector<unsigned> numbers(devices.size(), 0);
    for (size_t i = 0; i < devices.size(); ++i)
        if (devices[i].fixed != 0 && used.insert(devices[i].fixed).second)
            numbers[i] = devices[i].fixed;
    for (size_t i = 0; i < devices.size(); ++i) {
        auto kept = table.byIdentity.find(devices[i].identity);
        if (numbers[i] == 0 && kept != table.byIdentity.end() && used.insert(kept->second).second)
            numbers[i] = kept->second;
    }
    changed = NumberTheRest(table, devices, used, numbers);
    return numbers;
}

} // namespace

unsigned SuggestedNumber(const std::string& identity)
{
    uint32_t hash = 2166136261u; // FNV-1a
    for (unsigned char c : identity) {
        hash ^= c;
        hash *= 16777619u;
    }
    return kFirstKept + hash % kKeptSlots;
}

std::vector<unsigned> NumberDevices(const std::string& tablePath, const std::vector<NumberRequest>& requests,
                                    const std::set<unsigned>& linked)
{
    const std::vector<NumberRequest> devices = LineSafe(requests);
    Table table = Load(tablePath);
    bool changed = false;
    std::vector<unsigned> numbers = Assign(table, devices, linked, changed);
    if (!changed || tablePath.empty())
        return numbers;
    // New devices: number them again from the table as it is now, under its lock.
    const std::string file = TableFile(tablePath);
    const TableLock lock(file);
    if (!lock.Held()) {
        Diagnose("cannot lock " + file + ".lock: the numbers of new devices are not kept this time");
        return numbers;
    }
    table = Load(file);
    numbers = Assign(table, devices, linked, changed);
    if (table.unreadable)
        Diagnose("cannot read " + file + ": the numbers of new devices are not kept");
    else if (changed && !Save(file, table))
        Diagnose("cannot write " + file + ": the numbers of new devices are not kept");
    return numbers;
}

} // namespace vxport
