#pragma once
// The activity log: a bounded, time-stamped line log in memory with an optional mirror file that
// is rewritten in full after every entry, and notifications of each new line.

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "KoPersistent.h"
#include "KoStrings.h"

// Sender is the buffer or log that raises it; NewMsg the text of the new line.
using TKoLogEvent = std::function<void(TKoPersistentBase* Sender, const std::wstring& NewMsg)>;

// A bounded list of lines, oldest first: a new line beyond the capacity pushes out the oldest.
// It has no lock of its own: users that share it with a TKoLog call the log's Lock and Unlock.
class TKoLogBuffer : public TKoPersistentBase {
public:
    TKoLogBuffer() = default;
    TKoLogBuffer(const TKoLogBuffer&) = delete;
    TKoLogBuffer& operator=(const TKoLogBuffer&) = delete;

    const wchar_t* ClassName() const override { return L"TKoLogBuffer"; }

    // Drops oldest lines until there is room, appends Line, then raises OnNewLine.
    void AddNewLine(std::wstring Line);
    // Removes every line; raises nothing.
    void Clear() { FLog.clear(); }
    // Writes every line with CR LF in the system's ANSI code page; errors are dropped.
    void SaveToFile(const std::wstring& FileName) const noexcept;

    int Count() const { return static_cast<int>(FLog.size()); }
    // Out-of-range indexes fail with EKoStringListError.
    const std::wstring& Lines(int Index) const;
    void SetLines(int Index, const std::wstring& Value);

    // The most lines kept; 0 or less means no limit. A positive value trims the oldest lines now.
    int Capacity() const { return FCapacity; }
    void SetCapacity(int Value);

    // A string-list destination receives a copy of the lines; other destinations fail.
    void AssignTo(TKoPersistentBase* Dest) const override;

    TKoLogEvent OnNewLine;

private:
    void CheckIndex(int Index) const;

    int FCapacity = 100;
    // Oldest first. A full log drops its oldest line for every new one, which costs the same
    // however many lines it keeps (thousands, some of them tens of thousands of characters).
    std::deque<std::wstring> FLog;
};

// The log proper: stamps each entry with the local time, keeps it in its buffer, rewrites its
// file and tells listeners. Add, AssignTo and the Lock/Unlock callers are serialised by one
// re-entrant lock, held while listeners run (a listener may read or add to the log).
class TKoLog : public TKoPersistentBase {
public:
    TKoLog() = default;
    TKoLog(const TKoLog&) = delete;
    TKoLog& operator=(const TKoLog&) = delete;

    const wchar_t* ClassName() const override { return L"TKoLog"; }

    // Records "<stamp> <Line>" and returns it; an inactive log records nothing and returns "".
    std::wstring Add(const std::wstring& Line);
    // Records the text of Lines (each line followed by CR LF) as one entry.
    std::wstring AddStrings(const TKoStrings& Lines);

    // From another log: FileName, MaxLines and Active (not the pattern, not the lines).
    void Assign(const TKoPersistentBase* Source) override;
    // A string-list destination receives a copy of the retained lines; others fail.
    void AssignTo(TKoPersistentBase* Dest) const override;

    void Lock() const { FLock.lock(); }
    void Unlock() const { FLock.unlock(); }

    bool Active() const;
    void SetActive(bool Value);
    std::wstring DateTimeFormat() const;
    void SetDateTimeFormat(const std::wstring& Value);
    std::wstring FileName() const;
    // A different name (compared exactly) is resolved again at the next entry.
    void SetFileName(const std::wstring& Value);
    int MaxLines() const;
    void SetMaxLines(int Value);
    // The file path the last entry was written to; empty until the name is resolved.
    std::wstring AbsoluteFileName() const;

    // The retained lines, for the owner; hold Lock while reading it from another thread.
    TKoLogBuffer& Buffer() { return FLog; }
    const TKoLogBuffer& Buffer() const { return FLog; }

    TKoLogEvent OnChange;

private:
    const std::wstring& ResolvedFileName();

    mutable std::recursive_mutex FLock;
    std::wstring FAbsoluteFileName;
    bool FActive = false;
    std::wstring FDateTimeFormat = L"yyyy/mm/dd hh:nn:ss.zzz";
    std::wstring FFileName;
    TKoLogBuffer FLog;
};
