// Paging-file sections: every new one reads as zeros, whatever an earlier one
// of its size held, and no section's memory is handed on while a view of it
// is still mapped.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

struct Section {
    HANDLE mapping = nullptr;
    char* view = nullptr;
};

Section Make(DWORD size, DWORD access = FILE_MAP_WRITE) {
    Section s;
    s.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, nullptr);
    if (s.mapping != nullptr)
        s.view = static_cast<char*>(MapViewOfFile(s.mapping, access, 0, 0, 0));
    return s;
}

// The first byte in [from, to) that is not zero, or to.
DWORD FirstNonZero(const char* view, DWORD from, DWORD to) {
    for (DWORD i = from; i < to; ++i)
        if (view[i] != 0)
            return i;
    return to;
}

TEST(FileMapping, ASectionReadsAsZerosAfterAnotherOfItsSizeWasWritten) {
    const DWORD kept = 1024 * 1024; // the largest size whose sections are kept
    for (DWORD size : std::initializer_list<DWORD>{1, 4095, 4096, 65536, 65537, kept, kept + 1}) {
        char* before = nullptr;
        for (int round = 0; round < 3; ++round) {
            Section s = Make(size);
            ASSERT_NE(s.view, nullptr) << size;
#ifndef _WIN32
            // A small section given back whole is taken again, not made anew.
            if (round > 0 && size <= kept) {
                EXPECT_EQ(s.view, before) << size << " round " << round;
            }
#endif
            before = s.view;
            (void)before;
            ASSERT_EQ(FirstNonZero(s.view, 0, size), size) << size << " round " << round;
            memset(s.view, 0x5A, size);
            // The rest of the last page is the section's too.
            const DWORD pageEnd = (size + 4095) / 4096 * 4096;
            memset(s.view + size, 0x5A, pageEnd - size);
            EXPECT_TRUE(UnmapViewOfFile(s.view));
            EXPECT_TRUE(CloseHandle(s.mapping));
        }
    }
}

TEST(FileMapping, AViewKeepsItsMemoryUntilUnmappedWhateverIsMadeMeanwhile) {
    const DWORD size = 5000;
    // The whole view outlives its handle; a second whole view and a read-only
    // view show the same memory.
    Section first = Make(size);
    ASSERT_NE(first.view, nullptr);
    char* again = static_cast<char*>(MapViewOfFile(first.mapping, FILE_MAP_WRITE, 0, 0, 0));
    char* reading = static_cast<char*>(MapViewOfFile(first.mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(again, nullptr);
    ASSERT_NE(reading, nullptr);
    EXPECT_NE(again, first.view);
    memset(first.view, 'A', size);
    EXPECT_EQ(again[size - 1], 'A');
    EXPECT_EQ(reading[0], 'A');
    EXPECT_TRUE(CloseHandle(first.mapping));

    // Each step lets go of one more view; until the last, a new section of
    // the same size is other memory, and the views left still show 'A'.
    char* views[] = {first.view, again, reading};
    for (int let = 0; let < 3; ++let) {
        Section other = Make(size);
        ASSERT_NE(other.view, nullptr) << let;
        EXPECT_EQ(FirstNonZero(other.view, 0, size), size) << let;
        memset(other.view, 'B', size);
        for (int i = let; i < 3; ++i)
            EXPECT_EQ(views[i][size / 2], 'A') << let << " " << i;
        EXPECT_TRUE(UnmapViewOfFile(other.view));
        EXPECT_TRUE(CloseHandle(other.mapping));
        EXPECT_TRUE(UnmapViewOfFile(views[let]));
    }
    // Every view is given back once only.
    EXPECT_FALSE(UnmapViewOfFile(first.view));
    EXPECT_FALSE(UnmapViewOfFile(reading));
}

TEST(FileMapping, ViewsBeyondTheSectionAreRefused) {
    Section s = Make(100);
    ASSERT_NE(s.view, nullptr);
    EXPECT_EQ(MapViewOfFile(s.mapping, FILE_MAP_WRITE, 0, 0, 101), nullptr);
    EXPECT_EQ(MapViewOfFile(s.mapping, FILE_MAP_WRITE, 0, 65536, 0), nullptr);
    void* exact = MapViewOfFile(s.mapping, FILE_MAP_WRITE, 0, 0, 100);
    EXPECT_NE(exact, nullptr);
    EXPECT_TRUE(UnmapViewOfFile(exact));
    EXPECT_TRUE(UnmapViewOfFile(s.view));
    EXPECT_TRUE(CloseHandle(s.mapping));
}

} // namespace
