// The message catalogue, the system's error texts and bounded composing.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "service/host.h"

struct CatalogueCase {
    int id;
    const char *text;
};

static const CatalogueCase kCatalogue[] = {
    { 0, "ZOVOVEV environment variable not set.\n" },
    { 1, "%s not found.\n" },
    { 2, "%s -install\t\tto install the service\n%s -remove\t\tto remove the service\n"
         "%s -debug <params>\tto run as a console application for debugging\n" },
    { 3, "StartServiceCtrlDisplatcher failed.\n" },
    { 4, "%s error: %d\n" },
    { 5, "Unable to install %s - %s\n" },
    { 6, "%s installed.\n" },
    { 7, "CreateService failed - %s\n" },
    { 8, "OpenSCManager failed - %s\n" },
    { 9, "Stopping %s" },
    { 10, "\n%s stopped.\n" },
    { 11, "\n%s failed to stop.\n" },
    { 12, "%s removed.\n" },
    { 13, "DeleteService failed - %s\n" },
    { 14, "OpenService failed - %s\n" },
    { 15, "Unable to find resource id 15" },
    { 16, "%s ended by itself with exit code %u.\n" },
    { 17, "%s did not stop within %u s: %u processes ended.\n" },
    { 18, "%s is not in a job of its own: a stop deadline ends it alone.\n" },
    { 19, "StopTimeout of %s cannot be read as a REG_DWORD: a stop waits without a deadline.\n" },
    { 20, "Unable to find resource id 20" },
    { -1, "Unable to find resource id -1" },
};

TEST(Catalogue, EveryTextByteForByteAndMissingIdsNamed)
{
    for (const CatalogueCase &c : kCatalogue) {
        char buf[MSG_SIZE];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(GetResourceString(c.id, buf, MSG_SIZE), buf);
        EXPECT_STREQ(buf, c.text) << "id " << c.id;
    }
}

TEST(Catalogue, LongTextIsCutToTheBuffer)
{
    char buf[12];
    memset(buf, 'x', sizeof buf);
    GetResourceString(2, buf, 8);
    EXPECT_STREQ(buf, "%s -ins");
    EXPECT_EQ(buf[8], 'x');  // nothing written past len
    GetResourceString(99, buf, 8);
    EXPECT_STREQ(buf, "Unable ");
    EXPECT_EQ(buf[8], 'x');
}

// The system's text for code as FormatMessageA gives it, line end included.
static std::string SystemText(DWORD code)
{
    char *text = nullptr;
    DWORD len = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                   FORMAT_MESSAGE_IGNORE_INSERTS,
                               NULL, code, 0, (LPSTR)&text, 0, NULL);
    std::string result(text ? text : "", len);
    LocalFree(text);
    return result;
}

// FormatMessageA as a system may have it: the text is right, but its own
// work leaves another last error behind.
static DWORD WINAPI FormatMessageLeavingAnError(DWORD flags, LPCVOID source, DWORD id,
                                                DWORD lang, LPSTR buf, DWORD size,
                                                va_list *args)
{
    auto real = reinterpret_cast<decltype(&FormatMessageA)>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "FormatMessageA")));
    DWORD len = real(flags, source, id, lang, buf, size, args);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return len;
}

// Points this program's imports that lead to from at to instead; false when
// none does. The host's code is linked into this program and calls through
// the same imports.
static bool ReplaceImport(void *from, void *to)
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(NULL));
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS *>(
        base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool found = false;
    for (auto imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress);
         imp->Name != 0; imp++) {
        for (auto slot = reinterpret_cast<void **>(base + imp->FirstThunk); *slot; slot++) {
            if (*slot != from)
                continue;
            DWORD was;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &was);
            *slot = to;
            VirtualProtect(slot, sizeof *slot, was, &was);
            found = true;
        }
    }
    return found;
}

TEST(LastErrorText, DropsTheLineEndAndAppendsTheCodeInHex)
{
    struct { DWORD code; const char *hex; bool errorChanged; } cases[] = {
        { ERROR_ACCESS_DENIED, " (0x5)", false },
        { ERROR_FILE_NOT_FOUND, " (0x2)", false },
        { ERROR_SERVICE_EXISTS, " (0x431)", false },
        // The code printed is the one asked about, not what the text's
        // lookup left behind.
        { ERROR_ACCESS_DENIED, " (0x5)", true },
    };
    for (const auto &c : cases) {
        std::string system = SystemText(c.code);
        ASSERT_GE(system.size(), 2u) << c.code;
        ASSERT_EQ(system.substr(system.size() - 2), "\r\n");
        char buf[MSG_SIZE];
        void *real = reinterpret_cast<void *>(
            GetProcAddress(GetModuleHandleA("kernel32.dll"), "FormatMessageA"));
        void *leaving = reinterpret_cast<void *>(FormatMessageLeavingAnError);
        if (c.errorChanged)
            ASSERT_TRUE(ReplaceImport(real, leaving)) << "no import of FormatMessageA";
        SetLastError(c.code);
        EXPECT_EQ(GetLastErrorText(buf, MSG_SIZE), buf);
        if (c.errorChanged) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY) << "the fake was not called";
            ReplaceImport(leaving, real);
        }
        EXPECT_EQ(std::string(buf), system.substr(0, system.size() - 2) + c.hex);
    }
}

TEST(LastErrorText, FitsOnlyWithRoomForFourteenMore)
{
    // A 256-byte buffer takes a system text of up to 242 characters: the
    // bound is the text's length plus 14, whatever the text.
    std::string system = SystemText(ERROR_ACCESS_DENIED);
    DWORD need = (DWORD)system.size() + 14;
    char buf[MSG_SIZE];

    SetLastError(ERROR_ACCESS_DENIED);
    GetLastErrorText(buf, need);
    EXPECT_EQ(std::string(buf), system.substr(0, system.size() - 2) + " (0x5)");

    memset(buf, 'x', sizeof buf);
    SetLastError(ERROR_ACCESS_DENIED);
    GetLastErrorText(buf, need - 1);
    EXPECT_STREQ(buf, "");
}

TEST(LastErrorText, NoSystemTextGivesEmpty)
{
    char buf[MSG_SIZE];
    memset(buf, 'x', sizeof buf);
    SetLastError(0x2000FFFF);  // a customer code: the system has no text
    GetLastErrorText(buf, MSG_SIZE);
    EXPECT_STREQ(buf, "");
}

TEST(LastErrorText, InsertMarkersStayAsTheyStand)
{
    std::string system = SystemText(ERROR_BAD_EXE_FORMAT);
    ASSERT_NE(system.find("%1"), std::string::npos) << system;
    char buf[MSG_SIZE];
    SetLastError(ERROR_BAD_EXE_FORMAT);
    GetLastErrorText(buf, MSG_SIZE);
    EXPECT_EQ(std::string(buf), system.substr(0, system.size() - 2) + " (0xc1)");
}

TEST(FormatText, CutsToTheBufferAndAlwaysTerminates)
{
    std::string path(1000, 'p');
    char buf[MSG_SIZE + 8];
    memset(buf, 'x', sizeof buf);
    FormatText(buf, MSG_SIZE, "%s not found.\n", path.c_str());
    EXPECT_EQ(std::string(buf), std::string(MSG_SIZE - 1, 'p'));
    for (size_t i = MSG_SIZE; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], 'x') << "written past the buffer at " << i;

    FormatText(buf, MSG_SIZE, "%s error: %d\n", "ZUVO", -1);
    EXPECT_STREQ(buf, "ZUVO error: -1\n");
}
