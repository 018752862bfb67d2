// The INI dialect as the reader takes it: comments, '#' in values, carriage
// returns, repeated keys and sections, headers anywhere on a line.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "config/IniReader.h"

TEST(IniReader, SectionsKeysCommentsAndLineEndsReadAsWritten) {
    const kest_test::ScopedTempDir dir;
    kest_test::WriteFile(
        dir.File("test.ini"),
        "orphan=1\n[config]\nlog_level=\nshfe2ps = enabled  # feed A\n  # cpucore=3\n#bus=3\n"
        "device=xilinx1:0#x\na=b=c\n=5\nno equals sign\n\tpadded\t=\t value with  inner blanks \t\n"
        "x=[1\nvt=\vv\f\ndup=first\ndup=2nd\n"
        "[crlf]\r\ninsts=cu2406\r\npadded= cu2406 \r\nempty=\r\ninner=a\rb\r\n#[config]\nhidden=1\n"
        "  [channel3]\ninsts=cu2406\nInsts=upper\n[ channel4 ]\ninsts=al2407\n"
        "[tail]junk=1\ninsts=cu2406 # was [old]\nafter=2\n[config]\ndup=third\nadded=2\n"
        "]odd[\nk=v\n[n]\nminus=-1\nlead=  42abc\n");
    Kest_U50::CIniReader reader;
    ASSERT_TRUE(reader.ReadConfig(dir.File("test.ini")));
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
        // A header in a comment line is no header.
        "crlf/hidden=1", "config/hidden=<default>",
        // Section names are not trimmed; names and keys are case-sensitive.
        "channel3/insts=cu2406", "channel3/Insts=upper", "Channel3/insts=<default>",
        "channel4/insts=<default>", " channel4 /insts=al2407",
        // A line with both brackets is a header, whatever follows or where they stand.
        "tail/junk=<default>", "tail/insts=<default>", "old/after=2", "old/added=<default>", "/k=v",
        // Key lines before the first header belong to no section.
        "/orphan=<default>", "nosection/insts=<default>"};
    for (const std::string row : strings) {
        const size_t slash = row.find('/');
        const size_t equals = row.find('=', slash);
        const std::string section = row.substr(0, slash);
        const std::string key = row.substr(slash + 1, equals - slash - 1);
        EXPECT_EQ(row.substr(equals + 1), reader.ReadString(section.c_str(), key.c_str(), "<default>"))
            << row;
    }
    // Numbers convert as atoi does, then cut to the width; the default is
    // only for absent keys.
    EXPECT_EQ(-1, reader.ReadInt32("n", "minus", 7));
    EXPECT_EQ(4294967295u, reader.ReadUInt32("n", "minus", 7));
    EXPECT_EQ(65535, reader.ReadUInt16("n", "minus", 7));
    EXPECT_EQ(42, reader.ReadInt32("n", "lead", 7));
    EXPECT_EQ(42u, reader.ReadUInt32("n", "lead", 7));
    EXPECT_EQ(7, reader.ReadUInt16("n", "absent", 7));
}
