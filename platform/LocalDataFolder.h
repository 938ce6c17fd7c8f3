// The per-user local data folder, where the server publishes its port file.
#pragma once

#include <optional>
#include <string>

// $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share; no
// value when neither can be found. No trailing '/'.
std::optional<std::string> LocalDataFolder();
