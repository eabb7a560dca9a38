// Big5 conversion, the bounded WireReader and the record encodings: field order on the wire,
// round trips (read then write back gives the same bytes), and refusal of texts CP950 lacks.
#include <gtest/gtest.h>

#include "big5.h"
#include "loopback_peer.h"
#include "records.h"
#include "wire_io.h"

using linktest::Bytes;

namespace {

// 客戶 王小明 台北市 in CP950.
const std::string kKehu = "\xAB\xC8\xA4\xE1";
const std::string kWang = "\xA4\xFD\xA4\x70\xA9\xFA";
const std::string kTaipei = "\xA5\x78\xA5\x5F\xA5\xAB";

TEST(Big5, ConvertsBothWays) {
    struct Case {
        std::string utf8, big5;
    } cases[] = {
        {"", ""},
        {"ADMIN 123", "ADMIN 123"},
        {"客戶", kKehu},
        {"王小明 台北市", kWang + " " + kTaipei},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wire::toBig5(c.utf8), c.big5) << c.utf8;
        EXPECT_EQ(wire::fromBig5(c.big5), c.utf8) << c.utf8;
        EXPECT_TRUE(wire::representableInBig5(c.utf8));
        EXPECT_EQ(wire::big5Length(c.utf8), static_cast<long>(c.big5.size()));
    }
}

TEST(Big5, RefusesWhatCp950CannotHold) {
    const char* notRepresentable[] = {
        "\xF0\x9F\x98\x80",      // an emoji
        "客戶\xF0\x9F\x98\x80",  // a good text with one bad character
        "\xE4\xB8\x80\xCC\x81",  // a combining accent
        "\xFF\xFE",              // not UTF-8 at all
        "\xE4\xB8",              // UTF-8 cut in the middle of a character
    };
    for (const char* text : notRepresentable) {
        EXPECT_FALSE(wire::toBig5(text)) << text;
        EXPECT_FALSE(wire::representableInBig5(text));
        EXPECT_EQ(wire::big5Length(text), -1);
    }
}

TEST(Big5, RefusesInvalidCp950Bytes) {
    EXPECT_FALSE(wire::fromBig5("\xA4\xFF"));  // a lead byte with an impossible trail
    EXPECT_FALSE(wire::fromBig5("abc\xA4"));   // a lead byte cut off at the end
    EXPECT_TRUE(wire::fromBig5("\xA4\x40"));   // 一
}

TEST(Big5, LengthCountsTwoBytesPerChineseCharacter) {
    std::string twentyFour, twentyFive;
    for (int i = 0; i < 24; ++i) {
        twentyFour += "客";
    }
    twentyFive = twentyFour + "戶";
    EXPECT_EQ(wire::big5Length(twentyFour), 48);
    EXPECT_EQ(wire::big5Length(twentyFive), 50);
    EXPECT_EQ(wire::big5Length("abc客"), 5);
}

TEST(WireReader, NeverReadsOutsideItsRange) {
    const std::string data = Bytes().i32(7).text("ab").u8(9).raw("cd");
    wire::WireReader r(data.data(), data.size());
    EXPECT_EQ(r.readInt32(), 7);
    EXPECT_STREQ(r.readString(), "ab");
    EXPECT_EQ(r.readByte(), 9);
    EXPECT_EQ(r.remaining(), 2u);
    EXPECT_FALSE(r.broken());
    EXPECT_STREQ(r.readString(), "");  // "cd" has no zero before the end
    EXPECT_TRUE(r.broken());
    EXPECT_EQ(r.position(), 8u);  // left where the unfinished text starts
    // Once broken, nothing more is read, even what would fit.
    EXPECT_EQ(r.readByte(), 0);
    r.reset(data.data(), 3);
    EXPECT_EQ(r.readInt32(), 0);
    EXPECT_TRUE(r.broken());
}

TEST(WireReader, InvalidCp950TextBreaksTheReader) {
    const std::string data = Bytes().text("\xA4\xFF").text("ok");
    wire::WireReader r(data.data(), data.size());
    EXPECT_EQ(r.readText(), "");
    EXPECT_TRUE(r.broken());
}

TEST(WireWriter, IntegersAreLittleEndian) {
    wire::StringWriter w;
    w.appendInt32(-2);
    w.appendInt32(0x12345678);
    w.appendByte(0xFF);
    EXPECT_EQ(w.bytes(), std::string("\xFE\xFF\xFF\xFF\x78\x56\x34\x12\xFF", 9));
}

// ---- records

wire::Customer sampleCustomer() {
    wire::Customer c;
    c.id = "C0001";
    c.category = 2;
    c.name = "王小明";
    c.updateDate = 1700000000;
    c.employee = 11;
    c.email = "台北市";
    c.info = "客戶";
    c.version = 200;
    c.oid = 999;  // never on the wire
    c.tel = "02-1234";
    c.fax = "";
    c.expireDate = 0;
    c.updateEmployee = 12;
    c.createDate = 1600000000;
    c.followEmployee = 13;
    return c;
}

TEST(Records, CustomerGoesInWireOrder) {
    const std::string expected = Bytes()
                                     .text("C0001")
                                     .i32(2)
                                     .text(kWang)
                                     .i32(1700000000)  // updateDate
                                     .i32(0)           // expireDate: none
                                     .i32(1600000000)  // createDate
                                     .i32(11)          // employee
                                     .i32(12)          // updateEmployee
                                     .i32(13)          // followEmployee
                                     .text(kTaipei)    // email (the address)
                                     .text(kKehu)      // info
                                     .text("02-1234")
                                     .text("")
                                     .u8(200);
    wire::StringWriter w;
    EXPECT_TRUE(wire::writeCustomer(w, sampleCustomer()));
    EXPECT_EQ(w.bytes(), expected);

    wire::WireReader r(expected.data(), expected.size());
    wire::Customer back;
    EXPECT_TRUE(wire::readCustomer(r, back));
    EXPECT_TRUE(r.atEnd());
    wire::Customer want = sampleCustomer();
    want.oid = 0;
    EXPECT_EQ(back, want);
    wire::StringWriter again;
    EXPECT_TRUE(wire::writeCustomer(again, back));
    EXPECT_EQ(again.bytes(), expected);
}

TEST(Records, EmployeeRoundTripLeavesOutFlagsAndOid) {
    const std::string expected = Bytes().text("ADMIN").text(kWang).text("PW").i32(0x3FF);
    wire::WireReader r(expected.data(), expected.size());
    wire::Employee e;
    e.oid = 5;
    e.waitingChange = true;
    ASSERT_TRUE(wire::readEmployee(r, e));
    EXPECT_EQ(e.id, "ADMIN");
    EXPECT_EQ(e.name, "王小明");
    EXPECT_EQ(e.password, "PW");
    EXPECT_EQ(e.permission, wire::kPermAll);
    EXPECT_TRUE(r.atEnd());
    wire::StringWriter w;
    EXPECT_TRUE(wire::writeEmployee(w, e));
    EXPECT_EQ(w.bytes(), expected);
}

TEST(Records, EventRoundTrip) {
    const std::string expected =
        Bytes().i32(77).i32(1).i32(12).i32(1700000123).text(kKehu).text("").u8(255);
    wire::WireReader r(expected.data(), expected.size());
    wire::Event e;
    ASSERT_TRUE(wire::readEvent(r, e));
    EXPECT_EQ(e.customer, 77);
    EXPECT_EQ(e.category, 1);
    EXPECT_EQ(e.employee, 12);
    EXPECT_EQ(e.transDate, 1700000123);
    EXPECT_EQ(e.title, "客戶");
    EXPECT_EQ(e.version, 255);
    wire::StringWriter w;
    EXPECT_TRUE(wire::writeEvent(w, e));
    EXPECT_EQ(w.bytes(), expected);
}

TEST(Records, CustomerImageIsNameCustomerStamp) {
    const std::string expected = Bytes().text(kKehu).i32(77).i32(1700000000);
    wire::CustomerImage image{"客戶", 77, 1700000000, 9, 3};
    wire::StringWriter w;
    EXPECT_TRUE(wire::writeCustomerImage(w, image));
    EXPECT_EQ(w.bytes(), expected);
    wire::WireReader r(expected.data(), expected.size());
    wire::CustomerImage back;
    ASSERT_TRUE(wire::readCustomerImage(r, back));
    EXPECT_EQ(back.name, image.name);
    EXPECT_EQ(back.customer, 77);
    EXPECT_EQ(back.transDate, 1700000000);
}

TEST(Records, ReadersReportAShortRecordAtEveryCut) {
    wire::StringWriter full;
    wire::writeCustomer(full, sampleCustomer());
    for (size_t cut = 0; cut < full.bytes().size(); ++cut) {
        wire::WireReader r(full.bytes().data(), cut);
        wire::Customer c;
        EXPECT_FALSE(wire::readCustomer(r, c)) << cut;
    }
}

TEST(Records, WriterRefusesATextCp950CannotHold) {
    wire::Employee e{"ADMIN", "smile \xF0\x9F\x98\x80", "PW", 1, false, false, 0};
    wire::StringWriter w;
    EXPECT_FALSE(wire::writeEmployee(w, e));
    EXPECT_TRUE(w.failed());
    wire::Customer c = sampleCustomer();
    c.fax = "\xF0\x9F\x98\x80";
    wire::StringWriter w2;
    EXPECT_FALSE(wire::writeCustomer(w2, c));
}

}  // namespace
