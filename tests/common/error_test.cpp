// File-system failures carry their path and errno beside the message their reader sees;
// the wording stays the one replies and logs have always shown.
#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "common/file_system.h"

namespace ostrivan {
namespace {

TEST(ErrorConvention, FileFailuresCarryPathAndErrnoWithTheirUsualWording) {
  struct Case {
    const char* name;
    Exception error;
    std::string class_name;
    std::string message;
    std::string path;
    int code;
  };
  const Case cases[] = {
      {"MakeOSError", MakeOSError(ENOENT, "/x/y"), "EOSError", "System Error.  Code: 2.\r\nNo such file or directory",
       "/x/y", ENOENT},
      {"MakeOSError without path", MakeOSError(EACCES), "EOSError", "System Error.  Code: 13.\r\nPermission denied", "",
       EACCES},
      {"CannotCreateFile", CannotCreateFile("/in/Lavoro.zip", EBUSY), "EFCreateError",
       "Cannot create file \"/in/Lavoro.zip\". Device or resource busy", "/in/Lavoro.zip", EBUSY},
      {"plain", Exception("Modo gestione file non impostato"), "Exception", "Modo gestione file non impostato", "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.Message(), c.message) << c.name;
    EXPECT_EQ(c.error.Path(), c.path) << c.name;
    EXPECT_EQ(c.error.Errno(), c.code) << c.name;
  }
  EXPECT_STREQ(MakeOSError(ENOENT, "/x").ClassName(), "EOSError");
  EXPECT_STREQ(CannotCreateFile("/x", EBUSY).ClassName(), "EFCreateError");
  EXPECT_EQ(CannotCreateFileText("/x", EBUSY), CannotCreateFile("/x", EBUSY).Message());
}

// A real failure: the file cannot be made because its folder does not exist.
TEST(ErrorConvention, AFailedWriteNamesItsPathAndTheSystemsErrno) {
  const std::string path = "/nonexistent-ostrivan-folder/f.txt";
  try {
    WriteWholeFile(path, "x");
    FAIL() << "written";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Path(), path);
    EXPECT_EQ(e.Errno(), ENOENT);
    EXPECT_EQ(e.Message(), "Cannot create file \"" + path + "\". No such file or directory");
  }
}

}  // namespace
}  // namespace ostrivan
