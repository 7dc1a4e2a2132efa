// Opening a file in the application that edits it, and waiting until that
// application is done with it.
#pragma once

// 0 once the application has let go of the file. 1 after reporting: a
// window already showed a file of that name, the launch failed (the launch's
// system error stays readable: plat::kNoAssociationError when no
// application is associated with the type), or the end of the editing could
// not be told on this system. It never fails once an application has
// received the file.
int openAndWait(const wchar_t* path);
