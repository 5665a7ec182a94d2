#include "app/PathNames.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace clw {

std::string DirectoryPart(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

std::string FileNamePart(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

std::string ExtensionOf(const std::string& Path) {
  const std::string name = FileNamePart(Path);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string WithTrailingSlash(const std::string& Directory) {
  if (Directory.empty() || Directory.back() == '/') return Directory;
  return Directory + '/';
}

TOutputNames MakeOutputNames(const std::string& InputPath, const std::string& OutputDirectory) {
  const std::string name = FileNamePart(InputPath);
  const std::string ext = ExtensionOf(InputPath);
  const std::string base = name.substr(0, name.size() - ext.size());
  return {OutputDirectory + base + " (copy)" + ext, base + ".log"};
}

std::string NumberedOutputName(const std::string& OutputFileName, int32_t N) {
  static const std::string kCopy = " (copy)";
  const std::string ext = ExtensionOf(OutputFileName);
  const std::string base = OutputFileName.substr(0, OutputFileName.size() - ext.size());
  const std::string number = std::to_string(N);
  if (base.size() >= kCopy.size() &&
      base.compare(base.size() - kCopy.size(), kCopy.size(), kCopy) == 0)
    return base.substr(0, base.size() - 1) + " " + number + ")" + ext;
  return base + " (" + number + ")" + ext;
}

bool IsSameFile(const std::string& A, const std::string& B) {
  struct stat a {
  }, b{};
  if (::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0)
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  std::error_code ecA, ecB;
  const auto canonicalA = std::filesystem::weakly_canonical(std::filesystem::absolute(A, ecA), ecA);
  const auto canonicalB = std::filesystem::weakly_canonical(std::filesystem::absolute(B, ecB), ecB);
  if (ecA || ecB) return A == B;
  return canonicalA == canonicalB;
}

} // namespace clw
