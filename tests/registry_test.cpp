// Reading an adapter's configuration from REGEDIT4 files, and the
// wrapper's configuration reads over it.
#include <gtest/gtest.h>

#include <string>

#include "registry.h"

using talhost::AdapterConfig;
using talhost::ParseError;
using talhost::RegValue;

namespace {

const char *kGood =
    "REGEDIT4\r\n"
    "\r\n"
    "; a comment\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tal1]\r\n"
    "\"Type\"=dword:00000001\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tal1\\Parameters]\r\n"
    "\"IoBaseAddress\"=dword:00000300\r\n"
    "\"ESSID\"=\"my \\\"quoted\\\" net\\\\x\"\r\n"
    "  \"Channel\" = dword:B ; trailing comment\r\n"
    "\"StationName\"=\"caf\xC3\xA9\"\r\n";

TEST(RegistryFile, ReadsTheParametersKeyOfTheAdapterInstance) {
    ParseError err;
    auto cfg = talhost::parse_reg(kGood, "good.reg", err);
    ASSERT_TRUE(cfg) << err.message();
    const RegValue *io = cfg->find("ioBASEaddress");
    ASSERT_TRUE(io);
    EXPECT_EQ(io->kind, RegValue::Kind::Dword);
    EXPECT_EQ(io->dword, 0x300u);
    EXPECT_EQ(cfg->find("ESSID")->str, u"my \"quoted\" net\\x");
    EXPECT_EQ(cfg->find("Channel")->dword, 11u);
    EXPECT_EQ(cfg->find("StationName")->str, u"caf\u00e9");
    EXPECT_EQ(cfg->find("Type"), nullptr) << "values of other keys are not the adapter's";
}

TEST(RegistryFile, MalformedFilesNameTheLineAndTheFault) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\X\\Parameters]\n";
    struct Case {
        std::string text;
        int line;
        const char *what;
    } cases[] = {
        {"", 1, "empty file"},
        {"Windows Registry Editor Version 5.00\n", 1, "expected REGEDIT4"},
        {"\xFF\xFE"
         "R\0",
         1, "UTF-16"},
        {"REGEDIT4\n\"A\"=dword:1\n", 2, "outside any [key]"},
        {"REGEDIT4\n" + key + "\"A\"=dword:12345678Z\n", 3, "1 to 8 hexadecimal digits"},
        {"REGEDIT4\n" + key + "\"A\"=dword:xyz\n", 3, "bad hexadecimal digit"},
        {"REGEDIT4\n" + key + "\"A\"=dword:\n", 3, "1 to 8"},
        {"REGEDIT4\n" + key + "\"A\"=\"open\n", 3, "missing closing quote"},
        {"REGEDIT4\n" + key + "\"A\"=\"a\\tb\"\n", 3, "unknown escape"},
        {"REGEDIT4\n" + key + "\"A\"=hex:01,02\n", 3, "unsupported value type"},
        {"REGEDIT4\n" + key + "\"A\"\n", 3, "expected '='"},
        {"REGEDIT4\n" + key + "\"A\"=\n", 3, "missing value"},
        {"REGEDIT4\n" + key + "\"\"=dword:1\n", 3, "empty value name"},
        {"REGEDIT4\n" + key + "@=\"x\"\n", 3, "default values"},
        {"REGEDIT4\n" + key + "junk\n", 3, "expected a \"name\"=value"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\Parameters\n", 2, "closing ']'"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n", 2, "deletion"},
        {"REGEDIT4\n" + key + key, 3, "second Parameters key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:1\n", 3, "no [...\\Parameters] key"},
        {"REGEDIT4\n" + key + "\"A\"=\"\xC3\"\n", 3, "not valid UTF-8"},
        {"REGEDIT4\n" + key + "\"A\"=\"x\" y\n", 3, "unexpected text"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        ParseError err;
        EXPECT_FALSE(talhost::parse_reg(c.text, "f.reg", err));
        EXPECT_EQ(err.line, c.line);
        EXPECT_NE(err.what.find(c.what), std::string::npos) << err.what;
        EXPECT_EQ(err.message().rfind("f.reg:" + std::to_string(c.line) + ": ", 0), 0u);
    }
}

TEST(RegistryFile, MissingFileIsReportedNotCrashed) {
    ParseError err;
    EXPECT_FALSE(talhost::load_reg_file("/nonexistent/adapter.reg", err));
    EXPECT_EQ(err.message(), "/nonexistent/adapter.reg: No such file or directory");
}

TEST(AdapterConfiguration, LaterValuesReplaceEarlierOnesAndKeepTheirPlace) {
    AdapterConfig c;
    c.set_dword("A", 1);
    c.set_string("b", "x");
    c.set_dword("a", 2);
    EXPECT_EQ(c.find("A")->dword, 2u);
    EXPECT_EQ(c.names(), (std::vector<std::string>{"A", "b"}));
    c.erase("B");
    EXPECT_EQ(c.find("b"), nullptr);
    EXPECT_EQ(c.names(), (std::vector<std::string>{"A"}));
}

} // namespace
