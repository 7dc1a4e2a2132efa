// The commands a dropped path is handed to. Each returns 0 for success and
// 1 for failure, after reporting.
#pragma once

int decryptCommand(const wchar_t* path);
int encryptCommand(const wchar_t* path);
int statusCommand();
int openCommand(const wchar_t* path);   // app/open.cpp

// Folders dropped on Open, and archives: the Secure Workspace.
#include "workspace/workspace.h"
