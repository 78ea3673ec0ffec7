// Each WAS job is started as its caller would and judged by the request the
// fake WAS receives and by what its reply changes. The save form is checked
// whole here; other tests look only at the fields their scenario is about.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/chat/ChatRoomFixture.h"
#include "tolvex/chat/BodyWriter.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonNPushHandler.h"
#include "tolvex/chat/QuillonSaveMsgHandler.h"

namespace {

const std::string kSender = "s@m.acme";

}  // namespace

class WasJobsTest : public ChatRoomFixture {
protected:
    template <typename Job>
    void start(BodyWriter& input) {
        const OutPacket pk(WAS_JOB, input.take());
        (new Job())->doit(nullptr, pk.get());
    }

    FakeWas::Request onlyRequest(const std::string& page) {
        const std::vector<FakeWas::Request> got = wasRequests(page);
        EXPECT_EQ(1u, got.size()) << page;
        return got.empty() ? FakeWas::Request() : got.front();
    }

    // A push of message 12 in room 40 as MobilePush hands it over.
    void startPush(const std::string& recipients) {
        BodyWriter w(65535);
        w.u32(40).str16(kSender).str16("Ess").str16("sealed").u32(12).u8(1).u32(1700000001);
        w.str16(recipients).str16("192.168.0.1").u32(7100).u32(4);
        start<QuillonNPushHandler>(w);
    }
};

TEST_F(WasJobsTest, SaveSendsZeroBytesOfTheMessageAndCountsThem) {
    BodyWriter w(4096);
    w.u32(5).str16(kSender).str16("Ess").str16(std::string("a\0b", 3)).u32(9).u8(1).u32(1700000002);
    w.str16("a\tb").str16("Ay\tBee").str16("1,2").str16("y,n").u32(2).u32(44).u16(1).u16(10);
    w.str16("f.txt").u32(123).str16("http://x/f");
    start<QuillonSaveMsgHandler>(w);
    EXPECT_EQ("room_id=5&send_user_id=s%40m.acme&send_user_nick_name=Ess&msg=a%00b&msg_seq=9&msg_type=1"
              "&recv_user_list=a%09b&recv_user_nick_nm_list=Ay%09Bee&recv_user_join_seq_list=1,2"
              "&read_yn_list=y,n&time=1700000002&data_size=3&member_count=2&trid=44&os_type=1&room_type=10"
              "&file_name=f.txt&file_size=123&file_url=http%3A//x/f&svr_ip=10.1.2.3&svr_port=7100",
              onlyRequest(kSaveMsgPage).body);
}

TEST_F(WasJobsTest, PushReplyBecomesRelayAcksForTheAskedDeliveredAndFailedOnly) {
    expectAcks(40, 12, kSender, {{"b@m.acme", {OS_TYPE_MOBILE}}, {"c@m.acme", {OS_TYPE_MOBILE}},
                                 {"d@m.acme", {OS_TYPE_MOBILE}}, {"e@m.acme", {OS_TYPE_MOBILE}}});
    auto row = [](const std::string& to, const std::string& code, const std::string& msg) {
        return "<result room_id=\"40\" msg_num=\"12\" to_id=\"" + to + "\" code=\"" + code + "\" msg=\"" + msg + "\"/>";
    };
    m_was.setReply(kMobilePushPage, {200, FakeWas::resultHeader(0) + "<results>" + row("b@m.acme", "0", "ok") +
                                              row("c@m.acme", "150", "later") + row("d@m.acme", "500", "no token") +
                                              row("e@m.acme", "0", "ok") + "</results>"});
    startPush("b@m.acme,c@m.acme,d@m.acme");
    ASSERT_TRUE(jobsSettled());

    EXPECT_EQ(SEND_RESULT_SUCCESS, outcomeOf("b@m.acme"));
    EXPECT_EQ(0u, outcomeOf("c@m.acme"));
    EXPECT_EQ(SEND_RESULT_PUSH_FAIL, outcomeOf("d@m.acme"));
    EXPECT_EQ(0u, outcomeOf("e@m.acme")) << "e was not asked for";
    EXPECT_EQ(1, countOf(commandLog(), "nPushResult:roomId"));
    EXPECT_NE(std::string::npos,
              commandLog().find("nPushResult:roomId=40, msgSeq=12, to_id=d@m.acme, code=500, msg=no token"));
    EXPECT_NE(std::string::npos,
              commandLog().find("not asked by this request, ignored: roomId=40, msgSeq=12, to_id=e@m.acme"));
}
