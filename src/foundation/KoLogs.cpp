#include "KoLogs.h"

#include <windows.h>

#include <algorithm>

#include "KoUtils.h"
#include "KoWindows.h"

// ---- TKoLogBuffer ----

void TKoLogBuffer::AddNewLine(std::wstring Line) {
    while (FCapacity > 0 && Count() >= FCapacity) FLog.pop_front();
    FLog.push_back(std::move(Line));
    if (OnNewLine) OnNewLine(this, FLog.back());
}

void TKoLogBuffer::SetCapacity(int Value) {
    if (Value > 0)
        while (Count() > Value) FLog.pop_front();
    FCapacity = Value;
}

void TKoLogBuffer::CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count()) KoStringListIndexError(Index);
}

const std::wstring& TKoLogBuffer::Lines(int Index) const {
    CheckIndex(Index);
    return FLog[static_cast<size_t>(Index)];
}

void TKoLogBuffer::SetLines(int Index, const std::wstring& Value) {
    CheckIndex(Index);
    FLog[static_cast<size_t>(Index)] = Value;
}

void TKoLogBuffer::SaveToFile(const std::wstring& FileName) const noexcept {
    try {
        std::string Bytes;
        for (const std::wstring& Line : FLog) {
            if (!Line.empty()) {
                const int Size = WideCharToMultiByte(CP_ACP, 0, Line.data(), static_cast<int>(Line.size()),
                                                     nullptr, 0, nullptr, nullptr);
                const size_t At = Bytes.size();
                Bytes.resize(At + static_cast<size_t>(Size));
                WideCharToMultiByte(CP_ACP, 0, Line.data(), static_cast<int>(Line.size()), Bytes.data() + At,
                                    Size, nullptr, nullptr);
            }
            Bytes += "\r\n";
        }
        TKoHandle File(CreateFileW(FileName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!File) return;
        size_t Done = 0;
        while (Done < Bytes.size()) {
            const DWORD Chunk = static_cast<DWORD>(std::min<size_t>(Bytes.size() - Done, 1u << 30));
            DWORD Written = 0;
            if (!WriteFile(File.Get(), Bytes.data() + Done, Chunk, &Written, nullptr) || Written == 0) return;
            Done += Written;
        }
    } catch (...) {
        // Saving is best effort: the lines stay in memory and the next entry tries again.
    }
}

void TKoLogBuffer::AssignTo(TKoPersistentBase* Dest) const {
    if (auto* List = dynamic_cast<TKoStrings*>(Dest)) {
        TKoStrings Copy;
        for (const std::wstring& Line : FLog) Copy.Add(Line);
        List->Assign(&Copy);
        return;
    }
    TKoPersistentBase::AssignTo(Dest);
}

// ---- TKoLog ----

namespace {

std::wstring ExecutableDirectory() {
    std::wstring Path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD Length = GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
        if (Length == 0) return {};
        if (Length < Path.size()) {
            Path.resize(Length);
            break;
        }
        Path.resize(Path.size() * 2);
    }
    return Path.substr(0, Path.find_last_of(L"\\/:") + 1);
}

} // namespace

std::wstring TKoLog::Add(const std::wstring& Line) {
    std::lock_guard Guard(FLock);
    if (!FActive) return {};
    const std::wstring Entry = KoFormatDateTime(FDateTimeFormat, KoNowLocal()) + L" " + Line;
    FLog.AddNewLine(Entry);
    if (!FFileName.empty()) FLog.SaveToFile(ResolvedFileName());
    if (OnChange) OnChange(this, Entry);
    return Entry;
}

std::wstring TKoLog::AddStrings(const TKoStrings& Lines) {
    return Add(Lines.Text());
}

const std::wstring& TKoLog::ResolvedFileName() {
    if (FAbsoluteFileName.empty()) {
        // A name with a directory part (up to its last delimiter or drive colon) stays as it is.
        if (FFileName.find_last_of(L"\\/:") != std::wstring::npos)
            FAbsoluteFileName = FFileName;
        else
            FAbsoluteFileName = ExecutableDirectory() + FFileName;
    }
    return FAbsoluteFileName;
}

void TKoLog::Assign(const TKoPersistentBase* Source) {
    if (const auto* Other = dynamic_cast<const TKoLog*>(Source)) {
        if (Other == this) return;
        std::wstring Name;
        int Lines;
        bool IsActive;
        {
            std::lock_guard Guard(Other->FLock);
            Name = Other->FFileName;
            Lines = Other->FLog.Capacity();
            IsActive = Other->FActive;
        }
        SetFileName(Name);
        SetMaxLines(Lines);
        SetActive(IsActive);
        return;
    }
    TKoPersistentBase::Assign(Source);
}

void TKoLog::AssignTo(TKoPersistentBase* Dest) const {
    if (dynamic_cast<TKoStrings*>(Dest)) {
        std::lock_guard Guard(FLock);
        FLog.AssignTo(Dest);
        return;
    }
    TKoPersistentBase::AssignTo(Dest);
}

bool TKoLog::Active() const {
    std::lock_guard Guard(FLock);
    return FActive;
}

void TKoLog::SetActive(bool Value) {
    std::lock_guard Guard(FLock);
    FActive = Value;
}

std::wstring TKoLog::DateTimeFormat() const {
    std::lock_guard Guard(FLock);
    return FDateTimeFormat;
}

void TKoLog::SetDateTimeFormat(const std::wstring& Value) {
    std::lock_guard Guard(FLock);
    FDateTimeFormat = Value;
}

std::wstring TKoLog::FileName() const {
    std::lock_guard Guard(FLock);
    return FFileName;
}

void TKoLog::SetFileName(const std::wstring& Value) {
    std::lock_guard Guard(FLock);
    if (Value == FFileName) return;
    FFileName = Value;
    FAbsoluteFileName.clear();
}

int TKoLog::MaxLines() const {
    std::lock_guard Guard(FLock);
    return FLog.Capacity();
}

void TKoLog::SetMaxLines(int Value) {
    std::lock_guard Guard(FLock);
    FLog.SetCapacity(Value);
}

std::wstring TKoLog::AbsoluteFileName() const {
    std::lock_guard Guard(FLock);
    return FAbsoluteFileName;
}
