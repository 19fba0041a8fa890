// The service's checks of a client's records, apart from any socket: what is accepted
// reads back as the client wrote it, and each malformed record has its own status.
#include "records.h"

#include <gtest/gtest.h>

#include <string>

#include "nxtest/seeds.h"
#include "wire_builders.h"

namespace {

using svctest::Header;
using svctest::Request;
using svctest::Rq;

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

DWORD ParseOpen(const std::string& request, uint32_t announced, pfsvc::OpenRequest* out) {
  return pfsvc::ParseOpenRequest(Bytes(request), request.size(), announced, out);
}

// A fuzz seed: header, open request, then requests each after its length byte.
void SaveExchange(const std::string& name, const std::string& request, std::initializer_list<std::string> requests) {
  std::string seed = Header(1234, 7, static_cast<uint32_t>(request.size())) + request;
  for (const auto& r : requests) seed += static_cast<char>(r.size()) + r;
  nxtest::SaveSeed(name, seed);
}

TEST(RecordsTest, AnOpenRequestReadsBackAsTheClientWroteIt) {
  const std::string request = Request("E:\\Карта\\VKFRCG.BIN", GENERIC_READ, 1);
  pfsvc::OpenRequest rq;
  ASSERT_EQ(ParseOpen(request, static_cast<uint32_t>(request.size()), &rq), ERROR_SUCCESS);
  EXPECT_EQ(rq.name, u"E:\\Карта\\VKFRCG.BIN");
  EXPECT_EQ(rq.params[0], GENERIC_READ);
  EXPECT_EQ(rq.params[1], 3u);
  EXPECT_EQ(rq.params[3], 4096u);
  EXPECT_TRUE(rq.hasSink);

  pfwire::ConnectHeader cd;
  const std::string head = Header(1234, 7, static_cast<uint32_t>(request.size()));
  ASSERT_EQ(pfsvc::ParseConnectHeader(Bytes(head), head.size(), &cd), ERROR_SUCCESS);
  EXPECT_EQ(cd.processId, 1234u);
  EXPECT_EQ(cd.event, 7u);

  SaveExchange("volume-with-sink", Request("\\\\.\\E:", svctest::kAccess, 1),
               {Rq(pfwire::kSeekBegin, 512, 0), Rq(pfwire::kRead, 4096, 9), Rq(pfwire::kWrite, 512, 9),
                Rq(pfwire::kClose, 0, 0)});
  SaveExchange("file-read-only", request, {Rq(pfwire::kSeekEnd, 0xFFFFFE00u, 0xFFFFFFFFu), Rq(9, 0, 0)});
  SaveExchange("empty-name", Request(""), {Rq(pfwire::kRead, 0, 0) + "x"});
}

TEST(RecordsTest, MalformedRecordsAreRefusedWithTheirOwnStatus) {
  pfwire::ConnectHeader cd;
  const std::string head = Header(1, 2, 40);
  EXPECT_EQ(pfsvc::ParseConnectHeader(Bytes(head), head.size() - 1, &cd), ERROR_BAD_LENGTH);
  const std::string stranger = Header(1, 2, 40, "SSKW");
  EXPECT_EQ(pfsvc::ParseConnectHeader(Bytes(stranger), stranger.size(), &cd), ERROR_INVALID_DATA);
  EXPECT_FALSE(pfsvc::OpenRequestSizeAllowed(pfwire::OpenRequestSize(0) - 1));
  EXPECT_TRUE(pfsvc::OpenRequestSizeAllowed(pfwire::OpenRequestSize(pfsvc::kMaxNameLength)));
  EXPECT_FALSE(pfsvc::OpenRequestSizeAllowed(pfwire::OpenRequestSize(pfsvc::kMaxNameLength) + 2));

  pfsvc::OpenRequest rq;
  const std::string good = Request("C:\\data.bin");
  const auto size = static_cast<uint32_t>(good.size());
  EXPECT_EQ(ParseOpen(good.substr(0, good.size() - 2), size, &rq), ERROR_BAD_LENGTH) << "shorter than announced";
  EXPECT_EQ(ParseOpen(good + "ab", size + 2, &rq), ERROR_BAD_LENGTH) << "name length disagrees with the size";
  std::string inner = good;
  inner[sizeof(pfwire::OpenRequestHead) + 4] = inner[sizeof(pfwire::OpenRequestHead) + 5] = 0;
  EXPECT_EQ(ParseOpen(inner, size, &rq), ERROR_INVALID_NAME) << "a zero inside the name";
  std::string unterminated = good;
  unterminated[good.size() - 1] = 'x';
  EXPECT_EQ(ParseOpen(unterminated, size, &rq), ERROR_INVALID_NAME) << "no terminator";

  const std::string request = Rq(pfwire::kRead, 1, 2);
  pfwire::Request r;
  EXPECT_EQ(pfsvc::ParseRequest(Bytes(request), request.size() + 1, &r), ERROR_BAD_LENGTH);
  EXPECT_EQ(pfsvc::ParseRequest(Bytes(request), request.size() - 1, &r), ERROR_BAD_LENGTH);
}

// A name length whose byte count wraps around 32 bits makes the smallest request's size
// come out right; it must be refused, not read past the request's end.
TEST(RecordsTest, ANameLengthThatWrapsTheSizeIsRefused) {
  std::string request = Request("");
  nx::StoreLe32(reinterpret_cast<uint8_t*>(request.data()) + offsetof(pfwire::OpenRequestHead, nameLength), 0x80000000u);
  ASSERT_EQ(pfwire::OpenRequestSize(0x80000000u), request.size()) << "the wrap this test is about";
  pfsvc::OpenRequest rq;
  EXPECT_EQ(ParseOpen(request, static_cast<uint32_t>(request.size()), &rq), ERROR_BAD_LENGTH);
  nxtest::SaveSeed("wrapping-name-length", Header(1, 2, static_cast<uint32_t>(request.size())) + request);
}

}  // namespace
