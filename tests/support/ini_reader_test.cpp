#include <fstream>

#include "SupportTestUtil.h"
#include "config/IniReader.h"

using Kest_U50::CIniReader;

namespace {

class IniReaderTest : public ::testing::Test {
protected:
    // Writes text (bytes as given) to a file of the scratch directory and loads it.
    bool Load(const std::string& text) {
        std::ofstream("test.ini", std::ios::binary | std::ios::trunc) << text;
        return m_reader.ReadConfig("test.ini");
    }

    support_test::CScratchDir m_dir;
    CIniReader m_reader;
};

}  // namespace

TEST_F(IniReaderTest, EachLoadReplacesWhatTheReaderHeld) {
    const char BINARY[] = "[s]\nk=4\n\0\0=\0[\xff\nk2=v\0w\n\0\n\n[\n]\n=\n#\n";
    // {file content or nullptr for no file at all, value of k in [s] afterwards}
    const std::pair<const char*, const char*> rows[] = {
        {"[s]\nk=1\n", "1"}, {nullptr, "<default>"}, {"[s]\nk=2\n", "2"},
        {"", "<default>"},   {BINARY, "4"},          {"# only\n\n  \n\t\n#[s]\n# k=1\n", "<default>"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        const size_t size = r.first == BINARY ? sizeof(BINARY) - 1 : r.first ? strlen(r.first) : 0;
        EXPECT_EQ(r.first != nullptr,
                  r.first ? Load(std::string(r.first, size)) : m_reader.ReadConfig("none.ini"));
        EXPECT_EQ(r.second, m_reader.ReadString("s", "k", "<default>"));
    }
}

TEST_F(IniReaderTest, Lookups) {
    ASSERT_TRUE(Load(
        "orphan=1\n[config]\nlog_level=\nshfe2ps = enabled  # feed A\n  # cpucore=3\n#bus=3\n"
        "device=xilinx1:0#x\na=b=c\n=5\nno equals sign\n\tpadded\t=\t value with  inner blanks \t\n"
        "x=[1\nvt=\vv\f\ndup=first\ndup=2nd\n"
        "[crlf]\r\ninsts=cu2406\r\npadded= cu2406 \r\nempty=\r\ninner=a\rb\r\n"
        "  [channel3]\ninsts=cu2406\nInsts=upper\n[ channel4 ]\ninsts=al2407\n"
        "[tail]junk=1\ninsts=cu2406 # was [old]\nafter=2\n[config]\ndup=third\nadded=2\n"
        "]odd[\nk=v\n[]\nk2=v2\n"
        "[n]\nbig16=70000\nminus=-1\nwrap32=4294967297\nlead=  42abc\nword=abc\nneg=-5\nplus=+12\nempty=\n"));
    // "section/key=value"; absent keys read as "<default>".
    const char* const strings[] = {
        // Key lines: '#' ends the line, blanks (space and tab only) are trimmed.
        "config/log_level=", "config/shfe2ps=enabled", "config/cpucore=<default>", "config/bus=<default>",
        "config/device=xilinx1:0", "config/a=b=c", "config/=<default>", "config/no equals sign=<default>",
        "config/padded=value with  inner blanks", "config/x=[1", "config/vt=\vv\f",
        // A key read again replaces the value; a section read again is reopened.
        "config/dup=third", "config/added=2",
        // Carriage-return line ends: the first one after the first character goes.
        "crlf/insts=cu2406", "crlf/padded=cu2406 ", "crlf/empty=\r", "crlf/inner=ab\r",
        // Section names are not trimmed; names and keys are case-sensitive.
        "channel3/insts=cu2406", "channel3/Insts=upper", "Channel3/insts=<default>",
        "channel4/insts=<default>", " channel4 /insts=al2407",
        // A line with both brackets is a header, whatever follows or where they stand.
        "tail/junk=<default>", "tail/insts=<default>", "old/after=2", "old/added=<default>", "/k=v", "/k2=v2",
        // Key lines before the first header belong to no section.
        "/orphan=<default>", "nosection/insts=<default>"};
    for (const std::string row : strings) {
        const size_t slash = row.find('/');
        const size_t equals = row.find('=', slash);
        const std::string section = row.substr(0, slash);
        const std::string key = row.substr(slash + 1, equals - slash - 1);
        EXPECT_EQ(row.substr(equals + 1), m_reader.ReadString(section.c_str(), key.c_str(), "<default>"))
            << row;
    }
    // Numbers convert without range checks; the default is only for absent keys.
    const struct {
        const char* key;
        int32_t i32;
        uint32_t u32;
        uint16_t u16;
    } numbers[] = {
        {"big16", 70000, 70000, 4464},
        {"minus", -1, 4294967295u, 65535},
        {"lead", 42, 42, 42},
        {"word", 0, 0, 0},
        {"neg", -5, 4294967291u, 65531},
        {"plus", 12, 12, 12},
        {"empty", 0, 0, 0},
        {"absent", 7, 7, 7},
    };
    for (const auto& r : numbers) {
        EXPECT_EQ(r.i32, m_reader.ReadInt32("n", r.key, 7)) << r.key;
        EXPECT_EQ(r.u32, m_reader.ReadUInt32("n", r.key, 7)) << r.key;
        EXPECT_EQ(r.u16, m_reader.ReadUInt16("n", r.key, 7)) << r.key;
    }
    EXPECT_EQ(1u, m_reader.ReadUInt32("n", "wrap32", 7));
    std::string out = "untouched";
    EXPECT_FALSE(m_reader.ReadCommon(nullptr, "insts", out) || m_reader.ReadCommon("channel3", nullptr, out));
    EXPECT_EQ("untouched", out);
}
