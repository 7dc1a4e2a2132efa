// Opening a file in the application that edits it, and waiting until that
// application is done with it.
#pragma once

// 0 once the application has let go of the file. 1 after reporting, before
// any application received the file: a window already showed a file of that
// name, the launch failed (the launch's system error stays readable:
// plat::kNoAssociationError when no application is associated with the
// type), or the end of the editing could not be told on this system.
// Once an application has received the file, after reporting:
// kEditorFailed when the terminal editor exited with a status other than 0
// or was ended by a signal (its changes may be partial), kEndUnknown when the
// user had to say that the file is closed and no question could be shown.
constexpr int kEditorFailed = 2;
constexpr int kEndUnknown = 3;
int openAndWait(const wchar_t* path);
