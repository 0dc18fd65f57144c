#pragma once
// Starting programs and opening documents, the way the original platform's shell "open" verb
// does: an executable file is started directly; anything else (a document, a folder, a URL) is
// handed to the desktop's opener, xdg-open.
//
// A started process is represented by a process handle: a number of the launcher's own (1, 2, 3
// ... never reused in a run) that the movie sees and WaitForProcessHandle (Processes.h) waits on,
// backed by a pidfd while the process lives. Each start reaps the children that have ended and
// closes their pidfds, so neither zombies nor descriptors pile up; a handle of a reaped child
// means nothing any more. Any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The outcome codes of the original shell's "open": above 32 is success.
constexpr int kShellSuccess = 33;
constexpr int kShellFileNotFound = 2;
constexpr int kShellPathNotFound = 3;
constexpr int kShellAccessDenied = 5;
constexpr int kShellOutOfMemory = 8;
constexpr int kShellBadFormat = 11;
constexpr int kShellNoAssociation = 31;

// The shell code for a failed start's errno: ENOENT 2; ENOTDIR, ENAMETOOLONG, ELOOP 3; ENOMEM,
// E2BIG, EAGAIN 8; ENOEXEC, ELIBBAD 11; anything else 5.
int ShellCodeForError(int error);

// Splits `text` into words as a POSIX shell does, without any expansion: blanks, tabs and line
// feeds separate words; single quotes keep everything up to the next one; double quotes keep
// everything but \", \\, \$ and \`, which lose their backslash; a backslash outside quotes keeps
// the next character. An unterminated quote runs to the end of the text.
std::vector<std::string> SplitShellWords(std::string_view text);

struct SpawnResult {
  int error = 0;               // 0, or the errno of the failed start
  int pid = -1;                // the child's id, or -1
  int64_t processHandle = 0;   // the process handle, or 0 when the start failed or no pidfd could be had
};

// Starts `program` (a path; a name without '/' is looked up in PATH) with `arguments` as its argv
// (arguments[0] included) in `workingDirectory` (the launcher's own when empty). The child gets
// the launcher's environment, default signal handling and an empty signal mask.
SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& workingDirectory);

struct ShellOpenResult {
  int instApp = 0;            // kShellSuccess, or one of the failure codes above
  int64_t processHandle = 0;  // the process handle on success (0 when none could be had)
};

// "open" on `file` with `parameters` (split by SplitShellWords, passed to an executable only) in
// `workingDirectory` (the launcher's own when empty). A relative `file` is found from the
// launcher's current directory; a name without '/' that is not there is looked up in PATH. A
// text that starts with a URL scheme ("https:", "mailto:") and names no existing file is a URL.
// The opener gets the file's absolute path (or the URL) and no parameters; when there is no
// opener, the answer is kShellNoAssociation.
ShellOpenResult ShellOpen(const std::string& file, const std::string& parameters, const std::string& workingDirectory);

// Reaps every child started here that has ended and closes its pidfd: its process handle is no
// longer waited on.
void ReapEndedChildren();

}  // namespace platform
