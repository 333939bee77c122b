// The datapacket messages: the schema's identity, their wire form, and the
// helpers that put them into frames and take them out again.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/stubs/logging.h>
#include <google/protobuf/util/message_differencer.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "protocol/kvo_message.h"
#include "simulator/frame_writer.h"

namespace {

namespace gp = google::protobuf;

using kvotest::Bytes;

std::string Frame(uint16_t type, const gp::MessageLite& m) {
    uint64_t size = KvoMessageFrameSize(m);
    std::string out(size, '\0');
    size_t written = 0;
    EXPECT_EQ(KvoSerializeFrameTo(type, m, reinterpret_cast<uint8_t*>(out.data()), out.size(), &written), KVO_FRAME_OK);
    EXPECT_EQ(written, size);
    return out;
}

TEST(Schema, DescriptorMatchesTheGatewaySchema) {
    // The serialised file descriptor binds every message, field name, number
    // and type at once.
    gp::FileDescriptorProto file;
    datapacket::LoginReq::descriptor()->file()->CopyTo(&file);
    EXPECT_EQ(file.name(), "datapacket.pro");
    EXPECT_EQ(file.package(), "datapacket");
    EXPECT_EQ(file.syntax(), "proto3");
    EXPECT_EQ(file.message_type_size(), 14);
    EXPECT_EQ(file.ByteSizeLong(), 1848u);
}

// Every message with its fields in schema order: name, number, type, and
// "repeated" for the one repeated field. The descriptor size alone cannot
// tell int32 from uint32, string from bytes, or two spellings of one
// length ("heratbeat_interval" is the gateway's own spelling).
constexpr const char* kGatewaySchema = R"(LoginReq
  username 1 string
  password 2 string
  passport 3 bytes
  version 4 string
  instid 5 uint32
  userid 6 string
  mac 7 string
  zip_version 8 string
  exchange_type 9 uint32
  token 10 string
  session_id 11 string
  usertype 12 string
LoginRsp
  statuscode 1 int32
  statusmsg 2 string
  version 3 string
  lang 4 string
  cpu_rate 5 int32
  cpu_cores 6 int32
  memory 7 int32
  stats_rate 8 int32
  loopback_sample 9 int32
  instid 10 uint32
  heratbeat_interval 11 uint32
  reconnect_policy 12 uint32
  reconnect_interval 13 uint32
  zip_version 14 string
  token 15 string
  expire_date 16 string
HeartBeat
  interval 1 int32
  sendtime 2 uint64
GetCodelistReq
  market 1 string
  codetype 2 int32
  instid 3 uint32
GetCodelistRsp
  statuscode 1 int32
  statusmsg 2 string
  codelist 3 string
  codecount 4 int32
  instid 5 uint32
ElkMessageReq
  elkmessage 1 bytes
ElkMessageRsp
  statuscode 1 int32
  statusmsg 2 bytes
SubscribeReq
  market 1 string
  codelist 2 string
  data_class 3 int32
  dataoption 4 int32
  suboper 5 int32
  rettype 6 int32
  instid 7 uint32
  levels_num 8 uint32
SubscribeRsp
  statuscode 1 int32
  statusmsg 2 string
  options 3 int32
  instid 4 uint32
GetQuotaReq
  market 1 string
  codelist 2 bytes
  data_class 3 int32
  begintime 4 int64
  endtime 5 int64
  data_option 6 string
  rettype 7 string
  instid 8 uint32
  levels_num 9 uint32
GetQuotaRsp
  status_code 1 int32
  status_msg 2 string
  market 3 string
  data_class 4 int32
  rettype 5 string
  msg_name 6 string
  databuf 7 bytes
  instid 8 uint32
PushData
  market 1 string
  data_class 2 int32
  rettype 3 int32
  produce_time 4 uint64 repeated
  send_time 5 uint64
  msg_name 6 string
  datatime 7 uint64
  databuf 9 bytes
TestSpeed
  seqnum 1 uint64
  send_time 2 uint64
  data_size 3 uint32
  databuf 4 bytes
GatewayNotify
  statuscode 1 int32
  statusmsg 2 string
  version 3 string
  host_business 4 string
)";

TEST(Schema, EveryFieldAsTheGatewayDefinesIt) {
    const gp::FileDescriptor* file = datapacket::LoginReq::descriptor()->file();
    std::string got;
    for (int i = 0; i < file->message_type_count(); ++i) {
        const gp::Descriptor* m = file->message_type(i);
        got += m->name() + "\n";
        EXPECT_EQ(m->full_name(), "datapacket." + m->name());
        EXPECT_EQ(m->oneof_decl_count(), 0) << m->name();
        for (int k = 0; k < m->field_count(); ++k) {
            const gp::FieldDescriptor* f = m->field(k);
            got += "  " + f->name() + " " + std::to_string(f->number()) + " " + f->type_name();
            if (f->is_repeated()) {
                got += " repeated";
                // Written packed (tag 34), as proto3 does without an option.
                EXPECT_TRUE(f->is_packed()) << f->full_name();
            }
            // Singular proto3 fields have no presence: a default is not written.
            EXPECT_FALSE(f->has_presence() && !f->is_repeated() &&
                         f->cpp_type() != gp::FieldDescriptor::CPPTYPE_MESSAGE)
                << f->full_name();
            got += "\n";
        }
    }
    EXPECT_EQ(got, kGatewaySchema);
}

TEST(WireForm, GoldenFrames) {
    // An empty heartbeat is a bare header.
    datapacket::HeartBeat hb;
    EXPECT_EQ(Frame(KVO_PACKET_HEARTBEAT, hb), Bytes({0x11, 0xA7, 0x8D, 0x9E, 11, 0, 0, 0, 16, 0, 0}));

    // Three produce times are one packed field, tag 34.
    datapacket::PushData push;
    push.add_produce_time(1);
    push.add_produce_time(2);
    push.add_produce_time(300);
    EXPECT_EQ(Frame(20, push), Bytes({0x11, 0xA7, 0x8D, 0x9E, 17, 0, 0, 0, 20, 0, 0,  //
                                      0x22, 0x04, 0x01, 0x02, 0xAC, 0x02}));
    EXPECT_EQ(Frame(20, push), kvotest::GatewayMessageFrame(20, push));

    // A login request's fields in number order.
    datapacket::LoginReq login;
    login.set_username("u");
    login.set_instid(300);
    login.set_exchange_type(1);
    EXPECT_EQ(Frame(KVO_PACKET_LOGIN_REQ, login), Bytes({0x11, 0xA7, 0x8D, 0x9E, 11 + 8, 0, 0, 0, 1, 0, 0,  //
                                                         0x0A, 0x01, 'u', 0x28, 0xAC, 0x02, 0x48, 0x01}));
}

void FillBoundary(gp::Message* m, int round);

TEST(WireForm, AllDefaultsWriteNothingAndEmptyBodiesParseToDefaults) {
    const gp::FileDescriptor* file = datapacket::LoginReq::descriptor()->file();
    for (int i = 0; i < file->message_type_count(); ++i) {
        const gp::Message* proto = gp::MessageFactory::generated_factory()->GetPrototype(file->message_type(i));
        std::unique_ptr<gp::Message> m(proto->New());
        EXPECT_EQ(m->ByteSizeLong(), 0u) << m->GetTypeName();
        std::string frame = Frame(9, *m);
        EXPECT_EQ(frame.size(), 11u);
        // A filled message parsed from an empty body returns to its defaults.
        std::unique_ptr<gp::Message> filled(proto->New());
        FillBoundary(filled.get(), 0);
        ASSERT_GT(filled->ByteSizeLong(), 0u);
        EXPECT_EQ(KvoParseFrame(frame.data(), frame.size(), *filled), KVO_FRAME_OK);
        EXPECT_EQ(filled->ByteSizeLong(), 0u) << m->GetTypeName();
    }
}

// Sets every field of `m` to a boundary value picked by `round`.
void FillBoundary(gp::Message* m, int round) {
    const gp::Descriptor* d = m->GetDescriptor();
    const gp::Reflection* r = m->GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
        const gp::FieldDescriptor* f = d->field(i);
        bool high = round % 2 == 0;
        switch (f->cpp_type()) {
        case gp::FieldDescriptor::CPPTYPE_INT32:
            r->SetInt32(m, f, high ? INT32_MAX : INT32_MIN);
            break;
        case gp::FieldDescriptor::CPPTYPE_UINT32:
            r->SetUInt32(m, f, high ? UINT32_MAX : 1u);
            break;
        case gp::FieldDescriptor::CPPTYPE_INT64:
            r->SetInt64(m, f, high ? INT64_MAX : INT64_MIN);
            break;
        case gp::FieldDescriptor::CPPTYPE_UINT64:
            if (f->is_repeated()) {
                for (uint64_t v : {uint64_t(0), uint64_t(127), uint64_t(128), UINT64_MAX}) r->AddUInt64(m, f, v);
            } else {
                r->SetUInt64(m, f, high ? UINT64_MAX : 1u);
            }
            break;
        case gp::FieldDescriptor::CPPTYPE_STRING: {
            std::string v;
            if (f->type() == gp::FieldDescriptor::TYPE_BYTES) {
                for (int c = 0; c < 256; ++c) v.push_back(static_cast<char>(c));
                if (!high) v = std::string(70000, '\xFF');  // longer than a two-byte length
            } else {
                v = high ? "\xE4\xB8\xAD\xE6\x96\x87 text" : std::string(1, '\0');
            }
            r->SetString(m, f, v);
            break;
        }
        default:
            ADD_FAILURE() << "unexpected field type in " << f->full_name();
        }
    }
}

TEST(RoundTrip, EveryMessageWithBoundaryValues) {
    const gp::FileDescriptor* file = datapacket::LoginReq::descriptor()->file();
    for (int i = 0; i < file->message_type_count(); ++i) {
        const gp::Message* proto = gp::MessageFactory::generated_factory()->GetPrototype(file->message_type(i));
        for (int round = 0; round < 2; ++round) {
            std::unique_ptr<gp::Message> m(proto->New());
            FillBoundary(m.get(), round);
            std::string frame = Frame(static_cast<uint16_t>(20 + round), *m);
            std::unique_ptr<gp::Message> back(proto->New());
            uint16_t type = 0;
            ASSERT_EQ(KvoParseFrame(frame.data(), frame.size(), *back, &type), KVO_FRAME_OK) << m->GetTypeName();
            EXPECT_EQ(type, 20 + round);
            EXPECT_TRUE(gp::util::MessageDifferencer::Equals(*m, *back)) << m->GetTypeName();
            // The frame is what the independent writer makes of the same message.
            EXPECT_EQ(frame, kvotest::GatewayMessageFrame(static_cast<uint16_t>(20 + round), *m));
        }
    }
}

TEST(Parse, AcceptsUnpackedProduceTimes) {
    datapacket::PushData push;
    std::string body = Bytes({0x20, 0x01, 0x20, 0x02, 0x22, 0x01, 0x03});
    ASSERT_EQ(KvoParseBody(body.data(), body.size(), push), KVO_FRAME_OK);
    ASSERT_EQ(push.produce_time_size(), 3);
    EXPECT_EQ(push.produce_time(0), 1u);
    EXPECT_EQ(push.produce_time(1), 2u);
    EXPECT_EQ(push.produce_time(2), 3u);
}

TEST(Parse, KeepsUnknownFieldsAndWritesThemAgain) {
    // Field 8 of PushData is not in the schema: varint 8 = 5, then a text.
    std::string body = Bytes({0x0A, 0x03, 'U', 'S', 'H', 0x40, 0x05, 0x52, 0x02, 'h', 'i'});
    datapacket::PushData push;
    ASSERT_EQ(KvoParseBody(body.data(), body.size(), push), KVO_FRAME_OK);
    EXPECT_EQ(push.market(), "USH");
    std::string frame = Frame(21, push);
    EXPECT_EQ(frame.substr(11), body);
}

TEST(Parse, StringFieldsMustBeUtf8ButBytesFieldsNeedNot) {
    // GBK bytes, not valid UTF-8, as field 2 of either message.
    std::string body = Bytes({0x08, 0x05, 0x12, 0x04, 0xB3, 0xAC, 0xCA, 0xB1, 0x50, 0x07});
    datapacket::LoginRsp rsp;
    EXPECT_EQ(KvoParseBody(body.data(), body.size(), rsp), KVO_FRAME_E_PARSE);
    EXPECT_EQ(rsp.statuscode(), 5);  // fields before the fault stay set
    datapacket::ElkMessageRsp elk;
    EXPECT_EQ(KvoParseBody(body.data(), body.size(), elk), KVO_FRAME_OK);
    EXPECT_EQ(elk.statusmsg(), body.substr(4, 4));
}

// Collects what the protobuf runtime reports while a test runs.
class RuntimeReports {
public:
    RuntimeReports() { previous_ = gp::SetLogHandler(&RuntimeReports::Collect); }
    ~RuntimeReports() { gp::SetLogHandler(previous_); }
    static std::string& Text() {
        static std::string text;
        return text;
    }

private:
    static void Collect(gp::LogLevel, const char*, int, const std::string& message) { Text() += message + "\n"; }
    gp::LogHandler* previous_;
};

TEST(Utf8, ReportedByFieldNameAndWrittenAllTheSame) {
    RuntimeReports reports;
    RuntimeReports::Text().clear();
    const std::string gbk = Bytes({0xB3, 0xAC, 0xCA, 0xB1});
    datapacket::LoginReq req;
    req.set_username(gbk);
    corvane::CTLSmartBuffer out;
    ASSERT_EQ(KvoSerializeFrame(KVO_PACKET_LOGIN_REQ, req, out), KVO_FRAME_OK);
    EXPECT_EQ(std::string(out.GetData(), out.GetLength()), kvotest::GatewayFrame(1, Bytes({0x0A, 0x04}) + gbk));
    EXPECT_NE(RuntimeReports::Text().find("datapacket.LoginReq.username"), std::string::npos) << RuntimeReports::Text();
    // Read back, the same bytes fail the parse of the string field.
    datapacket::LoginReq back;
    EXPECT_EQ(KvoParseFrame(out.GetData(), out.GetLength(), back), KVO_FRAME_E_PARSE);
}

TEST(Parse, RejectsBrokenBodiesAndFrames) {
    datapacket::GetQuotaRsp rsp;
    // A length that runs past the end, and a field with wire type 7.
    for (const std::string& body : {Bytes({0x3A, 0x10, 0x01}), Bytes({0x0F, 0x00}), Bytes({0x40})}) {
        EXPECT_EQ(KvoParseBody(body.data(), body.size(), rsp), KVO_FRAME_E_PARSE);
    }
    EXPECT_EQ(KvoParseBody(nullptr, 3, rsp), KVO_FRAME_E_ARGUMENT);
    EXPECT_EQ(KvoParseBody(nullptr, 0, rsp), KVO_FRAME_OK);

    std::string frame = kvotest::GatewayFrame(8, Bytes({0x40, 0x07}));
    uint16_t type = 0;
    EXPECT_EQ(KvoParseFrame(frame.data(), frame.size(), rsp, &type), KVO_FRAME_OK);
    EXPECT_EQ(rsp.instid(), 7u);
    EXPECT_EQ(KvoParseFrame(frame.data(), frame.size() - 1, rsp, &type), KVO_FRAME_E_TRUNCATED);
    std::string bad = kvotest::GatewayFrameWithLength(8, "", 3);
    EXPECT_EQ(KvoParseFrame(bad.data(), bad.size(), rsp, &type), KVO_FRAME_E_BAD_LENGTH);
}

TEST(Serialize, RefusesTooSmallOutput) {
    datapacket::GatewayNotify n;
    n.set_statusmsg("bye");
    uint8_t out[12];
    size_t written = 99;
    EXPECT_EQ(KvoSerializeFrameTo(60, n, out, sizeof out, &written), KVO_FRAME_E_ARGUMENT);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(KvoSerializeFrameTo(60, n, nullptr, 100, &written), KVO_FRAME_E_ARGUMENT);
}

TEST(Serialize, AppendsFramesToASmartBuffer) {
    corvane::CTLSmartBuffer out;
    datapacket::HeartBeat hb;
    hb.set_interval(2000);
    hb.set_sendtime(1765000000000ull);
    datapacket::ElkMessageReq elk;
    elk.set_elkmessage(std::string("{\"module\":\"x\"}\0\xFF", 16));
    ASSERT_EQ(KvoSerializeFrame(KVO_PACKET_HEARTBEAT, hb, out), KVO_FRAME_OK);
    ASSERT_EQ(KvoSerializeFrame(KVO_PACKET_ELK_MESSAGE_REQ, elk, out), KVO_FRAME_OK);
    uint32_t n = 0;
    const char* p = out.GetData(&n);
    std::vector<std::string> frames = kvotest::SplitGatewayStream(std::string_view(p, n));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], kvotest::GatewayMessageFrame(16, hb));
    EXPECT_EQ(frames[1], kvotest::GatewayMessageFrame(50, elk));
}

TEST(Text, NullTextBecomesEmpty) {
    datapacket::LoginReq req;
    req.set_username("before");
    const char* none = nullptr;
    req.set_username(KvoText(none));
    EXPECT_EQ(req.username(), "");
    req.set_token(KvoText("tok"));
    EXPECT_EQ(req.token(), "tok");
}

}  // namespace
