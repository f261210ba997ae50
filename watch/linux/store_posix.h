// The Linux store backend's one setting of its own: which file holds the
// settings the Windows build keeps in the registry.
#pragma once

constexpr char kDefaultSettingsFile[] = "/etc/printerwatch.conf";

// Used from the next key opened on; the default until then.
void SetSettingsFile(const char* path);
