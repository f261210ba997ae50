// The user's home folder on Linux and macOS, where the native printgate
// keeps its per-user files.
//
// Backend: home_folder_posix.cpp (Linux, macOS) only.
#pragma once
#include <string>

// $HOME when it is an absolute path, else the password database's entry for
// this user; empty when neither gives one. Does not block.
std::string HomeFolder();
