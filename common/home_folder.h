// The user's home and configuration folders on Linux and macOS, where the
// native printgate keeps and reads its per-user files.
//
// Backend: home_folder_posix.cpp (Linux, macOS) only.
#pragma once
#include <string>

// $HOME when it is an absolute path, else the password database's entry for
// this user; empty when neither gives one. Does not block.
std::string HomeFolder();

// The user's configuration folder: $XDG_CONFIG_HOME when absolute (a
// relative one is invalid and ignored, as the XDG rules say), else
// ~/.config; on macOS ~/Library/Application Support. Empty without a home.
std::string UserConfigFolder();
