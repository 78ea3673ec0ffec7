// Every page refuses a malformed or incomplete form with a non-zero code and
// an error text, and leaves the database exactly as it was, as does the
// server for requests it cannot read; the largest legal fields are stored whole.
#include <gtest/gtest.h>

#include "WasHarness.h"

namespace {

struct malformed_case_t {
    const char* name;
    const char* page;
    std::string body;
};

void PrintTo(const malformed_case_t& c, std::ostream* out) { *out << c.name; }

const char* const kSave = "/was/saveMessage";

std::string saveWith(void (*change)(save_args_t&)) {
    save_args_t args;
    args.roomId = 18;  // not the seeded room, so a partial write would show
    change(args);
    return saveForm(args).body();
}

std::vector<malformed_case_t> malformedCases() {
    const std::string alice = daemonEncode("alice@corp.example.com");
    const std::string saveHead = "room_id=18&send_user_id=" + alice + "&msg_seq=";
    const std::string leaveHead = "room_id=17&user_id=" + alice + "&time=5";
    return {
        {"SaveWithoutRoom", kSave, "send_user_id=" + alice + "&msg_seq=1"},
        {"SaveRoomZero", kSave, saveWith([](save_args_t& a) { a.roomId = 0; })},
        {"SaveWithoutSender", kSave, "room_id=18&msg_seq=1"},
        {"SaveSenderTooLong", kSave, saveWith([](save_args_t& a) { a.senderId = std::string(257, 's'); })},
        {"SaveMessageTooLong", kSave, saveWith([](save_args_t& a) { a.msg = std::string(8193, 'm'); })},
        {"SaveFileUrlTooLong", kSave, saveWith([](save_args_t& a) { a.fileUrl = std::string(4097, 'u'); })},
        {"SaveDataSizeDisagrees", kSave, saveHead + "1&msg=abc&data_size=4"},
        {"SaveBadSequence", kSave, saveHead + "x1"},
        {"SaveBadEscape", kSave, saveForm(save_args_t()).body() + "%4"},
        {"SaveFieldTwice", kSave, saveForm(save_args_t()).body() + "&msg_seq=2"},
        {"SaveMoreJoinSeqsThanIds", kSave, saveHead + "1&recv_user_list=" + alice + "&recv_user_join_seq_list=1%2C2"},
        {"SaveBadJoinSeq", kSave, saveHead + "1&recv_user_list=" + alice + "&recv_user_join_seq_list=x"},
        {"SaveEmptyMemberId", kSave, saveWith([](save_args_t& a) { a.members[1].id = ""; })},
        {"SaveBadReadFlag", kSave, saveWith([](save_args_t& a) { a.members[2].readYn = "maybe"; })},
        {"SaveMemberIdTooLong", kSave, saveWith([](save_args_t& a) { a.members[2].id = std::string(257, 'c'); })},
        {"SendStateWithoutTenant", "/was/updateMsgSend",
         "room_id=17&msg_seq=1&userids=" + daemonEncode("bob@corp.example.com")},
        {"SendStateTenantTooLong", "/was/updateMsgSend",
         "room_id=17&msg_seq=1&tenant_id=" + std::string(257, 't') + "&userids=bob"},
        {"SendStateBadFlag", "/was/updateMsgSend",
         "room_id=17&msg_seq=1&tenant_id=example.com&userids=bob&send_yn=maybe"},
        {"LeaveWithoutJoinSeq", "/was/leave", leaveHead},
        {"LeaveNegativeJoinSeq", "/was/leave", leaveHead + "&join_seq=-5&leave_current_join_seq=yes"},
        {"LeaveBadFlag", "/was/leave", leaveHead + "&join_seq=1&leave_current_join_seq=maybe"},
        {"EndRoomWithoutTenant", "/was/endRoom", "room_id=17&time=5"},
        {"NotEndedWithoutStart", "/was/notEndRoomList", "svr_ip=&svr_port=1&load_mode=all"},
        {"LoadRoomBadId", "/was/loadRoom", "room_id=-&tenant_id=example.com"},
        {"SendFailWithoutMessage", "/was/sendFailUser", "room_id=17&tenant_id=example.com"},
        {"PushWithoutRecipients", "/was/mobilePush", "room_id=17&userid=&senderId=" + alice + "&msgSeq=1"},
        {"PushEmptyRecipientEntry", "/was/mobilePush", "room_id=17&userid=bob%2C%2Ccarol&senderId=" + alice + "&msgSeq=1"},
        {"PushWithoutSequence", "/was/mobilePush", "room_id=17&userid=bob&senderId=" + alice},
        {"InviteWithoutTarget", "/was/inviteRequest", "from_id=" + alice + "&contents=x"},
        {"InviteContentsTooLong", "/was/inviteRequest", "from_id=" + alice + "&to_id=bob&contents=" + std::string(8192, 'c')},
        {"NoDeviceWithoutUser", "/was/noDevice", "no_device=y"},
    };
}

class MalformedRequestTest : public WasLoopbackTest, public ::testing::WithParamInterface<malformed_case_t> {
protected:
    void SetUp() override {
        WasLoopbackTest::SetUp();
        startWas();
        ASSERT_EQ(0, save(save_args_t()).code);
    }
    // Everything a refused request could have touched.
    std::string storedState() {
        return dump() + "|" + sql("SELECT COUNT(*) FROM push_outbox")[0][0] + "|" +
               sql("SELECT COUNT(*) FROM invite_outbox")[0][0] + "|" + sql("SELECT COUNT(*) FROM no_device")[0][0];
    }
};

TEST_P(MalformedRequestTest, IsRefusedWithAnErrorAndChangesNothing) {
    const std::string before = storedState();
    was_reply_t reply = postBody(GetParam().page, GetParam().body);
    ASSERT_TRUE(reply.hasHeader);
    EXPECT_EQ(400, reply.code);
    EXPECT_FALSE(reply.errorText.empty());
    EXPECT_EQ(before, storedState());
}

INSTANTIATE_TEST_SUITE_P(WasPages, MalformedRequestTest, ::testing::ValuesIn(malformedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class StoredLimitsTest : public WasEngineTest {};

TEST_P(StoredLimitsTest, FieldsOfTheirFullSizeAreStored) {
    startWas();
    save_args_t args;
    args.senderId = std::string(240, 's') + "@corp.x.com";
    args.senderId.resize(256, 'z');
    args.members[0].id = args.senderId;
    args.msg = std::string(8192, '\0');
    args.fileName = std::string(2048, 'f');
    args.fileUrl = std::string(4096, 'u');
    ASSERT_EQ(0, save(args).code);
    EXPECT_EQ((Rows{{"256", "8192", "2048", "4096"}}),
              sql("SELECT length(sender_id), length(body), length(file_name), length(file_url) FROM messages"));
}

INSTANTIATE_TEST_SUITE_P(, StoredLimitsTest, kWasEngines, wasEngineName);

class WasLimitsTest : public WasLoopbackTest {};

// A request cut short by a peer that went away, or one too large to read.
TEST_F(WasLimitsTest, OversizedOrCutShortRequestsChangeNothingAndTheServerGoesOn) {
    startWas();
    const std::string huge = daemonRequest("/was/saveMessage", "msg=" + std::string(2 << 20, 'a'));
    EXPECT_NE("HTTP/1.1 200 OK", parseReply(exchange(huge)).statusLine);
    const std::string wire = daemonRequest("/was/saveMessage", saveForm(save_args_t()).body());
    EXPECT_EQ(std::string::npos, exchange(wire.substr(0, wire.size() - 10), true).find("200 OK"));

    EXPECT_EQ(404, loadRoom(17).code);  // still answering, and the room was never saved
    EXPECT_EQ((Rows{{"0"}}), sql("SELECT COUNT(*) FROM messages"));
}

}  // namespace
