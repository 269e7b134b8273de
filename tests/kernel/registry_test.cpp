// The registry: REGEDIT4 load/save, case-insensitive names, writes to missing keys, and the
// query-table forms the driver uses.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "host/kernel/host_kernel.h"

using namespace nimbra::host;

namespace {

constexpr char16_t kVideo[] = u"\\Registry\\MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video";

class RegistryTest : public testing::Test {
protected:
    void SetUp() override
    {
        ClearRegistry();
        path = testing::TempDir() + "nimbra_registry_" + std::to_string(getpid()) + ".reg";
    }
    void TearDown() override
    {
        ClearRegistry();
        std::remove(path.c_str());
    }
    void WriteFile(const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string ReadFile()
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string path;
};

TEST_F(RegistryTest, LoadsAndSavesRegedit4RoundTrip)
{
    WriteFile("REGEDIT4\r\n\r\n"
              "; settings\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video]\r\n"
              "\"Brightness\"=dword:0000000f\r\n"
              "\"Label\"=\"a \\\"quoted\\\" name\"\r\n"
              "\"Blob\"=hex:01,02,\\\r\n  ff\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Custom]\r\n");
    std::string error;
    ASSERT_TRUE(LoadRegistryFile(path, &error)) << error;
    EXPECT_EQ(ReadRegistryDword(kVideo, u"brightness"), 15u);
    EXPECT_EQ(ReadRegistryDword(u"\\registry\\machine\\software\\KORVANE\\nimbra\\setting\\video", u"Brightness"), 15u);
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Label"), std::nullopt);  // not a DWORD

    ASSERT_TRUE(SaveRegistryFile(path));
    std::string saved = ReadFile();
    EXPECT_NE(saved.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video]\n"
                         "\"Blob\"=hex:01,02,ff\n"
                         "\"Brightness\"=dword:0000000f\n"
                         "\"Label\"=\"a \\\"quoted\\\" name\"\n"),
              std::string::npos)
        << saved;
    EXPECT_EQ(saved.rfind("REGEDIT4\n", 0), 0u);

    ClearRegistry();
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Brightness"), std::nullopt);
    ASSERT_TRUE(LoadRegistryFile(path, &error)) << error;
    EXPECT_EQ(ReadRegistryDword(kVideo, u"Brightness"), 15u);
    ASSERT_TRUE(SaveRegistryFile(path));
    EXPECT_EQ(ReadFile(), saved);  // keys without values (Custom) survive too
}

TEST_F(RegistryTest, RejectsMalformedFilesNamingTheLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"[HKEY_LOCAL_MACHINE\\X]\n", ":1:"},
        {"REGEDIT4\n\n\"Orphan\"=dword:1\n", ":3:"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"V\"=dword:123456789\n", ":3:"},
        {"REGEDIT4\n[HKEY_NOWHERE\\X]\n", ":2:"},
    };
    for (const auto& [text, where] : cases) {
        SCOPED_TRACE(text);
        WriteFile(text);
        std::string error;
        EXPECT_FALSE(LoadRegistryFile(path, &error));
        EXPECT_NE(error.find(where), std::string::npos) << error;
    }
}

TEST_F(RegistryTest, WritesNeedAnExistingKey)
{
    ULONG value = 7;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Gamma", REG_DWORD, &value, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    CreateRegistryKey(kVideo);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Gamma", REG_DWORD, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(ReadRegistryDword(kVideo, u"GAMMA"), 7u);
    EXPECT_EQ(ReadRegistryDword(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\Nimbra\\SETTING\\Video", u"gamma"), 7u);
}

TEST_F(RegistryTest, DirectRequiredQueryReadsOnlyAPresentDword)
{
    CreateRegistryKey(kVideo);
    ULONG dword = 9;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Saturation", REG_DWORD, &dword, 4);
    char16_t text[] = u"nine";
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Sharpness", REG_SZ, text, sizeof(text));

    struct Case {
        const char16_t* path;
        const char16_t* name;
        ULONG flags;
        ULONG defaultType;
        NTSTATUS status;
        ULONG result;  // 0xAAAA = untouched
    };
    constexpr ULONG kUntouched = 0xAAAA;
    constexpr ULONG kDirectRequired = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    const Case cases[] = {
        {kVideo, u"saturation", kDirectRequired, REG_NONE, STATUS_SUCCESS, 9},
        {kVideo, u"Missing", kDirectRequired, REG_NONE, STATUS_OBJECT_NAME_NOT_FOUND, kUntouched},
        {kVideo, u"Sharpness", kDirectRequired, REG_NONE, STATUS_OBJECT_TYPE_MISMATCH, kUntouched},
        {u"\\Registry\\MACHINE\\SOFTWARE\\Nowhere", u"Saturation", kDirectRequired, REG_NONE,
         STATUS_OBJECT_NAME_NOT_FOUND, kUntouched},
        {kVideo, u"Missing", RTL_QUERY_REGISTRY_DIRECT, REG_NONE, STATUS_SUCCESS, kUntouched},
        {kVideo, u"Missing", RTL_QUERY_REGISTRY_DIRECT, REG_DWORD, STATUS_SUCCESS, 42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "flags " << c.flags << " default " << c.defaultType);
        ULONG result = kUntouched;
        ULONG fallback = 42;
        std::u16string name(c.name);
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = c.flags;
        table[0].Name = name.data();
        table[0].EntryContext = &result;
        table[0].DefaultType = c.defaultType;
        table[0].DefaultData = &fallback;
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, c.path, table, nullptr, nullptr), c.status);
        EXPECT_EQ(result, c.result);
    }
}

NTSTATUS CollectValue(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext)
{
    auto* seen = static_cast<std::u16string*>(context);
    *seen += name;
    *seen += u":" + std::u16string(1, static_cast<char16_t>(u'0' + type)) + u":" +
             std::u16string(1, static_cast<char16_t>(u'0' + length)) + u";";
    if (type == REG_DWORD) *static_cast<ULONG*>(entryContext) = *static_cast<ULONG*>(data);
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRoutineSeesNamedAndAllValues)
{
    CreateRegistryKey(kVideo);
    ULONG a = 1;
    ULONG b = 2;
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Alpha", REG_DWORD, &a, 4);
    RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kVideo, u"Beta", REG_DWORD, &b, 4);
    std::u16string seen;
    ULONG last = 0;
    char16_t beta[] = u"beta";
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0].QueryRoutine = CollectValue;
    table[0].Name = beta;
    table[0].EntryContext = &last;
    table[1].QueryRoutine = CollectValue;  // no name: every value
    table[1].EntryContext = &last;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kVideo, table, &seen, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(seen, u"Beta:4:4;Alpha:4:4;Beta:4:4;");
    EXPECT_EQ(last, 2u);
}

}  // namespace
