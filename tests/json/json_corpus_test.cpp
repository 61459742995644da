// Every document of the public parsing corpus goes through the reader: nothing may
// crash or hang, what is accepted writes and reads back to the same text, and the valid
// documents that are objects or arrays are accepted. (The reader is lenient, so many
// documents meant to be refused are accepted; that is intended.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "json/json_data_objects.h"
#include "json_corpus_path.h"

namespace ostrivan::json {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool IsObjectOrArray(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= 32) continue;
    return c == '{' || c == '[';
  }
  return false;
}

TEST(JsonCorpus, EveryDocumentIsReadSafely) {
  const std::string corpus = OSTRIVAN_JSON_TEST_SUITE;
  if (corpus.empty()) {
    GTEST_SKIP() << "skipped: no JSON test corpus given; configure with "
                    "-DOSTRIVAN_JSON_TEST_SUITE=<JSONTestSuite folder> (make test JSON_TEST_SUITE=<folder>)";
  }
  // A corpus that was named but is not there is a broken set-up, not a reason to skip.
  const fs::path dir = fs::path(corpus) / "test_parsing";
  ASSERT_TRUE(fs::is_directory(dir)) << "JSON test corpus not found: " << dir;
  int files = 0, accepted = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".json") continue;
    ++files;
    const std::string name = entry.path().filename().string();
    const std::string text = ReadFile(entry.path());
    const bool valid_structure = name.rfind("y_", 0) == 0 && IsObjectOrArray(text);
    std::unique_ptr<TJsonBaseObject> document;
    try {
      document = TJsonBaseObject::Parse(text);
    } catch (const EJsonParserException& e) {
      // A valid document may still be refused when its root is a scalar.
      EXPECT_FALSE(valid_structure) << name << " refused: " << e.Message();
      continue;
    }
    if (valid_structure) {
      EXPECT_TRUE(document) << name;
    }
    if (!document) continue;
    ++accepted;
    const std::string once = document->ToJSON();
    std::unique_ptr<TJsonBaseObject> again;
    ASSERT_NO_THROW(again = TJsonBaseObject::Parse(once)) << name << ": " << once;
    ASSERT_TRUE(again) << name;
    EXPECT_EQ(again->ToJSON(), once) << name;
  }
  EXPECT_GT(files, 300);
  EXPECT_GT(accepted, 95);
}

}  // namespace
}  // namespace ostrivan::json
