#pragma once
// The log interface of the library and two logs that users and tests link.
//
// Levels: 0 opening, closing and fatal errors; 1 configuration, connection
// tests and communication errors; 2 traces of single transfers.
#include "Component.h"
#include "Format.h"
#include "vxclasses_types.h"

#include <QString>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

// The abstract log. It writes nothing itself; I/O components and data
// processors call Log, LogFmt and LogBlank, possibly from several threads.
class TvxCustomLogFile : public TComponent {
    Q_OBJECT
public:
    explicit TvxCustomLogFile(QObject* AOwner = nullptr);

    TOnFatalErrorEvent OnFatalError;

    // A descendant reports its own failures here: OnFatalError, then an
    // Exception with ErrorMsg unless the handler cleared RaiseException.
    virtual void FatalError(uint32_t ErrorCode, uint32_t Detail, const std::string& ErrorMsg);
    // Called for an empty message.
    virtual void LogBlank() = 0;
    virtual void Log(uint8_t Level, const std::string& Msg) = 0;
    virtual void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args) = 0;
};

// The text of a log call: the formatted message, or, when the format does not
// fit its values, the format with the reason in brackets (a log line is never
// worth failing the operation that writes it).
std::string FormatLogText(const std::string& Fmt, const TVarArgs& Args);

// Writes one line per message to a file or a stream:
//   "2024-05-01 12:00:00.123 [1] text"
// A blank message is an empty line. Safe to call from any thread.
class TvxLogFile : public TvxCustomLogFile {
    Q_OBJECT
    Q_PROPERTY(QString FileName READ QFileName WRITE SetQFileName)
    Q_PROPERTY(int MaxLevel READ MaxLevel WRITE SetMaxLevel)
public:
    // FatalError codes of this log; Detail is the system's error number.
    static constexpr uint32_t ErrorOpen = 1;
    static constexpr uint32_t ErrorWrite = 2;

    explicit TvxLogFile(QObject* AOwner = nullptr);
    ~TvxLogFile() override;

    // Appends to the file, creating it when missing; an empty name closes the
    // file. A file that cannot be opened is a fatal error of the log.
    void SetFileName(const std::string& FileName);
    std::string FileName() const;
    // Writes to a stream that the caller keeps alive; replaces the file.
    void SetStream(std::ostream* Stream);
    // Messages above this level are not written. Default: all.
    void SetMaxLevel(int Level);
    int MaxLevel() const;

    void LogBlank() override;
    void Log(uint8_t Level, const std::string& Msg) override;
    void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args) override;

private:
    QString QFileName() const { return QString::fromStdString(FileName()); }
    void SetQFileName(const QString& name) { SetFileName(name.toStdString()); }
    void WriteLine(int Level, const std::string& text, bool stamped);

    mutable std::mutex mutex_;
    std::ofstream file_;
    std::ostream* stream_ = nullptr;
    std::string fileName_;
    int maxLevel_ = 255;
};

// Records every message in memory, for tests and for showing a log in a window.
// Safe to call from any thread.
class TvxMemoryLog : public TvxCustomLogFile {
    Q_OBJECT
public:
    struct TEntry {
        uint8_t Level = 0;
        std::string Text;
        bool Blank = false;
        bool operator==(const TEntry&) const = default;
    };

    explicit TvxMemoryLog(QObject* AOwner = nullptr);
    ~TvxMemoryLog() override { NotifyDestroying(); }

    std::vector<TEntry> Entries() const;
    std::vector<std::string> Texts() const;
    size_t Count() const;
    void Clear();

    void LogBlank() override;
    void Log(uint8_t Level, const std::string& Msg) override;
    void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args) override;

private:
    void Add(TEntry entry);

    mutable std::mutex mutex_;
    std::vector<TEntry> entries_;
};
