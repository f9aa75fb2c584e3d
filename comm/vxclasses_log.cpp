#include "vxclasses_log.h"

#include "Exceptions.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// "2024-05-01 12:00:00.123", local time.
std::string TimeStamp()
{
    using namespace std::chrono;
    const system_clock::time_point now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, int(millis));
    return text;
}

} // namespace

// ---- TvxCustomLogFile ------------------------------------------------------

TvxCustomLogFile::TvxCustomLogFile(QObject* AOwner) : TComponent(AOwner) {}

void TvxCustomLogFile::FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg)
{
    bool raiseException = true;
    if (OnFatalError)
        OnFatalError(this, ErrorCode, Detail, ErrorMsg, raiseException);
    if (raiseException)
        throw Exception(ErrorMsg);
}

std::string FormatLogText(const std::string& Fmt, const TVarArgs& Args)
{
    try {
        return Format(Fmt, Args);
    } catch (const EConvertError& e) {
        return Fmt + " [" + e.Message + "]";
    }
}

// ---- TvxLogFile --------------------------------------------------------------

TvxLogFile::TvxLogFile(QObject* AOwner) : TvxCustomLogFile(AOwner) {}

// The components that log here stop doing so before the file goes.
TvxLogFile::~TvxLogFile()
{
    NotifyDestroying();
}

void TvxLogFile::SetFileName(const std::string& FileName)
{
    int error = 0;
    {
        std::lock_guard lock(mutex_);
        if (file_.is_open())
            file_.close();
        stream_ = nullptr;
        fileName_ = FileName;
        if (FileName.empty())
            return;
        file_.clear();
        errno = 0;
        file_.open(FileName, std::ios::out | std::ios::app);
        if (file_.is_open()) {
            stream_ = &file_;
            return;
        }
        error = errno;
    }
    FatalError(ErrorOpen, uint32_t(error),
               "Cannot open the log file \"" + FileName + "\": " + (error ? std::strerror(error) : "unknown error"));
}

std::string TvxLogFile::FileName() const
{
    std::lock_guard lock(mutex_);
    return fileName_;
}

void TvxLogFile::SetStream(std::ostream* Stream)
{
    std::lock_guard lock(mutex_);
    if (file_.is_open())
        file_.close();
    fileName_.clear();
    stream_ = Stream;
}

void TvxLogFile::SetMaxLevel(int Level)
{
    std::lock_guard lock(mutex_);
    maxLevel_ = Level;
}

int TvxLogFile::MaxLevel() const
{
    std::lock_guard lock(mutex_);
    return maxLevel_;
}

void TvxLogFile::WriteLine(int Level, const std::string& text, bool stamped)
{
    int error = 0;
    std::string name;
    {
        std::lock_guard lock(mutex_);
        if (!stream_ || Level > maxLevel_)
            return;
        // The line goes out in one piece: other logs may append to the same file.
        std::string line;
        if (stamped)
            line = TimeStamp() + " [" + std::to_string(Level) + "] ";
        line += text;
        line += '\n';
        errno = 0;
        stream_->write(line.data(), std::streamsize(line.size()));
        stream_->flush();
        if (stream_->good())
            return;
        error = errno;
        stream_->clear();
        name = fileName_.empty() ? std::string("the log stream") : "the log file \"" + fileName_ + "\"";
    }
    FatalError(ErrorWrite, uint32_t(error),
               "Cannot write to " + name + ": " + (error ? std::strerror(error) : "write failed"));
}

void TvxLogFile::LogBlank()
{
    WriteLine(0, std::string(), false);
}

void TvxLogFile::Log(uint8_t Level, const std::string& Msg)
{
    WriteLine(Level, Msg, true);
}

void TvxLogFile::LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args)
{
    Log(Level, FormatLogText(Fmt, Args));
}

// ---- TvxMemoryLog -------------------------------------------------------------

TvxMemoryLog::TvxMemoryLog(QObject* AOwner) : TvxCustomLogFile(AOwner) {}

void TvxMemoryLog::Add(TEntry entry)
{
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

std::vector<TvxMemoryLog::TEntry> TvxMemoryLog::Entries() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> TvxMemoryLog::Texts() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const TEntry& e : entries_)
        texts.push_back(e.Text);
    return texts;
}

size_t TvxMemoryLog::Count() const
{
    std::lock_guard lock(mutex_);
    return entries_.size();
}

void TvxMemoryLog::Clear()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
}

void TvxMemoryLog::LogBlank()
{
    Add({0, std::string(), true});
}

void TvxMemoryLog::Log(uint8_t Level, const std::string& Msg)
{
    Add({Level, Msg, false});
}

void TvxMemoryLog::LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args)
{
    Add({Level, FormatLogText(Fmt, Args), false});
}
