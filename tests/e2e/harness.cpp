#include "harness.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

std::string ExeDir()
{
    char path[MAX_PATH];
    DWORD len = GetModuleFileNameA(NULL, path, MAX_PATH);
    std::string dir(path, len);
    return dir.substr(0, dir.find_last_of('\\'));
}

// The session's copy of the built vizad.exe (tests/wine/session): the build
// tree may lie where others can change a folder above it, such as /tmp,
// and -install refuses a program there.
std::string VizadPath() { return "C:\\vizad-bin\\vizad.exe"; }
std::string FixturePath() { return ExeDir() + "\\fixture.exe"; }

void MakeDirs(const std::string &path)
{
    for (size_t i = 3; i <= path.size(); i++)
        if (i == path.size() || path[i] == '\\')
            CreateDirectoryA(path.substr(0, i).c_str(), NULL);
}

std::string NewTestDir(const std::string &name)
{
    const char *base = getenv("VIZAD_TEST_DIR");
    char unique[64];
    snprintf(unique, sizeof unique, "-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    std::string dir = std::string(base ? base : "C:\\vizad-tests") + "\\" + name + unique;
    MakeDirs(dir);
    return dir;
}

void WriteTextFile(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == NULL)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string ReadTextFile(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == NULL)
        return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool FileExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> ReadLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::string text = ReadTextFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + "\\" + name);
            else
                DeleteFileA((path + "\\" + name).c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

bool WaitFor(const std::function<bool()> &cond, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

Installation MakeInstallation(const std::string &root, const std::string &runBody,
                              const std::string &stopBody)
{
    static int counter;
    Installation inst;
    char event[96];
    snprintf(event, sizeof event, "vizad-test-%lu-%d-%lu", GetCurrentProcessId(), ++counter,
             GetTickCount());
    inst.root = root;
    inst.script = root + kSuffix;
    inst.log = root + "\\calls.log";
    inst.event = event;
    MakeDirs(root + "\\bin");

    std::string text = "@echo off\r\n"
                       "set EVENT=" + inst.event + "\r\n"
                       "set FIXTURE=\"" + FixturePath() + "\"\r\n"
                       "if \"%1\"==\"stopServers\" goto stop\r\n"
                       "set VIZAD_LINE=run [%0] [%*]\r\n"
                       "%FIXTURE% append \"" + inst.log + "\"\r\n";
    text += (runBody.empty() ? "%FIXTURE% serve %EVENT% >nul" : runBody) + "\r\n";
    text += "exit /b %errorlevel%\r\n"
            ":stop\r\n"
            "set VIZAD_LINE=stop [%0] [%*]\r\n"
            "%FIXTURE% append \"" + inst.log + "\"\r\n";
    text += (stopBody.empty() ? "%FIXTURE% stop %EVENT%" : stopBody) + "\r\n";
    WriteTextFile(inst.script, text);
    return inst;
}

std::vector<std::string> ScriptCalls(const Installation &inst) { return ReadLines(inst.log); }

size_t CountCalls(const Installation &inst, const char *kind)
{
    size_t n = 0;
    size_t len = strlen(kind);
    for (const std::string &line : ScriptCalls(inst))
        if (line.compare(0, len, kind) == 0 && (line.size() == len || line[len] == ' '))
            n++;
    return n;
}

static std::wstring NameOf(const std::wstring &entry)
{
    size_t eq = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
    return entry.substr(0, eq);
}

static std::wstring Widen(const std::string &utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), (int)utf8.size(), &wide[0],
                                (int)wide.size());
    wide.resize(n > 0 ? n : 0);
    return wide;
}

// A Unicode block, for CREATE_UNICODE_ENVIRONMENT.
static std::wstring EnvironmentBlock(const EnvChanges &changes)
{
    std::vector<std::wstring> entries;
    WCHAR *block = GetEnvironmentStringsW();
    for (WCHAR *p = block; *p; p += wcslen(p) + 1)
        entries.push_back(p);
    FreeEnvironmentStringsW(block);

    // The prefix's system environment carries the service's ZOVOVEV into
    // every Wine process: a child sees only the value its test gives it.
    EnvChanges all = { "ZOVOVEV" };
    all.insert(all.end(), changes.begin(), changes.end());
    for (const std::string &change : all) {
        std::wstring wide = Widen(change);
        std::wstring name = NameOf(wide);
        for (size_t i = 0; i < entries.size();)
            if (_wcsicmp(NameOf(entries[i]).c_str(), name.c_str()) == 0)
                entries.erase(entries.begin() + i);
            else
                i++;
        if (wide.find(L'=') != std::wstring::npos)
            entries.push_back(wide);
    }
    std::wstring result;
    for (const std::wstring &entry : entries)
        result += entry + L'\0';
    result += L'\0';
    return result;
}

struct Reader {
    HANDLE pipe;
    HANDLE thread;
    std::string out;
};

static DWORD WINAPI ReadAll(LPVOID param)
{
    Reader *reader = (Reader *)param;
    char buf[4096];
    DWORD n;
    while (ReadFile(reader->pipe, buf, sizeof buf, &n, NULL) && n > 0)
        reader->out.append(buf, n);
    return 0;
}

Child StartProgram(const std::string &exe, const std::string &args, const EnvChanges &env,
                   bool newConsole, StdOut stdOut)
{
    Child child;
    SECURITY_ATTRIBUTES sa = { sizeof sa, NULL, TRUE };
    HANDLE outRead = NULL, outWrite = NULL;
    if (stdOut == StdOut::Pipe || stdOut == StdOut::ClosedPipe) {
        if (!CreatePipe(&outRead, &outWrite, &sa, 0))
            return child;
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        if (stdOut == StdOut::ClosedPipe) {
            CloseHandle(outRead);  // every write the child makes finds no reader
            outRead = NULL;
        }
    } else if (stdOut == StdOut::Invalid) {
        outWrite = INVALID_HANDLE_VALUE;
    }

    static int counter;
    char suffix[64];
    snprintf(suffix, sizeof suffix, "\\stderr-%lu-%d.txt", GetCurrentProcessId(), ++counter);
    child.errPath = NewTestDir("stderr") + suffix;
    if (stdOut == StdOut::File) {
        child.outPath = child.errPath.substr(0, child.errPath.size() - 4) + "-out.txt";
        outWrite = CreateFileA(child.outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (outWrite == INVALID_HANDLE_VALUE)
            return child;
    }
    HANDLE errFile = CreateFileA(child.errPath.c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);

    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = NULL;
    si.hStdOutput = outWrite;
    si.hStdError = errFile;
    PROCESS_INFORMATION pi;
    std::string cmdLine = "\"" + exe + "\"" + (args.empty() ? "" : " " + args);
    std::vector<char> cmdBuf(cmdLine.begin(), cmdLine.end());
    cmdBuf.push_back('\0');
    std::wstring block = EnvironmentBlock(env);
    // Children inherit the flag that SendCtrlC sets to ignore Ctrl+C; the host
    // must start with its handlers live.
    SetConsoleCtrlHandler(NULL, FALSE);
    // In a job before it runs, so that its descendants are in it too.
    child.job = CreateJobObjectA(NULL, NULL);
    BOOL ok = child.job != NULL &&
              CreateProcessA(exe.c_str(), cmdBuf.data(), NULL, NULL, TRUE,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED |
                                 (newConsole ? CREATE_NEW_CONSOLE : 0),
                             (LPVOID)block.data(), NULL, &si, &pi);
    if (ok && (!AssignProcessToJobObject(child.job, pi.hProcess) ||
               ResumeThread(pi.hThread) == (DWORD)-1)) {
        TerminateProcess(pi.hProcess, 99);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        ok = FALSE;
    }
    if (outWrite != NULL && outWrite != INVALID_HANDLE_VALUE)
        CloseHandle(outWrite);
    if (errFile != INVALID_HANDLE_VALUE)
        CloseHandle(errFile);
    if (!ok) {
        if (outRead != NULL)
            CloseHandle(outRead);
        if (child.job != NULL)
            CloseHandle(child.job);
        child.job = NULL;
        return child;
    }
    CloseHandle(pi.hThread);
    child.process = pi.hProcess;
    child.pid = pi.dwProcessId;
    if (outRead != NULL) {
        child.reader = new Reader{ outRead, NULL, std::string() };
        child.reader->thread = CreateThread(NULL, 0, ReadAll, child.reader, 0, NULL);
    }
    return child;
}

Child StartVizad(const std::string &args, const EnvChanges &env, bool newConsole,
                 StdOut stdOut)
{
    return StartProgram(VizadPath(), args, env, newConsole, stdOut);
}

Outcome FinishChild(Child &child, DWORD timeoutMs)
{
    Outcome outcome;
    if (child.process == NULL)
        return outcome;
    if (WaitForSingleObject(child.process, timeoutMs) == WAIT_OBJECT_0) {
        outcome.exited = true;
    } else {
        // Its servers too: they hold its output pipe.
        TerminateJobObject(child.job, 99);
        WaitForSingleObject(child.process, 5000);
    }
    GetExitCodeProcess(child.process, &outcome.exitCode);
    CloseHandle(child.process);
    child.process = NULL;
    CloseHandle(child.job);
    child.job = NULL;

    // Grandchildren hold the pipe too; they are bounded by their own timeouts.
    if (child.reader != nullptr &&
        WaitForSingleObject(child.reader->thread, 30000) == WAIT_OBJECT_0) {
        CloseHandle(child.reader->thread);
        CloseHandle(child.reader->pipe);
        outcome.out = child.reader->out;
        delete child.reader;
    }  // else the reader is left behind: the test fails on the missing output
    child.reader = nullptr;
    if (!child.outPath.empty())
        outcome.out = ReadTextFile(child.outPath);
    outcome.err = ReadTextFile(child.errPath);
    return outcome;
}

Outcome RunVizad(const std::string &args, const EnvChanges &env, DWORD timeoutMs)
{
    Child child = StartVizad(args, env);
    return FinishChild(child, timeoutMs);
}

bool ServerRunning(const Installation &inst)
{
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, (inst.event + "-serving").c_str());
    if (event == NULL)
        return false;
    CloseHandle(event);
    return true;
}

bool StopServer(const Installation &inst)
{
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, inst.event.c_str());
    if (event == NULL)
        return false;
    BOOL ok = SetEvent(event);
    CloseHandle(event);
    return ok != FALSE;
}

bool WaitForServer(const Installation &inst, DWORD timeoutMs)
{
    return WaitFor([&] { return ServerRunning(inst); }, timeoutMs);
}

std::string NewMarker()
{
    static int counter;
    char marker[64];
    snprintf(marker, sizeof marker, "sigint-%lu-%d", GetCurrentProcessId(), ++counter);
    return marker;
}

std::string UnixPath(const std::string &windowsPath)
{
    // Z: is the Unix root, C: the prefix's drive_c.
    const char *prefix = getenv("WINEPREFIX");
    std::string path = windowsPath.substr(2);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    if (toupper((unsigned char)windowsPath[0]) == 'C')
        path = std::string(prefix ? prefix : "") + "/drive_c" + path;
    return path;
}

// The command is in double quotes on sh's command line: it quotes with
// single quotes of its own.
bool RunUnixCommand(const std::string &command, DWORD timeoutMs)
{
    std::string done = NewTestDir("unix-done") + "\\done";
    std::string cmdLine = "Z:\\bin\\sh -c \"" + command + "; touch '" + UnixPath(done) + "'\"";
    std::vector<char> cmdBuf(cmdLine.begin(), cmdLine.end());
    cmdBuf.push_back('\0');
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, cmdBuf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    // Nothing in pi is closed: for a Unix program Wine leaves hProcess 0 and
    // junk in the other fields, which could name a live handle of ours.
    return WaitFor([&] { return FileExists(done); }, timeoutMs);
}

bool ChangeUnixMode(const std::string &windowsPath, const char *mode)
{
    typedef char *(CDECL * UnixFileName)(LPCWSTR);
    UnixFileName toUnix = (UnixFileName)(void (*)())GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
    std::wstring wide(windowsPath.begin(), windowsPath.end());
    char *unixPath = toUnix ? toUnix(wide.c_str()) : nullptr;
    if (unixPath == nullptr)
        return false;
    std::string command = std::string("chmod ") + mode + " '" + unixPath + "'";
    HeapFree(GetProcessHeap(), 0, unixPath);
    return RunUnixCommand(command);
}

// pkill finds the host by the marker on its command line; "[s]igint" keeps
// the pattern from matching the shell that carries it.
bool SendSigint(const std::string &marker)
{
    return RunUnixCommand("pkill -INT -f -- '[" + marker.substr(0, 1) + "]" + marker.substr(1) +
                              "$'",
                          10000);
}

bool SendCtrlC(const Child &child)
{
    FreeConsole();
    if (!AttachConsole(child.pid))
        return false;
    SetConsoleCtrlHandler(NULL, TRUE);
    BOOL ok = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
    return ok != FALSE;
}

int WineMajorVersion()
{
    typedef const char *(*GetVersionFn)(void);
    FARPROC proc = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version");
    return proc ? atoi(reinterpret_cast<GetVersionFn>(reinterpret_cast<void (*)()>(proc))()) : 0;
}

std::string Crlf(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += '\r';
        result += c;
    }
    return result;
}

std::string ExpectedErrorText(DWORD code)
{
    char *text = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               NULL, code, 0, (LPSTR)&text, 0, NULL);
    std::string result(text ? text : "", len >= 2 ? len - 2 : 0);
    LocalFree(text);
    char hex[16];
    snprintf(hex, sizeof hex, " (0x%lx)", code);
    return result + hex;
}
