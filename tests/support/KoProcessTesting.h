#pragma once
// Helpers for tests that run programs of the build tree as child processes in the test's Wine
// prefix, or register its COM servers there.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "KoWindows.h"

namespace kotest {

// Runs Work(0) ... Work(N-1) on N threads of the multi-threaded apartment and waits for them
// without pumping messages (a worker that waited for the main thread would make the wait time
// out). True when all ended within BoundMs. Otherwise OnOverdue runs, if given (it may make them
// end, e.g. by ending the server they wait for), and they get 30 s more; threads still running
// then use this frame, so the process ends at once with a message.
bool RunMtaThreads(int N, const std::function<void(int)>& Work, DWORD BoundMs,
                   const std::function<void()>& OnOverdue = {});

// The full path of the running executable.
std::wstring ExecutablePath();
// The folder of the running executable, with its trailing separator: every program and DLL of
// the build lies there.
std::wstring ExecutableDirectory();

// What RunProgram returns when the program could not be started, or did not end in time (it is
// then ended).
constexpr DWORD kProgramNotStarted = static_cast<DWORD>(-2);
constexpr DWORD kProgramTimedOut = static_cast<DWORD>(-1);

// Runs Path with the command-line arguments Args and waits at most BoundMs for it to end.
// Returns its exit code, or one of the two values above.
DWORD RunProgram(const std::wstring& Path, const std::wstring& Args, DWORD BoundMs);

// What a program printed and how it ended.
struct TProgramRun {
    DWORD ExitCode = kProgramNotStarted;
    std::string Out; // standard output, as written
    std::string Err; // standard error, as written
};

// Runs Path with the command-line arguments Args, Input as its standard input and its standard
// output and error captured, and waits at most BoundMs for it to end (ExitCode as RunProgram's).
TProgramRun RunCaptured(const std::wstring& Path, const std::wstring& Args, const std::string& Input,
                        DWORD BoundMs);

// Starts Path with the command-line arguments Args; the process, or none when it could not be
// started.
TKoHandle StartProgram(const std::wstring& Path, const std::wstring& Args);

// Tells a program of the build tree to end as closing it does: WM_QUIT to the thread of its
// main-thread message windows. False when the process has none.
bool QuitProgram(DWORD ProcessId);

// Loads a proxy/stub DLL and lets it register itself (DllRegisterServer).
HRESULT RegisterProxyDll(const std::wstring& Path);

// The ids of the running processes whose executable file name is ExeName (no folder).
std::vector<DWORD> ProcessesOf(const std::wstring& ExeName);

} // namespace kotest
