// The nested-message search through a test message: "name=" values on any
// line of a nested part, line ends, the decoder's room, failures of the
// paging-file mapping; and the mapping calls of the platform themselves.
#include "TestMessage.h"

#include "filter/Kessla.h"
#include "platform/win32.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

using vtest::TestMessage;

CRule AttachRule(const std::string& phrase) {
    CRule rule;
    std::vector<char> p(phrase.begin(), phrase.end());
    p.push_back('\0');
    char empty[1] = {0};
    rule.SetRule(p.data(), empty, 0, 0, 4, 1, 1);
    return rule;
}

// One nested part (of a text type, so that its content is searched only by
// the nested-message walk) named so that the name test never matches.
int CheckNested(const std::string& phrase, const std::string& content, TestMessage& message) {
    message.AddPart("forwarded.eml", 104, content).nested = 1;
    CRule rule = AttachRule(phrase);
    int result = rule.CheckMessage(&message, false);
    EXPECT_TRUE(message.AllStreamsReturned());
    return result;
}

int CheckNested(const std::string& phrase, const std::string& content) {
    TestMessage message;
    return CheckNested(phrase, content, message);
}

const char kHeaders[] = "From: a@example.com\r\n"
                        "Subject: fwd\r\n"
                        "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
                        "--b\r\n";

TEST(NestedMime, NameParameterOfContentTypeAndDisposition) {
    TestMessage message;
    std::string content =
        std::string(kHeaders) +
        "Content-Type: application/octet-stream; name=\"virus.exe\"\r\n\r\nAAAA\r\n";
    EXPECT_EQ(CheckNested("virus", content, message), 1);
    // The decoder gets the quoted value with the line's carriage return.
    ASSERT_FALSE(message.decodeRaw.empty());
    EXPECT_EQ(message.decodeRaw.back(), "\"virus.exe\"\r");
    EXPECT_TRUE(message.errorCodes.empty());

    EXPECT_EQ(
        CheckNested("virus", std::string(kHeaders) +
                                 "Content-Disposition: attachment; filename=\"virus.exe\"\r\n"),
        1);
    EXPECT_EQ(CheckNested("virus", std::string(kHeaders) + "CONTENT-TYPE: x/y; NAME=virus.exe\n"),
              1);
}

TEST(NestedMime, NameInABodyLineAndOnlyWhereNameEquals) {
    EXPECT_EQ(CheckNested("virus", "Subject: hello\r\n\r\nusername=virus\r\n"), 1);
    // "virus" elsewhere, not after name=, is not a name.
    EXPECT_EQ(CheckNested("virus", "Subject: virus\r\n\r\nvirus.exe\r\nname=clean.txt\r\n"), 0);
    // All the rest of the line after its first name= is decoded, so a later
    // parameter on the same line is searched as well.
    TestMessage rest;
    EXPECT_EQ(CheckNested("virus", "x name=clean.txt; filename=virus.exe\r\n", rest), 1);
    ASSERT_EQ(rest.decodeRaw.size(), 1u);
    EXPECT_EQ(rest.decodeRaw[0], "clean.txt; filename=virus.exe\r");
    // The match must end on a word boundary; it may begin inside a word.
    EXPECT_EQ(CheckNested("virus", "name=\"virusscan.exe\"\r\n"), 0);
    EXPECT_EQ(CheckNested("scan", "name=\"virusscan.exe\"\r\n"), 1);
}

TEST(NestedMime, EveryDecodedStringIsSearched) {
    TestMessage message;
    EXPECT_EQ(CheckNested("virus", "name=clean.txt;other.doc;virus.exe\r\n", message), 1);
    EXPECT_EQ(CheckNested("virus", "name=clean.txt;;;\r\nname=\r\nname=x;virus.com\r\n"), 1);
}

TEST(NestedMime, LineEndsOfEveryKind) {
    // Lines cut at line feeds, at carriage returns alone, and at zero bytes.
    EXPECT_EQ(CheckNested("virus", "a\nb\nname=virus.exe\nc\n"), 1);
    EXPECT_EQ(CheckNested("virus", "a\rb\rname=virus.exe\rc"), 1);
    EXPECT_EQ(CheckNested("virus", std::string("a\0name=virus.exe", 16)), 1);
    // A zero byte ends the line: what follows it is a line of its own.
    EXPECT_EQ(CheckNested("virus", std::string("name=clean\0virus.exe", 20)), 0);
    // The last line needs no line end.
    EXPECT_EQ(CheckNested("virus", "x\r\nname=virus.exe"), 1);
    // A line feed found later wins over an earlier carriage return: the
    // carriage return stays inside the line.
    TestMessage later;
    EXPECT_EQ(CheckNested("trailer", "name=virus.exe\rtrailer\n", later), 1);
    ASSERT_EQ(later.decodeRaw.size(), 1u);
    EXPECT_EQ(later.decodeRaw[0], "virus.exe\rtrailer");
}

TEST(NestedMime, LongContentWithCarriageReturnsOnly) {
    // A megabyte of short lines ended by carriage returns alone, the name on
    // the last one.
    std::string content;
    for (int i = 0; i < 250000; ++i)
        content += "abc\r";
    content += "name=virus.exe\r";
    EXPECT_EQ(CheckNested("virus", content), 1);
}

TEST(NestedMime, ContentReadInSmallChunksIsReadWhole) {
    TestMessage message;
    std::string content = std::string(5000, 'x') + "\r\nname=virus.exe\r\n";
    vtest::TestPart& part = message.AddPart("forwarded.eml", 104, content);
    part.nested = 1;
    part.behaviour.maxChunk = 7;
    part.behaviour.atEndAfterShortRead = false;
    CRule rule = AttachRule("virus");
    EXPECT_EQ(rule.CheckMessage(&message, true), 1);
    EXPECT_TRUE(message.AllStreamsReturned());
}

TEST(NestedMime, EmptyMissingAndShortParts) {
    TestMessage empty;
    EXPECT_EQ(CheckNested("virus", "", empty), 0);
    EXPECT_TRUE(empty.errorCodes.empty());
    EXPECT_EQ(empty.opens, 1); // a part of size 0 is still mapped and read

    TestMessage none;
    none.AddPart("forwarded.eml", 104, "name=virus.exe\r\n").noStream = true;
    none.Part(0).nested = 1;
    CRule rule = AttachRule("virus");
    EXPECT_EQ(rule.CheckMessage(&none, false), 0);
    EXPECT_TRUE(none.errorCodes.empty());

    // The scanner reports more bytes than the stream yields: the rest of the
    // mapping is zero bytes, and the name read is still found.
    TestMessage shorter;
    shorter.AddPart("forwarded.eml", 104, "name=virus.exe\r\n").reportedSize = 100000;
    shorter.Part(0).nested = 1;
    EXPECT_EQ(rule.CheckMessage(&shorter, false), 1);
    // Fewer: only the reported bytes are read.
    TestMessage fewer;
    fewer.AddPart("forwarded.eml", 104, "name=virus.exe\r\n").reportedSize = 9;
    fewer.Part(0).nested = 1;
    EXPECT_EQ(rule.CheckMessage(&fewer, false), 0);
    EXPECT_TRUE(fewer.AllStreamsReturned());
}

TEST(NestedMime, MappingThatCannotBeMadeIsReported) {
    TestMessage message;
    // More than any machine commits. A 32-bit long cannot say that much: there
    // the largest size it can say may still be committed, and then the view
    // of it cannot fit the address space.
    long huge = sizeof(long) > 4 ? static_cast<long>(1LL << 46) : LONG_MAX;
    message.AddPart("forwarded.eml", 104, "name=virus.exe\r\n").reportedSize = huge;
    message.Part(0).nested = 1;
    CRule rule = AttachRule("virus");
    EXPECT_EQ(rule.CheckMessage(&message, false), 0);
    ASSERT_EQ(message.errorCodes.size(), 1u);
    if (sizeof(long) > 4) {
        EXPECT_EQ(message.errorCodes[0], 200);
        EXPECT_EQ(message.errorSystem[0], static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
    } else {
        EXPECT_TRUE(message.errorCodes[0] == 200 || message.errorCodes[0] == 201);
        EXPECT_NE(message.errorSystem[0], 0u);
    }
    EXPECT_EQ(message.opens, 0);
}

// A decoder that breaks the contract by filling its whole room, terminator
// place included: the search must still stay inside the room.
class GreedyDecoder : public TestMessage {
public:
    void DecodeName(char* out, const char* raw) override {
        size_t room = strlen(raw) + 1;
        memset(out, 'v', room);
        memcpy(out, "virus", room < 5 ? room : 5);
    }
};

TEST(NestedMime, DecoderThatFillsItsRoomIsNotReadPast) {
    GreedyDecoder message;
    EXPECT_EQ(CheckNested("virus", "name=abcdefgh\r\n", message), 0);
    GreedyDecoder exact;
    EXPECT_EQ(CheckNested("vvv", "name=abcdefgh\r\n", exact), 1);
}

// --- the platform's paging-file mappings ------------------------------------

TEST(FileMapping, ViewsShareTheMappingsMemoryAndOutliveItsHandle) {
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 70000, nullptr);
    ASSERT_NE(mapping, nullptr);
    char* a = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    char* b = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 70000));
    char* tail = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 65536, 0));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(a[0], 0); // fresh memory is zero
    EXPECT_EQ(a[69999], 0);
    a[65536] = 'x';
    EXPECT_EQ(b[65536], 'x');
    EXPECT_EQ(tail[0], 'x');
    EXPECT_TRUE(CloseHandle(mapping));
    a[1] = 'y';
    EXPECT_EQ(b[1], 'y');
    EXPECT_TRUE(UnmapViewOfFile(a));
    EXPECT_TRUE(UnmapViewOfFile(b));
    EXPECT_TRUE(UnmapViewOfFile(tail));
    EXPECT_FALSE(UnmapViewOfFile(tail));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST(FileMapping, FailuresGiveWin32Codes) {
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0x4000, 0, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    // Two protections at once, or none that a mapping can have, are refused;
    // an execute protection is a protection like the others.
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY | PAGE_READWRITE, 0,
                                 10, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_NOACCESS, 0, 10, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE executable =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_EXECUTE_READWRITE, 0, 10, nullptr);
    ASSERT_NE(executable, nullptr);
    void* writable = MapViewOfFile(executable, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(writable, nullptr);
    static_cast<char*>(writable)[9] = 'x';
    EXPECT_TRUE(UnmapViewOfFile(writable));
    EXPECT_TRUE(CloseHandle(executable));

    HANDLE readOnly =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 100, nullptr);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (!vtest::UnderWine()) { // Wine maps past the size asked for, to the end of the page
        EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 101), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 4096, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT));
    void* view = MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(readOnly));

    EXPECT_EQ(MapViewOfFile(nullptr, FILE_MAP_READ, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
