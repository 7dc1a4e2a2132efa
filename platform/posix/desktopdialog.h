// Dialogs on the Linux desktop. A program started from a file manager has no
// terminal to write to: when standard error is not a terminal and a
// graphical session exists, message boxes and the progress window become
// dialogs of the desktop's own dialog tool (zenity, else kdialog), started
// as child programs. Without a tool everything stays on standard error.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/platform.h"

namespace plat {
namespace posix {

enum class DialogTool { None, Zenity, Kdialog };

// True when standard error is not a terminal and DISPLAY or WAYLAND_DISPLAY
// names a graphical session.
bool desktopSession();

// The dialog tool to use: zenity when it is on PATH, else kdialog; None
// outside a desktop session or when neither is there.
DialogTool dialogTool();

// The command line of a box: the caption as title, the information or
// warning icon (questions the information icon, as on Windows; kdialog's
// the question icon), questions with Yes and No and No as the default.
std::vector<std::string> boxCommand(DialogTool tool, BoxKind kind, const std::string& caption,
                                    const std::string& text);

enum class DialogAnswer { NotShown, Yes, No };

// Shows the box with the dialog tool and waits for it. NotShown when there
// is no tool or it could not be started; for a question Yes only when the
// user chose Yes (closing the dialog answers No).
DialogAnswer desktopMessageBox(BoxKind kind, const std::wstring& caption, const std::wstring& text);

// ------------------------------------------------------------ progress dialog
// zenity's progress dialog, fed through a pipe: lines "# text" set its text
// (with \n and \\ escapes), lines holding a number its bar in percent. It
// closes when its input ends, also when this process dies.

std::vector<std::string> progressCommand(const std::string& title);

// The text line for the phase text and the estimate below it: one line
// whatever the texts hold, so that a file name cannot pass for a command.
std::string progressTextLine(const std::wstring& phase, const std::wstring& estimate);

// The bar line for a position of 0 ... 1000. A full bar stays just below
// 100 %: the dialog closes itself at 100 %, and only the hide request may
// close it.
std::string progressBarLine(int position);

struct ProgressDialog {
    pid_t pid = -1;
    int input = -1;   // write end of the dialog's standard input, non-blocking
    std::string title;
    std::string shownText, shownBar;   // the lines last sent
};

// Starts the dialog with the title; false when it cannot be started.
bool openProgressDialog(ProgressDialog* dialog, const std::string& title);
// Sends the texts and the bar (0 ... 1000) where they differ from what the
// dialog shows, without ever blocking: a line that does not fit into the
// pipe just now is dropped. False when the dialog has gone (the user closed
// it).
bool showInProgressDialog(ProgressDialog* dialog, const std::wstring& phase,
                          const std::wstring& estimate, int bar);
// Ends the dialog's input, which closes it; the process is collected in the
// background (and ended if it lingers).
void closeProgressDialog(ProgressDialog* dialog);

}  // namespace posix
}  // namespace plat
