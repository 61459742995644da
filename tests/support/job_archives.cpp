#include "support/job_archives.h"

#include "archive/zip_file.h"
#include "support/scratch_files.h"

namespace ostrivan::test_support {

std::string ArchiveOf(const std::vector<std::pair<std::string, std::string>>& entries) {
  TempDir src;
  archive::TBytesStream stream;
  {
    archive::TZipFile zip;
    zip.Open(stream, archive::TZipMode::zmWrite);
    int i = 0;
    for (const auto& [name, content] : entries) {
      const std::string file = src / std::to_string(i++);
      WriteFile(file, content);
      zip.Add(file, name);
    }
    zip.Close();
  }
  const auto& bytes = stream.Bytes();
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace ostrivan::test_support
