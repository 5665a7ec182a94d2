#pragma once
// File-name arithmetic of the repair job. Paths are UTF-8 and "/" separates folders.
#include <cstdint>
#include <string>

namespace clw {

// Everything up to and including the last "/", or "" when there is none.
std::string DirectoryPart(const std::string& Path);
// The part after the last "/".
std::string FileNamePart(const std::string& Path);
// From the last "." of the file name on, dot included; "" when the name has none.
std::string ExtensionOf(const std::string& Path);
// Appends "/" unless the text is empty or already ends with one.
std::string WithTrailingSlash(const std::string& Directory);

struct TOutputNames {
  std::string OutputFileName; // OutputDirectory + base + " (copy)" + ext
  std::string LogFileName;    // base + ".log", without directory
};
TOutputNames MakeOutputNames(const std::string& InputPath, const std::string& OutputDirectory);

// The name to take instead of OutputFileName when that and the numbers before N are taken:
// "clip (copy).avi" gives "clip (copy N).avi"; a name of the user's own, "fixed.avi",
// gives "fixed (N).avi". N from 2 on.
std::string NumberedOutputName(const std::string& OutputFileName, int32_t N);

// True when both names reach the same file: the same device and inode when both exist
// (another spelling, a symbolic or a hard link), else the same canonical path.
bool IsSameFile(const std::string& A, const std::string& B);

} // namespace clw
