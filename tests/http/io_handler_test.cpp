// Line, block and byte reading on a connection fed from memory in pieces of every size
// that matters around the limits.
#include <gtest/gtest.h>

#include "http/http_exceptions.h"
#include "http/io_handler.h"

namespace ostrivan::http {
namespace {

TIOHandler MakeIO(const std::string& input, size_t chunk, TMemoryTransport** raw = nullptr) {
  auto t = std::make_unique<TMemoryTransport>(input, chunk);
  if (raw) *raw = t.get();
  return TIOHandler(std::move(t));
}

constexpr size_t kChunks[] = {1, 7, 16383, 16384, 16385, 32768};

TEST(IOHandlerReadLn, LengthLimitCountsBytesBeforeLfIncludingCr) {
  struct Case {
    std::string line;
    bool ok;
    std::string expected;
  };
  const std::string a16383(16383, 'a'), a16384(16384, 'a'), a16385(16385, 'a');
  const Case cases[] = {
      {a16384 + "\n", true, a16384},    // bare LF: 16384 bytes of text
      {a16383 + "\r\n", true, a16383},  // CR LF: the CR counts, 16383 of text
      {a16384 + "\r\n", false, ""},     // 16385 bytes before the LF
      {a16385 + "\n", false, ""},
      {a16385, false, ""},  // no LF yet: fails once 16385 bytes wait
      {"\r\n", true, ""},
      {"a\rb\n", true, "a\rb"},  // only a CR right before the LF goes
      {"x\r\r\n", true, "x\r"},
  };
  for (const Case& c : cases) {
    for (size_t chunk : kChunks) {
      SCOPED_TRACE(::testing::Message() << "line size " << c.line.size() << " chunk " << chunk);
      TIOHandler io = MakeIO(c.line + "next\n", chunk);
      if (c.ok) {
        EXPECT_EQ(io.ReadLn(), c.expected);
        EXPECT_EQ(io.ReadLn(), "next");
      } else {
        try {
          io.ReadLn();
          ADD_FAILURE() << "no error";
        } catch (const EReadLnMaxLineLengthExceeded& e) {
          EXPECT_STREQ(e.what(), "Max line length exceeded.");
        }
      }
    }
  }
}

TEST(IOHandlerReadLn, NonAsciiBytesBecomeReplacementCharacters) {
  TIOHandler io = MakeIO("a\xC3\xA9z\xFF\n", 3);
  EXPECT_EQ(io.ReadLn(), "a\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(IOHandlerReadLn, PeerClosingMidLineFails) {
  TIOHandler io = MakeIO("GET / HTTP/1.1", 4);
  EXPECT_THROW(io.ReadLn(), EConnClosedGracefully);
  EXPECT_THROW(io.ReadLn(), ESocketError);  // and keeps failing
}

TEST(IOHandlerCapture, BlockLimitAllowsOneLineMoreThanTheLimit) {
  auto block = [](int lines) {
    std::string s;
    for (int i = 0; i < lines; ++i) s += "H" + std::to_string(i) + ": v\r\n";
    return s + "\r\nBODY";
  };
  for (int lines : {0, 1, 1024, 1025}) {
    TIOHandler io = MakeIO(block(lines), 1000);
    io.SetMaxCapturedLines(1024);
    THeaderList headers;
    io.Capture(headers);
    EXPECT_EQ(headers.Count(), static_cast<size_t>(lines));
    TMemoryStream rest;
    io.ReadStream(rest, 4);
    EXPECT_EQ(rest.Bytes(), "BODY");
  }
  TIOHandler io = MakeIO(block(1026), 1000);
  io.SetMaxCapturedLines(1024);
  THeaderList headers;
  EXPECT_THROW(io.Capture(headers), EMaxCaptureLineExceeded);
  // Without a limit any number passes.
  TIOHandler unlimited = MakeIO(block(3000), 1000);
  THeaderList all;
  unlimited.Capture(all);
  EXPECT_EQ(all.Count(), 3000u);
}

TEST(IOHandlerReadStream, ExactCountsAcrossBufferedAndFreshBytes) {
  std::string body(100000, 'x');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  for (size_t chunk : {1u, 999u, 32768u}) {
    TIOHandler io = MakeIO("L1\n" + body + "L2\n", chunk);
    EXPECT_EQ(io.ReadLn(), "L1");
    TMemoryStream s;
    io.ReadStream(s, static_cast<int64_t>(body.size()));
    EXPECT_EQ(s.Bytes(), body);
    EXPECT_EQ(io.ReadLn(), "L2");
  }
  TIOHandler short_io = MakeIO("abc", 2);
  TMemoryStream s;
  EXPECT_THROW(short_io.ReadStream(s, 4), EConnClosedGracefully);
}

TEST(IOHandlerWrite, BufferedWritesGoOutAsOneSend) {
  TMemoryTransport* raw = nullptr;
  TIOHandler io = MakeIO("", 1, &raw);
  io.WriteBufferOpen();
  io.WriteLn("HTTP/1.1 200 OK");
  io.WriteLn("A: \xC3\xA9");  // above U+007F: "?"
  io.WriteLn("");
  EXPECT_EQ(raw->SendCount(), 0u);
  io.WriteBufferClose();
  EXPECT_EQ(raw->SendCount(), 1u);
  EXPECT_EQ(raw->Output(), "HTTP/1.1 200 OK\r\nA: ?\r\n\r\n");
  io.WriteBufferOpen();
  io.WriteBytes("dropped");
  io.WriteBufferCancel();
  io.WriteBytes("\xC3\xA9");  // raw bytes stay bytes
  EXPECT_EQ(raw->Output(), "HTTP/1.1 200 OK\r\nA: ?\r\n\r\n\xC3\xA9");
}

TEST(IOHandlerCheckForData, ReportsBufferedBytesAndEnd) {
  TIOHandler io = MakeIO("abc", 8);
  EXPECT_TRUE(io.InputBufferIsEmpty());
  EXPECT_TRUE(io.CheckForDataOnSource(1));
  EXPECT_FALSE(io.InputBufferIsEmpty());
  TMemoryStream s;
  io.ReadStream(s, 3);
  EXPECT_FALSE(io.CheckForDataOnSource(1));  // peer closed: no data, no error
}

}  // namespace
}  // namespace ostrivan::http
