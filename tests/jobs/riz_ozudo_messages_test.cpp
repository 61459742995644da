// The job messages: their JSON form, reading request bodies, file-handling modes and
// the payload operations.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/base64.h"
#include "jobs/riz_ozudo_messages.h"
#include "web/serializer_json.h"

namespace ostrivan::jobs {
namespace {

namespace fs = std::filesystem;
using web::EMVCException;
using web::TMVCJsonSerializer;

// "" when reading succeeded, else "<class> <status>: <message>".
std::string ReadOutcome(std::string_view body, json::TObject& target) {
  TMVCJsonSerializer serializer;
  try {
    serializer.DeserializeObject(body, &target);
  } catch (const EMVCException& e) {
    return std::string(e.ClassName()) + " " + std::to_string(e.HttpErrorCode()) + ": " + e.Message();
  }
  return "";
}

TEST(RizOzudoMessagesWrite, RepliesInKeyOrder) {
  TMVCJsonSerializer serializer;
  TRizOzudoExportLavoroResponse export_reply;
  export_reply.FNomeFile = "a.zip";
  export_reply.FStream = "QUJD\r\nREVG";
  export_reply.FNrMacchina = 3;
  EXPECT_EQ(serializer.SerializeObject(&export_reply),
            R"({"Errore":false,"Messaggio":"","NomeFile":"a.zip","Stream":"QUJD\r\nREVG","NrMacchina":3})");

  TRizOzudoImportLavoroResponse import_reply;
  EXPECT_EQ(serializer.SerializeObject(&import_reply), R"({"Errore":false,"Messaggio":""})");
  import_reply.FErrore = true;
  import_reply.FMessaggio = "x";
  EXPECT_EQ(serializer.SerializeObject(&import_reply), R"({"Errore":true,"Messaggio":"x"})");

  TRizOzudoExportLavoroRequest export_request;
  export_request.SetModoGestioneFile(TModoGestionefile::mRottler);
  EXPECT_EQ(serializer.SerializeObject(&export_request), R"({"CodiceCommessa":"","ModoGestioneFile":"ROTTLER"})");
}

TEST(RizOzudoMessagesRead, ImportRequestBodies) {
  struct Case {
    std::string body;
    std::string outcome;
    std::string nome_file;
    std::string stream;
  };
  const std::string typecast = "EMVCException 400: Invalid class typecast for property ";
  const Case cases[] = {
      {R"({"NomeFile":"a.zip","Stream":"QUJD\r\nREVG"})", "", "a.zip", "QUJD\r\nREVG"},
      {R"({"nomefile":"a.zip","Stream":null})", "", "keep", "keep"},
      {R"({"Stream":{ "a" : [1, true] }})", "", "keep", R"({"a":[1,true]})"},
      {R"({"Stream":"first","Stream":"second","Extra":[{}]})", "", "keep", "first"},
      {R"({"NomeFile":12})", typecast + R"("NomeFile" [Expected: string, Actual: Int])", "keep", "keep"},
      {R"({"NomeFile":"n","Stream":false})", typecast + R"("Stream" [Expected: string, Actual: Bool])", "n", "keep"},
      {R"({"Stream":[]})", typecast + R"("Stream" [Expected: string, Actual: Array])", "keep", "keep"},
      {"{}", "", "keep", "keep"},
      {"", "EMVCException 400: Invalid body", "keep", "keep"},
      {" \r\n", "EMVCException 400: Invalid body: no JSON value", "keep", "keep"},
      {"[]", "EMVCSerializationException 500: Invalid JSON. Expected TJsonObject got TJsonArray", "keep", "keep"},
      {R"({"Stream":"QUJD)", R"(EMVCException 400: String not closed (1, 11))", "keep", "keep"},
  };
  for (const auto& c : cases) {
    TRizOzudoImportLavoroRequest request;
    request.FNomeFile = "keep";
    request.FStream = "keep";
    EXPECT_EQ(ReadOutcome(c.body, request), c.outcome) << c.body;
    EXPECT_EQ(request.FNomeFile, c.nome_file) << c.body;
    EXPECT_EQ(request.FStream, c.stream) << c.body;
  }
}

TEST(RizOzudoMessagesRead, ExportRequestBodies) {
  TRizOzudoExportLavoroRequest request;
  EXPECT_EQ(
      ReadOutcome(R"({"CodiceCommessa":12})", request),
      R"(EMVCException 400: Invalid class typecast for property "CodiceCommessa" [Expected: string, Actual: Int])");
  EXPECT_EQ(ReadOutcome(R"({"CodiceCommessa":"C-1","ModoGestioneFile":"NEWEN"})", request), "");
  EXPECT_EQ(request.FCodiceCommessa, "C-1");
  EXPECT_EQ(request.GetModoGestioneFile(), TModoGestionefile::mNewen);
}

TEST(ModoGestioneFile, ExactCaseSensitiveMatch) {
  struct Case {
    std::string text;
    TModoGestionefile mode;
  };
  const Case cases[] = {
      {"NEWEN", TModoGestionefile::mNewen},          {"ROTTLER", TModoGestionefile::mRottler},
      {"", TModoGestionefile::mNonDefinito},         {"newen", TModoGestionefile::mNonDefinito},
      {"Rottler", TModoGestionefile::mNonDefinito},  {" NEWEN", TModoGestionefile::mNonDefinito},
      {"ROTTLER ", TModoGestionefile::mNonDefinito}, {"OTHER", TModoGestionefile::mNonDefinito},
  };
  for (const auto& c : cases) {
    TRizOzudoExportLavoroRequest request;
    request.FModoGestioneFile = c.text;
    EXPECT_EQ(request.GetModoGestioneFile(), c.mode) << c.text;
  }
  TRizOzudoExportLavoroRequest request;
  for (auto mode : {TModoGestionefile::mRottler, TModoGestionefile::mNewen, TModoGestionefile::mNonDefinito}) {
    request.SetModoGestioneFile(mode);
    EXPECT_EQ(request.GetModoGestioneFile(), mode);
  }
  EXPECT_EQ(request.FModoGestioneFile, "");
}

class RizOzudoPayload : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ostrivan_messages_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  fs::path dir_;
};

TEST_F(RizOzudoPayload, LoadFileSetsNameAndBase64) {
  std::string bytes(58, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::string path = Write("job.zip", bytes);
  TRizOzudoExportLavoroResponse reply;
  reply.LoadFile(path);
  EXPECT_EQ(reply.FNomeFile, "job.zip");
  EXPECT_EQ(reply.FStream, EncodeBase64(bytes));
  EXPECT_EQ(reply.FStream.substr(76, 2), "\r\n");
  std::ostringstream out;
  reply.SaveToStream(out);
  EXPECT_EQ(out.str(), bytes);

  TRizOzudoImportLavoroRequest request;
  request.LoadFile(path);
  EXPECT_EQ(request.FStream, reply.FStream);
}

TEST_F(RizOzudoPayload, LoadFileOfEmptyFileGivesEmptyStream) {
  TRizOzudoImportLavoroRequest request;
  request.FStream = "old";
  request.LoadFile(Write("empty.zip", ""));
  EXPECT_EQ(request.FStream, "");
  EXPECT_EQ(request.FNomeFile, "empty.zip");
}

TEST_F(RizOzudoPayload, LoadFileFailures) {
  const std::string missing = (dir_ / "missing.zip").string();
  TRizOzudoExportLavoroResponse reply;
  try {
    reply.LoadFile(missing);
    FAIL() << "loaded a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + missing + "\". No such file or directory");
  }
  EXPECT_THROW(reply.LoadFile(dir_.string()), EFOpenError);
}

TEST_F(RizOzudoPayload, SaveFileWritesDecodedBytesAndTruncates) {
  const std::string path = Write("out.zip", std::string(500, 'x'));
  TRizOzudoImportLavoroRequest request;
  request.FStream = "QU\r\nJD";
  request.SaveFile(path);
  EXPECT_EQ(Read(path), "ABC");
  request.FStream = "\r\n==";  // nothing from the alphabet: an empty file
  request.SaveFile(path);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);
}

TEST_F(RizOzudoPayload, SaveFileFailures) {
  TRizOzudoImportLavoroRequest request;
  request.FStream = "QUJD";
  const std::string no_dir = (dir_ / "no" / "such.zip").string();
  try {
    request.SaveFile(no_dir);
    FAIL() << "created a file in a missing directory";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + no_dir + "\". No such file or directory");
  }
  // A read-only file is not overwritten, even by a user whom the system would let.
  const std::string read_only = Write("ro.zip", "keep");
  fs::permissions(read_only, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  try {
    request.SaveFile(read_only);
    FAIL() << "overwrote a read-only file";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + read_only + "\". Permission denied");
  }
  EXPECT_EQ(Read(read_only), "keep");
}

TEST(RizOzudoPayloadStream, FailedOutputStreamIsAWriteError) {
  TRizOzudoImportLavoroRequest request;
  request.FStream = "QUJD";
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  try {
    request.SaveToStream(out);
    FAIL() << "wrote to a failed stream";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), "Stream write error");
  }
}

}  // namespace
}  // namespace ostrivan::jobs
