#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ChatRoomFixture.h"
#include "tolvex/util/Globals.h"
#include "tolvex/ack/AckManager.h"
#include "tolvex/ack/SendMsgDetail.h"
#include "tolvex/chat/OutPacket.h"
#include "tolvex/chat/QuillonEndRoomHandler.h"
#include "tolvex/chat/QuillonLeaveHandler.h"
#include "tolvex/chat/QuillonNPushHandler.h"
#include "tolvex/chat/QuillonRequestFailUserHandler.h"
#include "tolvex/chat/QuillonRequestInviteHandler.h"
#include "tolvex/chat/QuillonSaveMsgHandler.h"
#include "tolvex/chat/QuillonUpdateMsgStateHandler.h"
#include "tolvex/crypt/ChatCrypt.h"
#include "tolvex/session/ChatSessionDummy.h"
#include "tolvex/task/SendStateTask.h"
#include "tolvex/util/ChatCodes.h"

namespace {

const std::string kSender = "s@m.acme";

std::vector<std::string> namesOf(const FakeWas::Request& r) {
    std::vector<std::string> names;
    for (const auto& field : r.form) names.push_back(field.first);
    return names;
}

std::string encryptFor(const std::string& senderId, const std::string& text) {
    const std::string key = ChatCrypt::base64_encode(senderId.data(), static_cast<int>(senderId.size()));
    std::vector<char> out(static_cast<size_t>(ChatCrypt::encryptedSize(static_cast<int>(text.size()))) + 16);
    int len = 0;
    ChatCrypt::dataCrypt_encrypt(text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(out.size()),
                                 &len, key.c_str());
    return std::string(out.data(), static_cast<size_t>(len));
}

std::string decryptFor(const std::string& senderId, const std::string& sealed) {
    const std::string key = ChatCrypt::base64_encode(senderId.data(), static_cast<int>(senderId.size()));
    std::vector<char> out(sealed.size() + 1);
    int len = 0;
    ChatCrypt::dataCrypt_decrypt(sealed.data(), static_cast<int>(sealed.size()), out.data(),
                                 static_cast<int>(out.size()), &len, key.c_str());
    return std::string(out.data(), static_cast<size_t>(len));
}

}  // namespace

// Each job is started as its caller would and judged by the request the
// fake WAS receives and by what its reply changes.
class WasJobsTest : public ChatRoomFixture {
protected:
    void SetUp() override {
        ChatRoomFixture::SetUp();
        g_service_port = 7100;
        SendStateTask::getInstance().clearSendResults();
        AckManager::getInstance().clearAll();
    }

    template <typename Job>
    void start(const std::string& body, ChatSession* companion = nullptr) {
        const OutPacket input(WAS_JOB, std::vector<char>(body.begin(), body.end()));
        (new Job())->doit(companion, input.get());
    }

    FakeWas::Request onlyRequest(const std::string& page) {
        const std::vector<FakeWas::Request> got = wasRequests(page);
        EXPECT_EQ(1u, got.size()) << page;
        return got.empty() ? FakeWas::Request() : got.front();
    }

    static std::string leaveNotice(int32_t joinSeq) {
        return BodyBuilder().u32(31).str16("u@m.acme").str16("You").u16(OS_TYPE_MOBILE).u32(5).u32(1700000000)
            .u32(3).u32(static_cast<uint32_t>(joinSeq));
    }

    static std::string pushInput(const std::string& text, const std::string& recipients) {
        return BodyBuilder().u32(40).str16(kSender).str16("Ess").str16(encryptFor(kSender, text)).u32(12).u8(1)
            .u32(1700000001).str16(recipients).str16("192.168.0.1").u32(7100).u32(4);
    }
};

TEST_F(WasJobsTest, LeaveOfAllHistorySendsItsFieldsInOrder) {
    start<QuillonLeaveHandler>(leaveNotice(-100), ChatSessionDummy::create());
    const FakeWas::Request r = onlyRequest(kLeavePage);
    EXPECT_EQ((std::vector<std::string>{"room_id", "user_id", "os_type", "time", "join_seq",
                                        "leave_current_join_seq", "svr_ip", "svr_port"}),
              namesOf(r));
    EXPECT_EQ("room_id=31&user_id=u%40m.acme&os_type=2&time=1700000000&join_seq=-100"
              "&leave_current_join_seq=no&svr_ip=10.1.2.3&svr_port=7100",
              r.body);
}

TEST_F(WasJobsTest, EndRoomSendsTenantAndServiceAddressThenLogsDone) {
    start<QuillonEndRoomHandler>(BodyBuilder().u32(77).str16("acme corp").u32(1700000500),
                                 ChatSessionDummy::create());
    const FakeWas::Request r = onlyRequest(kEndRoomPage);
    EXPECT_EQ("room_id=77&tenant_id=acme%20corp&time=1700000500&svr_ip=10.1.2.3&svr_port=7100", r.body);
    EXPECT_TRUE(runUntil([&] { return countOf(commandLog(), "QuillonEndRoomHandler done") == 1; }));
}

TEST_F(WasJobsTest, SaveSendsZeroBytesOfTheMessageAndCountsThem) {
    const std::string msg("a\0b", 3);
    start<QuillonSaveMsgHandler>(BodyBuilder().u32(5).str16(kSender).str16("Ess").str16(msg).u32(9).u8(1)
                                     .u32(1700000002).str16("a\tb").str16("Ay\tBee").str16("1,2").str16("y,n")
                                     .u32(2).u32(44).u16(1).u16(10).str16("f.txt").u32(123).str16("http://x/f"));
    const FakeWas::Request r = onlyRequest(kSaveMsgPage);
    EXPECT_EQ((std::vector<std::string>{"room_id", "send_user_id", "send_user_nick_name", "msg", "msg_seq",
                                        "msg_type", "recv_user_list", "recv_user_nick_nm_list",
                                        "recv_user_join_seq_list", "read_yn_list", "time", "data_size",
                                        "member_count", "trid", "os_type", "room_type", "file_name", "file_size",
                                        "file_url"}),
              namesOf(r));
    EXPECT_NE(std::string::npos, r.body.find("&msg=a%00b&"));
    EXPECT_EQ("3", r.field("data_size"));
    EXPECT_EQ("a\tb", r.field("recv_user_list"));
    EXPECT_EQ("10", r.field("room_type"));
    EXPECT_EQ("http://x/f", r.field("file_url"));
}

TEST_F(WasJobsTest, ShortSaveInputSendsDefaultsForTheMissingFields) {
    start<QuillonSaveMsgHandler>(BodyBuilder().u32(5).str16(kSender));
    const FakeWas::Request r = onlyRequest(kSaveMsgPage);
    EXPECT_EQ(kSender, r.field("send_user_id"));
    EXPECT_EQ("1", r.field("msg_type"));
    EXPECT_EQ("1", r.field("room_type"));
    EXPECT_EQ("0", r.field("data_size"));
    EXPECT_EQ("", r.field("file_name"));
}

TEST_F(WasJobsTest, OverlongSaveFieldIsCutAndTheFollowingFieldsStayInPlace) {
    const std::string name(300, 'n');
    start<QuillonSaveMsgHandler>(BodyBuilder().u32(5).str16(kSender).str16(name).str16("hi").u32(9));
    const FakeWas::Request r = onlyRequest(kSaveMsgPage);
    EXPECT_EQ(std::string(MAX_ID_LEN, 'n'), r.field("send_user_nick_name"));
    EXPECT_EQ("hi", r.field("msg"));
    EXPECT_EQ("9", r.field("msg_seq"));
}

TEST_F(WasJobsTest, SendStateReadsFourByteLengths) {
    start<QuillonUpdateMsgStateHandler>(BodyBuilder().u32(8).u32(3).u32(4).raw("acme").u32(3).raw("a,b")
                                            .u32(3).raw("1,2"));
    const FakeWas::Request r = onlyRequest(kUpdateMsgSendPage);
    EXPECT_EQ("room_id=8&msg_seq=3&tenant_id=acme&userids=a,b&join_seqs=1,2&send_yn=y", r.body);
}

TEST_F(WasJobsTest, SendStateLengthPastTheBodyEndsTheInput) {
    start<QuillonUpdateMsgStateHandler>(BodyBuilder().u32(8).u32(3).u32(4).raw("acme").u32(1000000).raw("a,b"));
    const FakeWas::Request r = onlyRequest(kUpdateMsgSendPage);
    EXPECT_EQ("acme", r.field("tenant_id"));
    EXPECT_EQ("", r.field("userids"));
    EXPECT_EQ("", r.field("join_seqs"));
}

TEST_F(WasJobsTest, InviteNamesTheRecipientTwice) {
    start<QuillonRequestInviteHandler>(BodyBuilder().str16(kSender).str16("b@m.acme").str16("s|Ess|40"));
    const FakeWas::Request r = onlyRequest(kInviteRequestPage);
    EXPECT_EQ("from_id=s%40m.acme&to_id=b%40m.acme&target_ids=b%40m.acme&contents=s%7CEss%7C40", r.body);
    EXPECT_NE(std::string::npos, commandLog().find("SENDMEMOEX:" + kSender + "->b@m.acme"));
}

TEST_F(WasJobsTest, FailedRecipientRequestWithoutMessageResendsNothingAndSaysWhy) {
    m_was.setReply(kSendFailUserPage,
                   {200, FakeWas::resultHeader(0) + "<list><send_fail_info room_id=\"40\" msg_num=\"12\" trid=\"1\""
                                                    " fail_user_id=\"b@m.acme\"/></list>"});
    start<QuillonRequestFailUserHandler>(BodyBuilder().u32(40).u32(12).str16("m.acme"));
    const FakeWas::Request r = onlyRequest(kSendFailUserPage);
    EXPECT_EQ("room_id=40&msg_num=12&tenant_id=m.acme", r.body);
    EXPECT_TRUE(runUntil([&] { return commandLog().find("session is gone; 1 member(s) not resent") != std::string::npos; }))
        << commandLog();
}

TEST(PushPreviewTest, LongAsciiTextIsCutToTwentyCharactersAndDots) {
    EXPECT_EQ("abcdefghijklmnopqrst...", QuillonNPushHandler::makePreview("abcdefghijklmnopqrstuvwxy"));
}

TEST(PushPreviewTest, TwentyCharactersAreSentWhole) {
    EXPECT_EQ("abcdefghijklmnopqrst", QuillonNPushHandler::makePreview("abcdefghijklmnopqrst"));
}

TEST(PushPreviewTest, MultiByteCharactersCountAsOne) {
    std::string korean;
    for (int i = 0; i < 21; ++i) korean += "\xEA\xB0\x80";
    const std::string preview = QuillonNPushHandler::makePreview(korean);
    EXPECT_EQ(korean.substr(0, 60) + "...", preview);
}

TEST_F(WasJobsTest, PushSendsTheEncryptedPreviewAndTheConfiguredAddress) {
    start<QuillonNPushHandler>(pushInput("abcdefghijklmnopqrstuvwxy", "a@m.acme,b@m.acme"));
    const FakeWas::Request r = onlyRequest(kMobilePushPage);
    EXPECT_EQ((std::vector<std::string>{"notiType", "room_id", "userid", "senderId", "senderNickNm", "msg", "msgSeq",
                                        "msgType", "time", "conn", "mbCnt", "btnType", "badge"}),
              namesOf(r));
    EXPECT_EQ("abcdefghijklmnopqrst...", decryptFor(kSender, r.field("msg")));
    EXPECT_EQ("a@m.acme,b@m.acme", r.field("userid"));
    EXPECT_EQ("10.1.2.3:7100", r.field("conn"));
    EXPECT_EQ("1", r.field("notiType"));
    EXPECT_EQ("4", r.field("mbCnt"));
}

TEST_F(WasJobsTest, PushReplyBecomesRelayAcksForDeliveredAndFailedOnly) {
    awaitMobileAcks(40, 12, kSender, {"b@m.acme", "c@m.acme", "d@m.acme"});
    m_was.setReply(kMobilePushPage,
                   {200, FakeWas::resultHeader(0) +
                             "<results>"
                             "<result room_id=\"40\" msg_num=\"12\" to_id=\"b@m.acme\" code=\"0\" msg=\"ok\"/>"
                             "<result room_id=\"40\" msg_num=\"12\" to_id=\"c@m.acme\" code=\"150\" msg=\"later\"/>"
                             "<result room_id=\"40\" msg_num=\"12\" to_id=\"d@m.acme\" code=\"500\" msg=\"no token\"/>"
                             "</results>"});
    start<QuillonNPushHandler>(pushInput("hi", "b@m.acme,c@m.acme,d@m.acme"));

    ASSERT_TRUE(runUntil([&] { return outcomeOf("d@m.acme") != 0; }, 3000)) << commandLog();
    EXPECT_EQ(SEND_RESULT_SUCCESS, outcomeOf("b@m.acme"));
    EXPECT_EQ(0u, outcomeOf("c@m.acme"));
    EXPECT_EQ(SEND_RESULT_PUSH_FAIL, outcomeOf("d@m.acme"));
    EXPECT_EQ(1, countOf(commandLog(), "nPushResult:"));
    EXPECT_NE(std::string::npos,
              commandLog().find("nPushResult:roomId=40, msgSeq=12, to_id=d@m.acme, code=500, msg=no token"));
}
