// POSIX backend: the program's own path, environment, time and error texts.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <unistd.h>
#include <sys/stat.h>

#include "platform/platform.h"
#include "platform/posix/startup.h"
#include "platform/utf8.h"

namespace plat {

namespace {
std::string startPath;
// The folder the program was started from; empty when it has no name.
std::string startFolder;

std::string currentFolder() {
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) : std::string();
}

bool isExecutableFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Makes a path absolute against the current folder and drops "." parts;
// symbolic links are kept, so a link named Encrypt keeps its own name and folder.
std::string absoluteOf(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') full = currentFolder() + "/" + full;
    std::string out;
    std::size_t i = 0;
    while (i < full.size()) {
        std::size_t next = full.find('/', i);
        if (next == std::string::npos) next = full.size();
        std::string part = full.substr(i, next - i);
        if (!part.empty() && part != ".") out += "/" + part;
        i = next + 1;
    }
    return out.empty() ? "/" : out;
}
}  // namespace

void setStartPath(const char* argv0) {
    startFolder = currentFolder();
    std::string path = argv0 ? argv0 : "";
    if (path.find('/') == std::string::npos) {
        const char* searchPath = std::getenv("PATH");
        std::string dirs = searchPath ? searchPath : "";
        std::size_t i = 0;
        while (i <= dirs.size()) {
            std::size_t next = dirs.find(':', i);
            if (next == std::string::npos) next = dirs.size();
            std::string dir = dirs.substr(i, next - i);
            std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + path;
            if (isExecutableFile(candidate)) {
                path = candidate;
                break;
            }
            i = next + 1;
        }
    }
    startPath = absoluteOf(path);
}

std::wstring argumentToWide(const char* argument) { return utf8::pathToWide(argument); }

std::size_t maxPathLength() { return PATH_MAX; }

bool resolveCallerPath(std::wstring* path) {
    if (path->empty() || (*path)[0] == L'/') return true;
    if (startFolder.empty()) return false;
    std::wstring folder = utf8::pathToWide(startFolder);
    if (folder.back() != L'/') folder += L'/';
    *path = folder + *path;
    return true;
}

std::wstring modulePath() {
    if (!startPath.empty()) return utf8::pathToWide(startPath);
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? utf8::pathToWide(std::string(buffer, n)) : std::wstring();
}

int setCurrentDir(const std::wstring& path) {
    return ::chdir(utf8::pathFromWide(path).c_str()) == 0 ? 0 : 1;
}

std::wstring currentDir() {
    return utf8::pathToWide(currentFolder());
}

bool getEnv(const wchar_t* name, std::wstring* value) {
    // Values may be paths (VKLIB_MANUFACTURER): their bytes are kept.
    const char* v = std::getenv(utf8::pathFromWide(name).c_str());
    if (!v) return false;
    if (value) *value = utf8::pathToWide(v);
    return true;
}

int putEnv(const std::wstring& assignment) {
    std::size_t eq = assignment.find(L'=');
    if (eq == std::wstring::npos || eq == 0) return 1;
    std::string name = utf8::pathFromWide(assignment.substr(0, eq));
    std::string value = utf8::pathFromWide(assignment.substr(eq + 1));
    return ::setenv(name.c_str(), value.c_str(), 1) == 0 ? 0 : 1;
}

int unsetEnv(const wchar_t* name) {
    return ::unsetenv(utf8::pathFromWide(name).c_str()) == 0 ? 0 : 1;
}

uint32_t tickCount() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000);
}

int64_t unixSeconds() { return static_cast<int64_t>(::time(nullptr)); }

void sleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void writeStdout(const std::wstring& text) {
    std::string bytes = utf8::fromWide(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void writeStderr(const std::wstring& text) {
    std::string bytes = utf8::fromWide(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

void showCommandLineText(const std::wstring&, const std::wstring& text, const std::wstring&) {
    writeStdout(text);
}

void showCommandLineError(const std::wstring&, const std::wstring& text, const std::wstring&) {
    writeStderr(text);
}

uint32_t lastSystemError() { return static_cast<uint32_t>(errno); }
void setLastSystemError(uint32_t code) { errno = static_cast<int>(code); }

std::wstring systemErrorMessage(uint32_t code) {
    if (code == kNoAssociationError) return L"No application is associated with this type of file";
    return stdErrorMessage(static_cast<int>(code));
}

std::wstring stdErrorMessage(int errnum) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = ::strerror_r(errnum, buffer, sizeof buffer);
    return utf8::toWide(text ? text : "");
}


}  // namespace plat
