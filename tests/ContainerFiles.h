// Helpers of the reliability tests: read back what a container file holds,
// on a fresh connection made through the library.
#pragma once

#include <set>
#include <string>

// "ok", or what PRAGMA integrity_check (or opening the file) reported.
std::string IntegrityCheck(const std::string& file);
// Every file of the container as its full path (folder name and file name).
std::set<std::string> StoredFilePaths(const std::string& file);
std::set<std::string> StoredFolderNames(const std::string& file);
// Whether a -wal or -shm file lies beside `file`.
bool HasSideFiles(const std::string& file);
// Removes the file and its side files, if present.
void RemoveContainerFiles(const std::string& file);
