#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "SupportTestUtil.h"
#include "config/IniReader.h"

using Kest_U50::CIniReader;

namespace {

class IniReaderTest : public ::testing::Test {
protected:
    // Writes text (bytes as given) to a file in the scratch directory and loads it.
    bool Load(const std::string& text, const std::string& name = "test.ini") {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        return m_reader.ReadConfig(name);
    }

    std::string Value(const char* section, const char* key) {
        return m_reader.ReadString(section, key, "<default>");
    }

    support_test::CScratchDir m_dir;
    CIniReader m_reader;
};

}  // namespace

TEST_F(IniReaderTest, MissingFileGivesDefaults) {
    EXPECT_FALSE(m_reader.ReadConfig("no_such_file.ini"));
    EXPECT_EQ("dflt", m_reader.ReadString("config", "device", "dflt"));
    EXPECT_EQ(-3, m_reader.ReadInt32("config", "cpucore", -3));
    EXPECT_EQ(7u, m_reader.ReadUInt32("config", "topic", 7u));
    EXPECT_EQ(9u, m_reader.ReadUInt16("config", "bus", 9u));
}

TEST_F(IniReaderTest, EmptyAndCommentOnlyFilesGiveDefaults) {
    EXPECT_TRUE(Load(""));
    EXPECT_EQ(5, m_reader.ReadInt32("config", "log_level", 5));
    EXPECT_TRUE(Load("# only a comment\n\n   \n\t\n#[config]\n# log_level=1\n"));
    EXPECT_EQ(5, m_reader.ReadInt32("config", "log_level", 5));
    EXPECT_EQ("<default>", Value("config", "log_level"));
}

TEST_F(IniReaderTest, KeyLines) {
    ASSERT_TRUE(
        Load("[config]\n"
             "log_level=\n"
             "shfe2ps = enabled  # feed A\n"
             "  # cpucore=3\n"
             "#bus=3\n"
             "device=xilinx1:0#x\n"
             "a=b=c\n"
             "=5\n"
             "empty=\n"
             "no equals sign\n"
             "\tpadded\t=\t value with  inner blanks \t\n"
             "x=[1\n"
             "vt=\vv\f\n"));
    EXPECT_EQ(0, m_reader.ReadInt32("config", "log_level", 99));
    EXPECT_EQ("", Value("config", "log_level"));
    EXPECT_EQ("enabled", Value("config", "shfe2ps"));
    EXPECT_EQ(-1, m_reader.ReadInt32("config", "cpucore", -1));
    EXPECT_EQ(4u, m_reader.ReadUInt16("config", "bus", 4));
    EXPECT_EQ("xilinx1:0", Value("config", "device"));
    EXPECT_EQ("b=c", Value("config", "a"));
    EXPECT_EQ("<default>", Value("config", ""));
    EXPECT_EQ("", Value("config", "empty"));
    EXPECT_EQ("<default>", Value("config", "no equals sign"));
    EXPECT_EQ("value with  inner blanks", Value("config", "padded"));
    EXPECT_EQ("[1", Value("config", "x"));
    // Only space and tab are blanks.
    EXPECT_EQ("\vv\f", Value("config", "vt"));
}

TEST_F(IniReaderTest, NumbersConvertWithoutRangeChecks) {
    ASSERT_TRUE(
        Load("[n]\n"
             "big16=70000\n"
             "minus=-1\n"
             "wrap32=4294967297\n"
             "lead=  42abc\n"
             "word=abc\n"
             "neg=-5\n"
             "plus=+12\n"));
    EXPECT_EQ(4464u, m_reader.ReadUInt16("n", "big16", 1));
    EXPECT_EQ(4294967295u, m_reader.ReadUInt32("n", "minus", 1));
    EXPECT_EQ(1u, m_reader.ReadUInt32("n", "wrap32", 0));
    EXPECT_EQ(42, m_reader.ReadInt32("n", "lead", 1));
    EXPECT_EQ(42u, m_reader.ReadUInt32("n", "lead", 1));
    EXPECT_EQ(0, m_reader.ReadInt32("n", "word", 1));
    EXPECT_EQ(0u, m_reader.ReadUInt16("n", "word", 1));
    EXPECT_EQ(-5, m_reader.ReadInt32("n", "neg", 1));
    EXPECT_EQ(65531u, m_reader.ReadUInt16("n", "neg", 1));
    EXPECT_EQ(12, m_reader.ReadInt32("n", "plus", 1));
}

TEST_F(IniReaderTest, CarriageReturnLineEnds) {
    ASSERT_TRUE(
        Load("[config]\r\n"
             "insts=cu2406\r\n"
             "padded= cu2406 \r\n"
             "empty=\r\n"
             "inner=a\rb\r\n"));
    EXPECT_EQ("cu2406", Value("config", "insts"));
    EXPECT_EQ("cu2406 ", Value("config", "padded"));
    EXPECT_EQ("\r", Value("config", "empty"));
    // Only the first carriage return goes.
    EXPECT_EQ("ab\r", Value("config", "inner"));
}

TEST_F(IniReaderTest, SectionHeaders) {
    ASSERT_TRUE(
        Load("orphan=1\n"
             "  [channel3]\n"
             "insts=cu2406\n"
             "[ channel4 ]\n"
             "insts=al2407\n"
             "[tail]junk=1\n"
             "insts=cu2406 # was [old]\n"
             "after=2\n"));
    EXPECT_EQ("cu2406", Value("channel3", "insts"));
    EXPECT_EQ("<default>", Value("channel4", "insts"));
    EXPECT_EQ("al2407", Value(" channel4 ", "insts"));
    EXPECT_EQ("<default>", Value("tail", "junk"));
    EXPECT_EQ("<default>", Value("tail", "insts"));
    EXPECT_EQ("2", Value("old", "after"));
    // Key lines before the first header belong to no section.
    EXPECT_EQ("<default>", Value("", "orphan"));
}

TEST_F(IniReaderTest, ClosingBracketFirstNamesTheEmptySection) {
    ASSERT_TRUE(
        Load("]odd[\n"
             "k=v\n"
             "[]\n"
             "k2=v2\n"));
    EXPECT_EQ("v", Value("", "k"));
    EXPECT_EQ("v2", Value("", "k2"));
}

TEST_F(IniReaderTest, RepeatedKeysAndSections) {
    ASSERT_TRUE(
        Load("[config]\n"
             "insts=first\n"
             "insts=second\n"
             "keep=1\n"
             "[other]\n"
             "x=1\n"
             "[config]\n"
             "insts=third\n"
             "added=2\n"));
    EXPECT_EQ("third", Value("config", "insts"));
    EXPECT_EQ("1", Value("config", "keep"));
    EXPECT_EQ("2", Value("config", "added"));
    EXPECT_EQ("1", Value("other", "x"));
    EXPECT_EQ("<default>", Value("other", "added"));
}

TEST_F(IniReaderTest, LookupsAreExactAndCaseSensitive) {
    ASSERT_TRUE(Load("[config]\nInsts=cu2406\n"));
    EXPECT_EQ("<default>", Value("config", "insts"));
    EXPECT_EQ("<default>", Value("Config", "Insts"));
    EXPECT_EQ("cu2406", Value("config", "Insts"));

    std::string out = "untouched";
    EXPECT_FALSE(m_reader.ReadCommon(nullptr, "Insts", out));
    EXPECT_FALSE(m_reader.ReadCommon("config", nullptr, out));
    EXPECT_FALSE(m_reader.ReadCommon("nosection", "Insts", out));
    EXPECT_FALSE(m_reader.ReadCommon("config", "nokey", out));
    EXPECT_EQ("untouched", out);
    EXPECT_TRUE(m_reader.ReadCommon("config", "Insts", out));
    EXPECT_EQ("cu2406", out);
    EXPECT_EQ("d", m_reader.ReadString(nullptr, "Insts", "d"));
}

TEST_F(IniReaderTest, EachLoadReplacesThePrevious) {
    ASSERT_TRUE(Load("[a]\nk=1\n", "one.ini"));
    ASSERT_TRUE(Load("[b]\nk=2\n", "two.ini"));
    EXPECT_EQ("<default>", Value("a", "k"));
    EXPECT_EQ("2", Value("b", "k"));
    EXPECT_FALSE(m_reader.ReadConfig("missing.ini"));
    EXPECT_EQ("<default>", Value("b", "k"));
}

TEST_F(IniReaderTest, BinaryContentIsSkippedQuietly) {
    std::string junk("[s]\nk=v\n", 8);
    junk += std::string("\0\0=\0[\xff\n", 8);
    junk += "k2=v\0w\n";
    junk.push_back('\0');
    junk += "\n\n[\n]\n=\n#\n";
    ASSERT_TRUE(Load(junk));
    EXPECT_EQ("v", Value("s", "k"));
}

TEST(IniReaderLine, AnalyseLineClassifies) {
    CIniReader reader;
    std::string section;
    std::string key;
    std::string value;
    EXPECT_FALSE(reader.AnalyseLine("", section, key, value));
    EXPECT_FALSE(reader.AnalyseLine("#x=1", section, key, value));
    EXPECT_FALSE(reader.AnalyseLine("  # x=1", section, key, value));
    EXPECT_FALSE(reader.AnalyseLine("=5", section, key, value));
    EXPECT_FALSE(reader.AnalyseLine(" \t =5", section, key, value));
    EXPECT_FALSE(reader.AnalyseLine("plain", section, key, value));

    ASSERT_TRUE(reader.AnalyseLine("  [channel3] trailing", section, key, value));
    EXPECT_EQ("channel3", section);
    EXPECT_TRUE(key.empty());

    ASSERT_TRUE(reader.AnalyseLine(" key = v  # c", section, key, value));
    EXPECT_EQ("key", key);
    EXPECT_EQ("v", value);

    ASSERT_TRUE(reader.AnalyseLine("a]b[c", section, key, value));
    EXPECT_EQ("", section);
}

TEST(IniReaderLine, TrimAndIsSpace) {
    CIniReader reader;
    std::string s;
    reader.Trim(s);
    EXPECT_EQ("", s);
    s = " \t \t";
    reader.Trim(s);
    EXPECT_EQ("", s);
    s = " \ta b\t ";
    reader.Trim(s);
    EXPECT_EQ("a b", s);
    s = "\r x \n";
    reader.Trim(s);
    EXPECT_EQ("\r x \n", s);
    s = "x";
    reader.Trim(s);
    EXPECT_EQ("x", s);

    EXPECT_TRUE(reader.IsSpace(' '));
    EXPECT_TRUE(reader.IsSpace('\t'));
    for (char c : {'\r', '\n', '\v', '\f', '\0', 'a'}) {
        EXPECT_FALSE(reader.IsSpace(c)) << static_cast<int>(c);
    }
}
