#include "core/IniFile.h"

#include "TempDir.h"

#include <fstream>
#include <gtest/gtest.h>

using kavlo::IniFile;

namespace {
std::string Slurp(const std::string& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void Put(const std::string& p, const std::string& text) { std::ofstream(p) << text; }
} // namespace

TEST(IniFile, MissingGarbageAndUnreadableFilesGiveDefaults) {
    kavlo::test::TempDir dir;
    IniFile missing(dir.Path("none.ini"));
    EXPECT_EQ(missing.ReadString("settings", "OutPutDir", "d"), "d");
    EXPECT_EQ(missing.ReadInteger("settings", "priority", 1), 1);

    std::string garbage = dir.Path("garbage.ini");
    {
        std::ofstream out(garbage, std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            out.put(static_cast<char>((i * 7919) & 0xff));
    }
    IniFile g(garbage);
    EXPECT_EQ(g.ReadInteger("settings", "jpgCmp", 30), 30);
    EXPECT_TRUE(g.ReadBool("settings", "snapBmp", true));

    IniFile folder(dir.Path(""));
    EXPECT_EQ(folder.ReadString("a", "b", "x"), "x");
    EXPECT_FALSE(folder.WriteString("a", "b", "c"));
}

TEST(IniFile, SectionsAndKeysMatchWithoutCase) {
    kavlo::test::TempDir dir;
    std::string p = dir.Path("s.ini");
    Put(p, "[Settings]\r\nSnapOutPutDir = /tmp/snaps \r\nPriority=2\r\n");
    IniFile ini(p);
    EXPECT_EQ(ini.ReadString("settings", "snapOutPutDir", ""), "/tmp/snaps");
    EXPECT_EQ(ini.ReadInteger("SETTINGS", "priority", 1), 2);
    ASSERT_TRUE(ini.WriteInteger("settings", "PRIORITY", 3));
    EXPECT_EQ(ini.ReadSection("settings"), (std::vector<std::string>{"SnapOutPutDir", "PRIORITY"}));
    EXPECT_EQ(ini.ReadInteger("Settings", "Priority", 1), 3);
}

TEST(IniFile, IntegerAndBooleanReadingRules) {
    kavlo::test::TempDir dir;
    std::string p = dir.Path("n.ini");
    Put(p, "[s]\nplain=42\nneg=-7\nplus=+5\nfrac=1.5\nword=abc\nempty=\nhuge=99999999999\n"
           "zero=0\ntwo=2\nmixed=12a\n");
    IniFile ini(p);
    struct Case {
        const char* key;
        int expected;
    } cases[] = {{"plain", 42}, {"neg", -7}, {"plus", 5},   {"frac", -1}, {"word", -1},
                 {"empty", -1}, {"huge", -1}, {"missing", -1}, {"mixed", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadInteger("s", c.key, -1), c.expected) << c.key;
    EXPECT_FALSE(ini.ReadBool("s", "zero", true));
    EXPECT_TRUE(ini.ReadBool("s", "two", false));
    EXPECT_TRUE(ini.ReadBool("s", "word", true));
    EXPECT_FALSE(ini.ReadBool("s", "word", false));
    ASSERT_TRUE(ini.WriteBool("s", "flag", true));
    ASSERT_TRUE(ini.WriteBool("s", "off", false));
    EXPECT_EQ(ini.ReadString("s", "flag", ""), "1");
    EXPECT_EQ(ini.ReadString("s", "off", ""), "0");
}

TEST(IniFile, WritesKeepOtherContentAndReadBack) {
    kavlo::test::TempDir dir;
    std::string p = dir.Path("k.ini");
    Put(p, "; made by hand\n[lstformat]\n0=1\n; a note\n1=0\n\n[settings]\nvolume=64\n");
    IniFile ini(p);
    ASSERT_TRUE(ini.WriteString("lstformat", "2", "1"));
    ASSERT_TRUE(ini.WriteString("settings", "volume", "100"));
    ASSERT_TRUE(ini.WriteString("formatInfo400", "paraVideoSize", "480x272"));
    EXPECT_EQ(Slurp(p), "; made by hand\n[lstformat]\n0=1\n; a note\n1=0\n2=1\n\n[settings]\nvolume=100\n"
                        "\n[formatInfo400]\nparaVideoSize=480x272\n");

    // A file written only by us reads back value for value, including odd characters.
    IniFile fresh(dir.Path("sub/fresh.ini"));
    ASSERT_TRUE(fresh.WriteValues("settings", {{"OutPutDir", "/home/u/Vidéos/a=b ; c"}, {"FormatCode", "400"}}));
    EXPECT_EQ(fresh.ReadString("settings", "OutPutDir", ""), "/home/u/Vidéos/a=b ; c");
    EXPECT_EQ(fresh.ReadInteger("settings", "FormatCode", 1), 400);
    ASSERT_TRUE(fresh.WriteString("settings", "FormatName", "two\nlines"));
    EXPECT_EQ(fresh.ReadString("settings", "FormatName", ""), "two lines");
    EXPECT_EQ(fresh.ReadSections(), std::vector<std::string>{"settings"});

    ASSERT_TRUE(ini.DeleteKey("lstformat", "0"));
    EXPECT_FALSE(ini.ValueExists("lstformat", "0"));
    ASSERT_TRUE(ini.EraseSection("lstformat"));
    EXPECT_FALSE(ini.SectionExists("LSTFORMAT"));
    EXPECT_EQ(ini.ReadInteger("settings", "volume", 0), 100);
}
