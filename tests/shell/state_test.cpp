// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "app/state.h"
#include "toolkit/fatal.h"
#include "toolkit/runtime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

// Every release in this binary is seen here while `tracking` is on, in order.
namespace {
bool tracking = false;
void* freed[256];
std::size_t freedCount = 0;

void Note(void* pointer) {
    if (tracking && pointer && freedCount < std::size(freed)) freed[freedCount++] = pointer;
}
}  // namespace

// Allocation stays paired with the release below; a failure still goes to the new handler.
void* operator new(std::size_t size) {
    for (;;) {
        if (void* pointer = std::malloc(size ? size : 1)) return pointer;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

// Arrays go through the same pair, so that a sanitizer's own array allocator cannot bypass the
// new handler.
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete[](void* pointer) noexcept {
    ::operator delete(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    ::operator delete(pointer);
}

void operator delete(void* pointer) noexcept {
    Note(pointer);
    std::free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    Note(pointer);
    std::free(pointer);
}

namespace {

// Where each tracked pointer was freed, or -1.
long PositionOf(const void* pointer) {
    const auto end = freed + freedCount;
    const auto found = std::find(freed, end, pointer);
    return found == end ? -1 : found - freed;
}

void FillLayout(int records) {
    for (int k = 0; k < records; ++k) {
        childWindowList->push_back(static_cast<WindowHandle>(k + 1));
        childLayoutList->push_back(std::make_unique<ChildLayout>());
    }
}

TEST(ProgramStateTest, StartsEmptyWithZeroDesignSize) {
    CreateProgramState();
    EXPECT_EQ(encodedKeyword, nullptr);
    ASSERT_NE(DesignClientSize, nullptr);
    EXPECT_EQ(DesignClientSize->left | DesignClientSize->top | DesignClientSize->right |
                  DesignClientSize->bottom,
              0);
    EXPECT_TRUE(childWindowList->empty());
    EXPECT_TRUE(childLayoutList->empty());
    ReleaseProgramState();
}

TEST(ProgramStateTest, ReleasesKeywordThenSizeThenWindowsThenEachRecordThenRecordList) {
    CreateProgramState();
    encodedKeyword = std::make_unique<Text>("%61%62%63");
    FillLayout(3);
    const void* keyword = encodedKeyword.get();
    const void* size = DesignClientSize.get();
    const void* windows = childWindowList.get();
    const void* records[] = {(*childLayoutList)[0].get(), (*childLayoutList)[1].get(),
                             (*childLayoutList)[2].get()};
    const void* recordList = childLayoutList.get();

    freedCount = 0;
    tracking = true;
    ReleaseProgramState();
    tracking = false;

    const std::vector<long> order = {PositionOf(keyword),    PositionOf(size),
                                     PositionOf(windows),    PositionOf(records[0]),
                                     PositionOf(records[1]), PositionOf(records[2]),
                                     PositionOf(recordList)};
    for (long position : order) EXPECT_GE(position, 0);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << ::testing::PrintToString(order);
    EXPECT_EQ(encodedKeyword, nullptr);
    EXPECT_EQ(childLayoutList, nullptr);
}

TEST(ProgramStateTest, CloseBeforeAnyQueryReleasesOnlyTheOtherThree) {
    CreateProgramState();
    FillLayout(1);
    const void* size = DesignClientSize.get();
    const void* windows = childWindowList.get();
    const void* recordList = childLayoutList.get();
    freedCount = 0;
    tracking = true;
    ReleaseProgramState();
    tracking = false;
    EXPECT_GE(PositionOf(size), 0);
    EXPECT_GE(PositionOf(windows), 0);
    EXPECT_GE(PositionOf(recordList), 0);
    // Nothing stood for a keyword: besides the values themselves only list storage and the
    // one record went.
    EXPECT_LE(freedCount, 6u);
}

// A program whose exit routine says so on stderr, so a death test can see whether it ran.
void SayReleased() {
    const char line[] = "exit routine ran\n";
    ssize_t ignored = ::write(STDERR_FILENO, line, sizeof line - 1);
    (void)ignored;
}

int (*fault)() = nullptr;
int ProgramWithFault() {
    RegisterExitRoutine(SayReleased);
    return fault();
}

int NoFault() {
    return 0;
}
int ExhaustMemory() {
    std::vector<char*> blocks;
    // Far more than any machine has: the allocation fails at once.
    volatile std::size_t huge = std::size_t{1} << 62;
    blocks.push_back(new char[huge]);
    return 0;
}
int IndexPastTheEnd() {
    std::vector<int> list = {1, 2, 3};
    return ListAt(list, 3);
}

TEST(FatalStopDeathTest, OrderlyExitRunsTheRoutine) {
    fault = NoFault;
    EXPECT_EXIT(std::exit(RunProcess(ProgramWithFault)), ::testing::ExitedWithCode(0),
                ::testing::HasSubstr("exit routine ran"));
}

TEST(FatalStopDeathTest, FailedAllocationAndBadIndexStopWithStatus255AndNoExitRoutine) {
    struct Case {
        const char* what;
        int (*fault)();
        const char* report;
    };
    const Case cases[] = {
        {"failed allocation", ExhaustMemory, "fatal error: out of memory"},
        {"list index out of range", IndexPastTheEnd, "fatal error: list index out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fault = c.fault;
        EXPECT_EXIT(RunProcess(ProgramWithFault), ::testing::ExitedWithCode(255),
                    ::testing::AllOf(::testing::HasSubstr(c.report),
                                     ::testing::Not(::testing::HasSubstr("exit routine ran"))));
    }
}

}  // namespace
