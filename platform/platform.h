// The one boundary between the program's core and the operating system.
//
// Everything the core needs from the OS is listed here; platform/win32 and
// platform/posix each implement it. The core never includes an OS header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace plat {

// Path separator of this build: '\' on Windows, '/' on POSIX.
// Every character that ends the folder part of a path: both '\' and '/' on
// Windows; only '/' on POSIX, where '\' is an ordinary character of names.
#ifdef _WIN32
constexpr wchar_t kSep = L'\\';
constexpr const wchar_t* kSeparators = L"\\/";
#else
constexpr wchar_t kSep = L'/';
constexpr const wchar_t* kSeparators = L"/";
#endif

// Longest path the OS accepts for a file name (in wide characters, with the
// terminator): MAX_PATH on Windows, PATH_MAX on POSIX.
std::size_t maxPathLength();

// ---------------------------------------------------------------- process
std::wstring modulePath();                       // full path of the running program, as started
int setCurrentDir(const std::wstring& path);     // 0 on success
std::wstring currentDir();
bool getEnv(const wchar_t* name, std::wstring* value);  // true when defined
int putEnv(const std::wstring& assignment);      // "NAME=VALUE"; 0 on success
int unsetEnv(const wchar_t* name);               // removes NAME; 0 on success
uint32_t tickCount();                            // milliseconds, wraps
// The wall clock in whole seconds since 1970, as time() gives it, but read
// straight from the OS: the progress window reads it for every 1024-byte
// block, and the C runtime's time() may look up the time zone on each call.
int64_t unixSeconds();
void sleepMs(uint32_t ms);
void writeStdout(const std::wstring& text);      // text to standard output (UTF-8 on POSIX)
void writeStderr(const std::wstring& text);      // text to standard error, as writeStdout
// Whether standard error is a terminal (a console on Windows) rather than a
// file or a pipe: only a terminal shows a line redrawn in place.
bool stderrIsTerminal();

// ---------------------------------------------------------------- the caller's paths
// The dropped path as the caller meant it. The program works in its own
// folder, so on POSIX a relative path is joined to the folder the program
// was started from; false when that folder is unknown (it was removed).
// Windows keeps the path as it is: Explorer drops absolute paths.
bool resolveCallerPath(std::wstring* path);

// Text the user asked for on the command line (--help, --version). POSIX:
// standard output. Windows: standard output when the program has one (a
// pipe or a file); a program started from Explorer, a shortcut or a console
// prompt has none and shows boxText (text when it is empty), laid out for a
// box's proportional font, in an information box instead.
void showCommandLineText(const std::wstring& caption, const std::wstring& text,
                         const std::wstring& boxText = std::wstring());
// A command line that is not understood, with the usage: the same on
// standard error, and in a warning box on Windows when there is none.
void showCommandLineError(const std::wstring& caption, const std::wstring& text,
                          const std::wstring& boxText = std::wstring());

// ---------------------------------------------------------------- errors
// The last system error code: GetLastError() on Windows, errno on POSIX.
uint32_t lastSystemError();
void setLastSystemError(uint32_t code);
// The system's own text for a code (Windows: FormatMessageW, ends in a line
// break; POSIX: strerror). Empty when the system has none.
std::wstring systemErrorMessage(uint32_t code);
// The C runtime's strerror text for an errno value, as wide text.
std::wstring stdErrorMessage(int errnum);

// ---------------------------------------------------------------- streams
// Standard library streams on wide paths. The mode is a C mode ("rb",
// "rb+", "wb", "ab") optionally carrying the Windows runtime's hints
// S (sequential), T (short-lived) and c (commit); POSIX ignores the hints.
// Child programs never inherit the stream. Failures set errno.
FILE* openFile(const std::wstring& path, const wchar_t* mode);
int seekFile(FILE* f, int64_t offset, int whence);   // 0 on success
int64_t tellFile(FILE* f);                           // -1 on failure
// Push the stream's buffer to the OS and the OS's cache to the disk.
// 0 on success, errno set on failure.
int commitFile(FILE* f);
// Starts writing [offset, offset + length) of an unbuffered stream's file
// from the OS's cache to the disk, without waiting: long outputs reach the
// disk while the program goes on, and their commit has less left to do.
// POSIX (Linux): sync_file_range. Windows: nothing, its cache writes dirty
// data out in the background by itself.
void startWriteback(FILE* f, uint64_t offset, uint64_t length);
// Commits what the OS holds of the file's data to the disk and waits,
// without touching the stream's own buffer or position: another thread may
// call it while the stream's owner goes on writing unbuffered. A head start
// for commitFile, which still follows. 0 on success, errno set on failure.
// POSIX: fdatasync. Windows: FlushFileBuffers on the file's handle.
int commitFileData(FILE* f);
// Exclusive lock on the whole file, blocking until granted; 0 on success.
// Serialises instances of the program that share the file.
int lockFile(FILE* f);
int unlockFile(FILE* f);
// Rename that never replaces an existing file; 0 on success, errno set.
int renameNoReplace(const std::wstring& from, const std::wstring& to);

// ---------------------------------------------------------------- byte-range locks
// A lock on the bytes [offset, offset + length) of a file, which may lie
// beyond its end, between processes and between the streams of one process:
// shared locks go together, an exclusive one stands alone. It belongs to the
// stream and ends with the stream or the process. A shared lock needs a
// stream open for reading, an exclusive one a stream open for writing.
// Returns 0 when granted; 1 when another holder keeps a conflicting lock
// and `wait` is false; -1 on failure (last system error set).
int lockRange(FILE* f, uint64_t offset, uint64_t length, bool exclusive, bool wait);
// Releases exactly a range that lockRange granted; 0 on success.
int unlockRange(FILE* f, uint64_t offset, uint64_t length);
// Remove a file; 0 on success, errno set.
int removeFile(const std::wstring& path);

// ---------------------------------------------------------------- file identity
// What a name holds, as the system reports it for the file itself.
enum class FileKind : uint8_t { File, Folder, Link, Special };
// What tells two names of one file from two files: the volume and the
// file's number on it (device and inode; volume serial number and file
// index) with its creation time where the system keeps one (a number freed
// by a removed file may serve a new file at once); and, for a version of
// the file, its size and last write time when it was asked. Beside them
// what the same call tells about the file: its number of names (hard
// links), its permission bits and its kind.
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    int64_t created = 0;    // in the system's own unit; 0 when unknown
    uint64_t size = 0;
    int64_t modified = 0;   // in the system's own unit
    uint32_t links = 1;
    uint32_t mode = 0;      // POSIX permission bits (0777); 0 where the system has none
    FileKind kind = FileKind::File;
};

// ---------------------------------------------------------------- file system
// These set the last system error on failure.
struct FileInfo {
    bool isDirectory = false;
    bool isLink = false;       // symbolic link, junction or mount point; other reparse
                               // points (deduplicated files, cloud placeholders) are not
    bool isSpecial = false;    // neither file, folder nor link: a pipe, socket or device
    bool isReadOnly = false;
    uint64_t size = 0;
};
// Does not follow a final link. info may be nullptr: then only whether the
// path exists is asked.
bool fileInfo(const std::wstring& path, FileInfo* info);
// Replace 'to' by 'from' in one step (MoveFileExW with replace and write-through).
bool moveReplace(const std::wstring& from, const std::wstring& to);
// As moveReplace, on the disk when it returns, but fails when 'to' exists.
// With commitNow false, the caller makes it durable later with
// commitFolderOf (POSIX: several renames in a folder, one commit; Windows:
// durable at once all the same).
bool moveNoReplace(const std::wstring& from, const std::wstring& to, bool commitNow = true);
bool deleteFile(const std::wstring& path);
bool removeDirectory(const std::wstring& path);
bool createDirectory(const std::wstring& path);            // true also when it exists
// Free bytes on the volume holding 'path' (a file or folder that may not
// exist yet: its folder is asked) and whether the volume is FAT (4 GiB limit).
// A file system that gives no figures (FUSE's FAT driver reports a size of
// 0) reports UINT64_MAX free bytes: its room is unknown, and the writes will
// tell; callers that add to the figure must saturate.
bool volumeSpace(const std::wstring& path, uint64_t* freeBytes, bool* isFat);

// Directory listing. folderPath ends with a separator. findFirst returns
// nullptr on failure. findNext returns 1 with an entry, 0 at the end of the
// listing, -1 on an error (last system error set).
struct DirEntry {
    std::wstring name;
    bool isDirectory = false;
    bool isLink = false;
    bool isSpecial = false;    // as in FileInfo
    uint64_t size = 0;
    FileId id;                 // from listFolder only: what the entry held when listed
};
using DirHandle = void*;
DirHandle findFirst(const std::wstring& folderPath, DirEntry* entry);
int findNext(DirHandle handle, DirEntry* entry);
void findClose(DirHandle handle);

// ---------------------------------------------------------------- randomness
// Cryptographic random bytes (BCryptGenRandom / getrandom); false on failure.
bool cryptoRandom(void* buffer, std::size_t length);

// ---------------------------------------------------------------- child programs
// Runs a program with this process's environment (what putEnv added
// included) and waits until it ends. Returns its exit code, or -1 when it
// could not be started (last system error set).
// Windows: the command line is the program path followed by the arguments,
// joined by single blanks, each exactly as given (callers quote what needs
// quoting); the program path is enclosed in double quotes when it holds a
// blank, so that the child reads it as one word. POSIX: each argument
// reaches the program as it is; no shell.
int runChildAndWait(const std::wstring& program, const std::vector<std::wstring>& args);

// ---------------------------------------------------------------- Secure Workspace
// An argument for runChildAndWait that reaches the child as exactly this
// text. Windows: enclosed in double quotes, which the child's command-line
// reading removes (the text holds no double quote and does not end in '');
// POSIX: unchanged.
std::wstring childArgument(const std::wstring& text);
// Time of the last change of a file or folder, in seconds since 1970-01-01
// UTC; false when it cannot be read (last system error set).
bool modifiedTime(const std::wstring& path, int64_t* seconds);
// The absolute path of the file a path reaches once every link in it is
// followed (an archive reached through a symbolic link is changed where it
// really is); false when it cannot be found (last system error set).
bool finalPath(const std::wstring& path, std::wstring* target);

// ---------------------------------------------------------------- single instance
// Create the named mutex (held until the process ends). Returns 0 when this
// process now owns a new mutex, 1 when it existed already (Windows: or cannot
// be made), 2 when no guard can be made at all (POSIX: no folder private to
// the user for its lock file); *why then says why, for the user.
int createNamedMutex(const std::wstring& name, std::wstring* why = nullptr);

// ---------------------------------------------------------------- user interface
enum class BoxKind { Information, Warning, Question };
// Shows a box without owner window. Question boxes have Yes/No with No as
// default; returns true when Yes (or OK) was chosen.
bool messageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text);
// A question box that tells a No from a question nobody could be asked:
// NotAsked when no box could be shown and there is no terminal to ask on
// (POSIX: a dialog tool that cannot reach its display). Windows always asks.
enum class Answer { Yes, No, NotAsked };
Answer askQuestion(const std::wstring& caption, const std::wstring& text);
// Tell the shell that anything may have changed (SHChangeNotify).
void shellNotifyAll();

// Progress window. The core (ui/progress) owns the phase logic; the backend
// owns the window, its thread and its show/hide timers.
bool progressWindowStart();                 // start thread and window; true when it exists
bool progressWindowReady();
void progressWindowSetText(int controlId, const std::wstring& text);   // 1001 phase, 1002 estimate
void progressWindowSetTitle(const std::wstring& title);
void progressWindowSetBar(int position);    // 0 ... 1000
void progressWindowRequestShow();           // shown after 100 ms unless hidden before
void progressWindowRequestHide();           // hidden after 200 ms unless shown again before

// ---------------------------------------------------------------- editing a working copy
// The open command hands a file to the application that edits it and waits
// until that application is done with it. The wait's rules live in the core
// (app/openwait); these are the system's pieces.

// The last system error when no application is associated with a file's
// type: ERROR_NO_ASSOCIATION on Windows; on POSIX a code of the program's
// own, which systemErrorMessage knows.
extern const uint32_t kNoAssociationError;

// How a document reaches the application that edits it.
enum class EditorRoute {
    Desktop,    // the application associated with its type, which may run on after the launch
    Terminal,   // POSIX: the user's VISUAL or EDITOR, in the foreground of this terminal
    None,       // POSIX: neither a terminal editor nor a graphical session
};
EditorRoute editorRoute();

using ProcessHandle = void*;
// Hands the file to its application along the route. Desktop: *process is
// the started process, or nullptr when an application that was already
// running took the document. Terminal: returns once the editor has exited,
// *process nullptr. 0 on success; 1 with the last system error set
// (kNoAssociationError when no application is associated with the type).
int launchEditor(const std::wstring& path, EditorRoute route, ProcessHandle* process);
// Waits without a time limit for a process that launchEditor started, then
// lets go of it; returns at once for nullptr.
void waitForProcess(ProcessHandle process);
// How the terminal editor that launchEditor ran last ended: empty when it
// exited with status 0; otherwise what happened, for the user ("it exited
// with status 3", "it was ended by signal 9 (Killed)"). Windows: always empty.
std::wstring terminalEditorFailure();

// The desktop's windows: top-level windows and their descendants, as
// Windows or an X11 display shows them.
using WindowHandle = uintptr_t;
using WindowVisitor = bool (*)(WindowHandle window, void* data);   // false stops the enumeration
// True when the desktop's windows can be seen (Windows: always; POSIX: an
// X11 display reached through the X11 client library, loaded at run time).
bool canWatchWindows();
void enumTopWindows(WindowVisitor visit, void* data);
void enumChildWindows(WindowHandle parent, WindowVisitor visit, void* data);
// The window's text (its title); false when there is none or it cannot be read.
bool windowText(WindowHandle window, std::wstring* text);
// Full path of the program file behind the window; empty when unknown.
std::wstring windowModulePath(WindowHandle window);

// Whether another program still has the file open. Windows: an open for
// exclusive access fails with a sharing violation. POSIX: another process
// holds a descriptor of it (under /proc).
enum class FileHold { Free, Held, Unknown };   // Unknown: the last system error says why
FileHold fileHold(const std::wstring& path);

// While on, files that the program creates are for the user alone (POSIX:
// mode 0600; Windows: unchanged, the folder's permissions apply).
void ownerOnlyFiles(bool on);

// True when a Question box reaches a user who can answer it.
bool canAskQuestions();

// ---------------------------------------------------------------- identity and durable steps
// The identity of the file a path names (a final link is followed); false
// when it cannot be learnt (last system error set).
bool fileIdentity(const std::wstring& path, FileId* id);
// What the name holds now, a final link not followed (a link gives its own
// identity, kind Link); false when nothing stands there.
bool nameIdentity(const std::wstring& path, FileId* id);
// The identity of the file an open stream reads or writes.
bool streamIdentity(FILE* f, FileId* id);
// One file: same volume, file number and (where known) creation time.
inline bool sameFileId(const FileId& a, const FileId& b) {
    return a.volume == b.volume && a.index == b.index &&
           (a.created == 0 || b.created == 0 || a.created == b.created);
}
// One file, unchanged: the same file with the same size and last write time.
inline bool sameVersion(const FileId& a, const FileId& b) {
    return sameFileId(a, b) && a.size == b.size && a.modified == b.modified;
}
// True when both paths name one existing file, whatever their spelling
// (letter case, short names, a trailing dot, links).
bool sameFile(const std::wstring& a, const std::wstring& b);
// The path made absolute against the current folder, links left as they are.
std::wstring absolutePath(const std::wstring& path);
// Creates a new file for binary writing, readable and writable by its owner
// alone (POSIX: mode 0600; Windows: the folder's permissions); fails with
// errno EEXIST when the name is taken, whatever it names.
FILE* createNewFile(const std::wstring& path);
// Makes the latest changes to the entries of the folder holding 'path'
// (files created, renamed or removed) durable.
void commitFolderOf(const std::wstring& path);
// The same absolute path on the system's other drives, where a removable
// drive that got another drive letter stands now (Windows: every other
// letter from C: that holds a volume, asked without the system's "no disk"
// prompts); POSIX: none, a drive comes back at its mount point.
std::vector<std::wstring> samePathOnOtherDrives(const std::wstring& path);
// Whether a file could be created in 'folder' now; finds out without
// leaving anything behind.
bool folderWritable(const std::wstring& folder);
// Gives the file of an open stream these permission bits, never more open
// than the process's file creation mask allows (POSIX; Windows: nothing,
// the folder's permissions apply). 0 on success.
int setPermissions(FILE* f, uint32_t mode);

// ---------------------------------------------------------------- acting on the very file
// A regular file opened under its name without following a link there
// (POSIX O_NOFOLLOW; Windows FILE_FLAG_OPEN_REPARSE_POINT and the handle's
// attributes), for reading or for reading and writing; *id is what the
// handle holds. nullptr when the name holds no regular file (errno ELOOP
// for a link, EISDIR for a folder, EINVAL for a pipe or device) or it
// cannot be opened (errno set). A stream opened for writing can be renamed
// and removed below.
FILE* openNoFollow(const std::wstring& path, bool write, FileId* id);
// What a step on a held file found.
enum class HeldStep {
    Done,
    Elsewhere,   // the name no longer holds the held file: nothing was done
    Failed,      // the system refused (errno set; EEXIST: the new name is taken)
};
// True when the name holds the stream's file now.
bool nameHolds(const std::wstring& path, FILE* f);
// Renames the stream's file from 'from' to 'to', never replacing a file
// there, and only while 'from' holds it (Windows: through the handle
// itself; POSIX: checked just before, and after, undone when the new name
// turns out to hold another file). Not committed to the disk: the erase
// records every name a file will have before it renames it.
HeldStep renameHeld(FILE* f, const std::wstring& from, const std::wstring& to);
// Removes the name of the stream's file, only while it holds it (Windows:
// through the handle; POSIX: checked just before). The caller closes the
// stream afterwards. Durable when Done, unless commitNow is false (see
// moveNoReplace).
HeldStep removeHeld(FILE* f, const std::wstring& name, bool commitNow = true);
// Opens the name without following a link and removes it as removeHeld,
// only while it holds `expected` (the same file; with sameVersionOnly also
// the same size and last write time). Elsewhere when it holds another file;
// Failed when it cannot be opened (errno set: ENOENT when nothing is there).
HeldStep removeExpected(const std::wstring& path, const FileId& expected, bool sameVersionOnly,
                        bool commitNow = true);

// ---------------------------------------------------------------- walking folders on handles
// A folder held open while it is walked. Windows: opened without sharing
// its deletion, so that neither it nor its name can be replaced while it is
// held. POSIX: entries are listed and asked through the folder's own
// descriptor, never through a path that could be redirected.
using FolderHandle = void*;
// The folder a path names, not through a link at its end; nullptr when it
// is no folder (errno ENOTDIR or ELOOP) or cannot be opened (last system
// error set). *id is what the handle holds.
FolderHandle openFolder(const std::wstring& path, FileId* id);
// The entry 'name' of a held folder, when it is a folder and no link
// (path is its full path, for the messages and for Windows).
FolderHandle openSubfolder(FolderHandle parent, const std::wstring& name, const std::wstring& path,
                           FileId* id);
// The listing of a held folder whose path is folderPath (ending with a
// separator), "." and ".." left out; each entry with what it held when
// listed. 0 on success; -1 when the listing could not be started, -2 when
// it failed part-way (last system error set).
int listFolder(FolderHandle folder, const std::wstring& folderPath, std::vector<DirEntry>* entries);
// What the entry 'name' of a held folder holds now, a link not followed.
bool entryIdentity(FolderHandle folder, const std::wstring& name, const std::wstring& path, FileId* id);
void closeFolder(FolderHandle folder);

// ---------------------------------------------------------------- guards and lock files
// A guard held by one instance of the program at a time, by name (Windows:
// a named mutex; POSIX: a locked file in a folder private to the user).
using GuardHandle = void*;
// 0 when this process now holds the guard; 1 when another instance holds
// it; 2 when no guard can be made at all (*why then says why, for the user).
int takeGuard(const std::wstring& name, GuardHandle* guard, std::wstring* why = nullptr);
void releaseGuard(GuardHandle guard);

// A lock file that no other run can lock before its owner: created under a
// name of its own, locked (its first byte, exclusively), and only then put
// under path. nullptr when it cannot be made (errno EEXIST: path is taken).
// The name of its own is path followed by kLockingSuffix.
FILE* createLockedFile(const std::wstring& path);
constexpr const wchar_t* kLockingSuffix = L".locking";
// Opens an existing lock file to lock it; removeFile works on it while it
// is open (and locked) by this run or another.
FILE* openLockFile(const std::wstring& path);

}  // namespace plat
