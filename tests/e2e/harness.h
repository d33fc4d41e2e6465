// End-to-end harness: runs the real vizad.exe under Wine with installations
// whose control scripts drive the fixture program, and reads what happened.
#ifndef VIZAD_TESTS_E2E_HARNESS_H
#define VIZAD_TESTS_E2E_HARNESS_H

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// The host's own texts, as its console prints them before line ends are
// turned into CR LF.
inline constexpr char kDebugging[] = "Debugging Ulvane Trelox ZUVO.\n";
inline constexpr char kStopping[] = "Stopping Ulvane Trelox ZUVO";
inline constexpr char kUsage[] =
    "VIZAD -install\t\tto install the service\n"
    "VIZAD -remove\t\tto remove the service\n"
    "VIZAD -debug <params>\tto run as a console application for debugging\n";
inline constexpr char kSuffix[] = "\\bin\\revaduzeza.bat";  // appended to the root

// Folders and files.
std::string ExeDir();                          // where e2e_tests.exe and fixture.exe are
std::string VizadPath();                       // the session's copy of the built vizad.exe
std::string FixturePath();
std::string NewTestDir(const std::string &name);  // a fresh folder under the build tree's scratch
void WriteTextFile(const std::string &path, const std::string &text);
std::string ReadTextFile(const std::string &path);  // "" when missing
bool FileExists(const std::string &path);
void MakeDirs(const std::string &path);
std::vector<std::string> ReadLines(const std::string &path);  // without line ends
void RemoveTree(const std::string &path);  // best effort: what cannot go stays

// Runs a clean-up when the scope ends, on every path out of a test.
class OnExit {
public:
    explicit OnExit(std::function<void()> action) : action_(std::move(action)) {}
    ~OnExit() { action_(); }
    OnExit(const OnExit &) = delete;
    OnExit &operator=(const OnExit &) = delete;

private:
    std::function<void()> action_;
};

// Polls cond every 20 ms until it holds or timeoutMs passes.
bool WaitFor(const std::function<bool()> &cond, DWORD timeoutMs);

// An installation: root\bin\revaduzeza.bat. The standard script appends
// "run [%0] [%*]" or "stop [%0] [%*]" to log for every instance; the run
// instance then serves the named event until the stop instance sets it.
struct Installation {
    std::string root;     // the value for ZOVOVEV
    std::string script;   // root\bin\revaduzeza.bat
    std::string log;      // one line per script instance
    std::string event;    // unique name of the run instance's event
};
// runBody and stopBody replace the standard lines after the log line when
// not empty (lines of batch, CRLF added); in them %EVENT% is the event's
// name and %FIXTURE% the quoted path of fixture.exe.
Installation MakeInstallation(const std::string &root, const std::string &runBody = "",
                              const std::string &stopBody = "");
std::vector<std::string> ScriptCalls(const Installation &inst);  // the log's lines
size_t CountCalls(const Installation &inst, const char *kind);    // lines starting with kind

// Environment changes for a child: each entry "NAME=value" sets NAME (other
// spellings of it are removed first), "NAME" alone removes it. ZOVOVEV is
// always removed first, so a child has it only when the changes set it.
// Entries are UTF-8, and the child gets them in Unicode: a value may hold
// characters that the ANSI code page lacks.
typedef std::vector<std::string> EnvChanges;

struct Child {
    HANDLE process = NULL;
    DWORD pid = 0;
    std::string errPath;       // the child's standard error (Wine's own channels go
                               // to the test's Unix standard error instead)
    std::string outPath;       // its standard output, with StdOut::File
    struct Reader *reader = nullptr;
    HANDLE job = NULL;         // the child and every process it starts
};
// What the child gets as its standard output.
enum class StdOut {
    Pipe,        // a pipe read in the background into Outcome::out
    Null,        // a NULL handle
    Invalid,     // INVALID_HANDLE_VALUE
    ClosedPipe,  // a pipe whose read end is closed before the child starts
    File,        // a file, read into Outcome::out when the child has ended
};
// Starts vizad.exe (or another program) with args; standard output is as
// stdOut says; standard error goes to a file. With newConsole the child
// gets a console of its own, so that Ctrl+C can reach it.
Child StartProgram(const std::string &exe, const std::string &args, const EnvChanges &env,
                   bool newConsole, StdOut stdOut = StdOut::Pipe);
Child StartVizad(const std::string &args, const EnvChanges &env, bool newConsole = true,
                 StdOut stdOut = StdOut::Pipe);

struct Outcome {
    bool exited = false;       // false: still running after the timeout (then killed)
    DWORD exitCode = 0;
    std::string out;           // everything written to standard output, bytes as written
    std::string err;
};
// Waits for the child to end (after timeoutMs ending it and every process it
// started) and for its output pipe to close; releases the child.
Outcome FinishChild(Child &child, DWORD timeoutMs = 60000);
Outcome RunVizad(const std::string &args, const EnvChanges &env, DWORD timeoutMs = 60000);

// True once the run instance's server has made its event, and while it runs.
bool WaitForServer(const Installation &inst, DWORD timeoutMs = 30000);
bool ServerRunning(const Installation &inst);
// Ends the run instance's server as its stop instance would (false: none).
bool StopServer(const Installation &inst);

// Delivers Ctrl+C the way Windows does it: attach to the child's console and
// raise the event there (the harness itself ignores it). Every process on
// that console gets it: under Wine the script's cmd.exe ends at once.
bool SendCtrlC(const Child &child);

// Runs a Unix shell command (sh -c) and waits up to timeoutMs for it to end.
// Wine starts Unix programs but hands back no handle to wait on: the shell
// leaves a file when the command is done. A Wine program started from there
// joins this Wine session, and may have a path longer than CreateProcess
// takes (Wine's CreateProcess fails with 2 beyond 260 characters).
bool RunUnixCommand(const std::string &command, DWORD timeoutMs = 30000);
std::string UnixPath(const std::string &windowsPath);  // Z:\a\b -> /a/b, C:\a -> prefix's drive_c/a
// chmod MODE on the Unix file behind a Windows path (any drive). Wine makes
// a file's security from its mode: o+w shows as Everyone allowed to write.
bool ChangeUnixMode(const std::string &windowsPath, const char *mode);

// Delivers SIGINT to the host alone, which Wine turns into one Ctrl+C for
// its handlers: start the host with the marker as a last argument
// ("-debug " + marker; further words are ignored) and pass it here.
std::string NewMarker();
bool SendSigint(const std::string &marker);

// The Wine release the tests run under (8, 10, ...), 0 outside Wine.
int WineMajorVersion();

// Output helpers.
std::string Crlf(const std::string &text);  // "\n" -> "\r\n"
// What the host prints for error code: the system's text without its line
// end, then the code in hex. Computed here, as the texts differ by system.
std::string ExpectedErrorText(DWORD code);

#endif
