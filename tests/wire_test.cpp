#include <gtest/gtest.h>

#include "rpc/wire.h"
#include "support/test_pipe.h"

namespace AnonRpc {
namespace {

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(Wire, WorkedFramesMatchByteForByte) {
  EXPECT_EQ(Hex(EncodeRequest(7, "IsRun", "")),
            "41 52 45 51 07 00 00 00 05 00 00 00 00 00 00 00 49 73 52 75 6E");
  EXPECT_EQ(Hex(EncodeResponse(7, RpcStatus::Ok, "true")),
            "41 52 45 53 07 00 00 00 00 00 00 00 04 00 00 00 74 72 75 65");
  EXPECT_EQ(Hex(EncodeNotification("2", "")), "41 4E 54 59 01 00 00 00 00 00 00 00 32");
  const FrameHeaderBytes wake = EncodeHeader(RequestHeader{kRequestMagic, 0, 0, 0});
  EXPECT_EQ(Hex({reinterpret_cast<const char*>(wake.data()), wake.size()}),
            "41 52 45 51 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(Wire, DecodersRoundTripAndReportIncompleteOrBadStreams) {
  Request request;
  std::size_t used = 0;
  const std::string frame = EncodeRequest(0xFFFFFFFF, "Start", "42");
  ASSERT_EQ(DecodeRequest(frame, &request, &used), DecodeResult::Complete);
  EXPECT_EQ(used, frame.size());
  EXPECT_EQ(request.id, 0xFFFFFFFFu);
  EXPECT_EQ(request.method, "Start");
  EXPECT_EQ(request.payload, "42");
  EXPECT_EQ(DecodeRequest(frame.substr(0, frame.size() - 1), &request, &used),
            DecodeResult::NeedMore);
  EXPECT_EQ(DecodeRequest(EncodeResponse(1, RpcStatus::Ok, ""), &request, &used),
            DecodeResult::BadMagic);

  std::string tooLong = EncodeRequest(3, "m", "");
  tooLong[12] = 0x01;  // payloadLength 0x400001
  tooLong[14] = 0x40;
  EXPECT_EQ(DecodeRequest(tooLong, &request, &used), DecodeResult::TooLarge);

  Response response;
  ASSERT_EQ(DecodeResponse(EncodeResponse(9, RpcStatus::HandlerError, "boom"), &response, &used),
            DecodeResult::Complete);
  EXPECT_EQ(response.status, 3u);
  EXPECT_EQ(response.body, "boom");

  Notification note;
  ASSERT_EQ(DecodeNotification(EncodeNotification("-3", "ab"), &note, &used),
            DecodeResult::Complete);
  EXPECT_EQ(note.type, "-3");
  EXPECT_EQ(note.payload, "ab");
}

TEST(Wire, ReadExactHonoursTheLimitAndEndOfPipe) {
  lark::test::TestPipe pipe;
  std::string out = "stale";
  EXPECT_TRUE(ReadExact(pipe.read(), 0, out));  // touches nothing
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ReadExact(pipe.read(), kMaxFieldBytes + 1, out));

  ASSERT_TRUE(WriteAll(pipe.write(), "abc"));
  ASSERT_TRUE(ReadExact(pipe.read(), 3, out));
  EXPECT_EQ(out, "abc");

  ASSERT_TRUE(WriteAll(pipe.write(), "xy"));
  pipe.CloseWrite();
  EXPECT_FALSE(ReadExact(pipe.read(), 3, out));  // two bytes, then end of pipe
}

}  // namespace
}  // namespace AnonRpc
