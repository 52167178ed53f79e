#include "archive/support/msg.h"

#include <gtest/gtest.h>

namespace {

TEST(Msg, LookupFindsEveryRowOnceOrTheLongestDottedPrefixAndLaterTablesAreAppended) {
    for (const MsgDef& row : engineMsgs())
        EXPECT_EQ(findMsgDef(row.id), &row) << row.id;
    EXPECT_EQ(findMsgDef("Tresmo.read.default")->code, 2010);
    EXPECT_EQ(findMsgDef("Tresmo.read.2.8.9")->code, 2012);
    // Neither "Tresmo.read" nor "Tresmo" has a row of its own.
    EXPECT_EQ(findMsgDef("Tresmo.read.7"), nullptr);
    EXPECT_EQ(makeError("StgFile.open.9").code, 9999);

    static const MsgDef ui[] = {{1000, "ArchiveDoc.OnFileSave.1", "Could not delete file {1}", 0},
                                {1002, "Tresmo.read.default", "shadowed", 0}};
    registerMsgs(ui);
    EXPECT_EQ(makeError("ArchiveDoc.OnFileSave.1", "x.trsm").text, "Could not delete file x.trsm");
    EXPECT_EQ(findMsgDef("Tresmo.read.default")->code, 2010);  // the first row of an id wins
}

std::string fmt(const char* text, MsgArg a1 = {}, MsgArg a2 = {}) {
    const MsgArg args[9] = {a1, a2};
    std::string out;
    return formatMsg(out, 1000, text, args) ? out : std::string("<fail>");
}

TEST(Msg, PlaceholdersTakeTheArgumentKindOrAnExplicitConversionWithinTheTextLimit) {
    EXPECT_EQ(makeError("LzReader.seek", 255, 3, 7).text,
              "Position in data not found: 000000FF/3/7");
    EXPECT_EQ(makeError("LzReader.seek", "x", 3, 7).code, 9999);  // {1:08X} wants an integer
    const std::string s999(999, 'x'), y1000(1000, 'y');
    struct Case {
        const char* text;
        MsgArg a1, a2;
        std::string want;
    } cases[] = {
        {"a {0}", {}, {}, "<fail>"},
        {"a {1:}", 5, {}, "<fail>"},
        {"a {1:0000000000000000008d}", 5, {}, "<fail>"},  // a conversion of 20 characters
        {"a {1:000000000000000008d}", 5, {}, "a 00000005"},
        {"a {1:*d}", 5, {}, "<fail>"},    // '*' would read a missing argument
        {"{1}", s999.c_str(), {}, s999},  // below a thousand bytes with the NUL
        {"{1}!", s999.c_str(), {}, "<fail>"},
        {y1000.c_str(), {}, {}, "<fail>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fmt(c.text, c.a1, c.a2), c.want) << c.text;
}

}  // namespace
